#include "crash/minidump/ResidentPages.h"

#include <sys/mman.h>
#include <unistd.h>

#include <gtest/gtest.h>

namespace {

// A private anonymous mapping of the test's own, unmapped at the end.
class Reservation {
 public:
  explicit Reservation(std::size_t pages) : size_(pages * ::getpagesize()) {
    void* p = ::mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
    // One page per touch: no huge page may fill the neighbours in.
    if (base_) ::madvise(base_, size_, MADV_NOHUGEPAGE);
  }
  ~Reservation() {
    if (base_) ::munmap(base_, size_);
  }
  Reservation(const Reservation&) = delete;
  Reservation& operator=(const Reservation&) = delete;
  char* Page(std::size_t n) const { return base_ + n * ::getpagesize(); }
  std::uint64_t Address(std::size_t page) const { return reinterpret_cast<std::uint64_t>(Page(page)); }
  bool Valid() const { return base_ != nullptr; }

 private:
  std::size_t size_;
  char* base_ = nullptr;
};

TEST(ResidentPagesTest, FindsOnlyTouchedRuns) {
  struct Case {
    const char* what;
    std::vector<std::size_t> touched;
    std::vector<std::pair<std::size_t, std::size_t>> runs;  // page ranges [first, last)
  };
  const Case cases[] = {
      {"untouched", {}, {}},
      {"two runs", {0, 1, 10}, {{0, 2}, {10, 11}}},
      {"the last page", {63}, {{63, 64}}},
  };
  const crash::ResidentPages resident(::getpid());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Reservation area(64);
    ASSERT_TRUE(area.Valid());
    for (std::size_t page : c.touched) *area.Page(page) = 1;
    std::vector<crash::PageRange> ranges;
    ASSERT_TRUE(resident.Find(area.Address(0), area.Address(64), ranges));
    ASSERT_EQ(c.runs.size(), ranges.size());
    for (std::size_t i = 0; i < ranges.size(); ++i) {
      EXPECT_EQ(area.Address(c.runs[i].first), ranges[i].start);
      EXPECT_EQ(area.Address(c.runs[i].second), ranges[i].end);
    }
  }
}

TEST(ResidentPagesTest, ProcessThatIsNotThereLeavesRangesUntouched) {
  const crash::ResidentPages resident(0x3ffffff0);
  std::vector<crash::PageRange> ranges = {{1, 2}};
  EXPECT_FALSE(resident.Find(0x1000, 0x2000, ranges));
  ASSERT_EQ(1u, ranges.size());
  EXPECT_EQ(1u, ranges[0].start);
}

}  // namespace
