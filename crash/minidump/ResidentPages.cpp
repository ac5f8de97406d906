#include "crash/minidump/ResidentPages.h"

#include <cerrno>
#include <fcntl.h>
#include <string>
#include <sys/ioctl.h>

namespace crash {
namespace {

// The kernel's page-table scan of /proc/PID/pagemap (Linux 6.7), declared
// here since the system headers of older releases lack it.
struct PageRegion {
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t categories;
};

struct PageScanArg {
  std::uint64_t size;
  std::uint64_t flags;
  std::uint64_t start;
  std::uint64_t end;
  std::uint64_t walkEnd;
  std::uint64_t vec;
  std::uint64_t vecLen;
  std::uint64_t maxPages;
  std::uint64_t categoryInverted;
  std::uint64_t categoryMask;
  std::uint64_t categoryAnyofMask;
  std::uint64_t returnMask;
};
static_assert(sizeof(PageScanArg) == 96, "kernel layout");

constexpr std::uint64_t kPageIsPresent = 1u << 3;
constexpr std::uint64_t kPageIsSwapped = 1u << 4;
constexpr unsigned long kPagemapScan = _IOWR('f', 16, PageScanArg);
constexpr std::size_t kRegionsPerCall = 512;

}  // namespace

ResidentPages::ResidentPages(std::int32_t pid)
    : pagemap_(::open(("/proc/" + std::to_string(pid) + "/pagemap").c_str(), O_RDONLY | O_CLOEXEC)) {}

bool ResidentPages::Find(std::uint64_t start, std::uint64_t end, std::vector<PageRange>& ranges) const {
  if (!pagemap_.valid()) return false;
  std::vector<PageRange> found;
  std::vector<PageRegion> regions(kRegionsPerCall);
  std::uint64_t from = start;
  while (from < end) {
    PageScanArg arg{};
    arg.size = sizeof arg;
    arg.start = from;
    arg.end = end;
    arg.vec = reinterpret_cast<std::uint64_t>(regions.data());
    arg.vecLen = regions.size();
    arg.categoryAnyofMask = kPageIsPresent | kPageIsSwapped;
    arg.returnMask = kPageIsPresent | kPageIsSwapped;
    const int n = ::ioctl(pagemap_.get(), kPagemapScan, &arg);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    for (int i = 0; i < n; ++i) {
      // Neighbours that differ only in being present or swapped form one run.
      if (!found.empty() && found.back().end == regions[i].start)
        found.back().end = regions[i].end;
      else
        found.push_back({regions[i].start, regions[i].end});
    }
    if (arg.walkEnd <= from) break;  // no progress: stop rather than spin
    from = arg.walkEnd;
  }
  ranges.swap(found);
  return true;
}

}  // namespace crash
