#include "crash/minidump/ElfBuildId.h"

#include <climits>
#include <cstdio>
#include <unistd.h>

#include <gtest/gtest.h>

#include "crash/minidump/ProcessMaps.h"
#include "crash/minidump/ProcessMemory.h"
#include "tests/crash/minidump/MinidumpTestSupport.h"

namespace {

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string hex;
  char digits[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    hex += digits;
  }
  return hex;
}

std::string SelfPath() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  return n > 0 ? std::string(path, static_cast<std::size_t>(n)) : "";
}

TEST(ElfBuildIdTest, FileAndMemoryAgreeWithReadelf) {
  const std::string self = SelfPath();
  const std::string expected = minidumptest::ReadelfBuildId(self);
  ASSERT_FALSE(expected.empty());

  std::vector<std::uint8_t> fromFile;
  ASSERT_TRUE(crash::ReadElfBuildIdFromFile(self, fromFile));
  EXPECT_EQ(expected, Hex(fromFile));

  std::string maps;
  ASSERT_TRUE(crash::ReadWholeFile("/proc/self/maps", maps));
  std::uint64_t base = 0;
  for (const crash::Mapping& m : crash::ParseProcessMaps(maps)) {
    if (m.path == self && m.offset == 0) {
      base = m.start;
      break;
    }
  }
  ASSERT_NE(0u, base);
  std::vector<std::uint8_t> fromMemory;
  ASSERT_TRUE(crash::ReadElfBuildIdFromMemory(crash::ProcessMemory(::getpid()), base, fromMemory));
  EXPECT_EQ(expected, Hex(fromMemory));
}

TEST(ElfBuildIdTest, NoBuildIdLeavesTheResultUntouched) {
  const std::vector<std::uint8_t> sentinel = {1, 2, 3};
  struct Case {
    const char* what;
    std::string path;
  };
  const Case cases[] = {
      {"not an ELF file", "/proc/self/status"},
      {"no such file", "/nonexistent/lib.so"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<std::uint8_t> id = sentinel;
    EXPECT_FALSE(crash::ReadElfBuildIdFromFile(c.path, id));
    EXPECT_EQ(sentinel, id);
  }
  std::vector<std::uint8_t> id = sentinel;
  EXPECT_FALSE(crash::ReadElfBuildIdFromMemory(crash::ProcessMemory(::getpid()), 0, id));
  EXPECT_EQ(sentinel, id);
}

}  // namespace
