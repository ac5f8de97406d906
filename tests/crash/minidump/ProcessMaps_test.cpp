#include "crash/minidump/ProcessMaps.h"

#include <gtest/gtest.h>

namespace {

TEST(ProcessMapsTest, ParsesEachKindOfLine) {
  struct Case {
    const char* line;
    bool parsed;
    crash::Mapping expected;
  };
  const Case cases[] = {
      {"55d0c8a00000-55d0c8a02000 r-xp 00001000 fd:01 1234 /usr/bin/prog", true,
       {0x55d0c8a00000, 0x55d0c8a02000, true, false, true, false, 0x1000, 1234, "/usr/bin/prog"}},
      {"7ffd1000-7ffd2000 rw-p 00000000 00:00 0                          [stack]", true,
       {0x7ffd1000, 0x7ffd2000, true, true, false, false, 0, 0, "[stack]"}},
      {"7f0000000000-7f0000001000 ---p 00000000 00:00 0 ", true,
       {0x7f0000000000, 0x7f0000001000, false, false, false, false, 0, 0, ""}},
      {"1000-2000 rw-s 00000000 00:05 77 /dev/shm/a file (deleted)", true,
       {0x1000, 0x2000, true, true, false, true, 0, 77, "/dev/shm/a file (deleted)"}},
      {"not a mapping", false, {}},
      {"2000-1000 r--p 00000000 00:00 0", false, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.line);
    const auto maps = crash::ParseProcessMaps(c.line);
    ASSERT_EQ(c.parsed ? 1u : 0u, maps.size());
    if (!c.parsed) continue;
    const crash::Mapping& m = maps[0];
    EXPECT_EQ(c.expected.start, m.start);
    EXPECT_EQ(c.expected.end, m.end);
    EXPECT_EQ(c.expected.readable, m.readable);
    EXPECT_EQ(c.expected.writable, m.writable);
    EXPECT_EQ(c.expected.executable, m.executable);
    EXPECT_EQ(c.expected.shared, m.shared);
    EXPECT_EQ(c.expected.offset, m.offset);
    EXPECT_EQ(c.expected.inode, m.inode);
    EXPECT_EQ(c.expected.path, m.path);
  }
}

TEST(ProcessMapsTest, FindsTheMappingOfAnAddress) {
  const auto maps = crash::ParseProcessMaps(
      "1000-2000 r--p 00000000 00:00 0\n"
      "3000-5000 rw-p 00000000 00:00 0 [heap]\n");
  ASSERT_EQ(2u, maps.size());
  struct Case {
    std::uint64_t address;
    const crash::Mapping* expected;
  };
  const Case cases[] = {{0xfff, nullptr},      {0x1000, &maps[0]}, {0x1fff, &maps[0]},
                        {0x2000, nullptr},     {0x4fff, &maps[1]}, {0x5000, nullptr}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.address);
    EXPECT_EQ(c.expected, crash::FindMapping(maps, c.address));
  }
}

TEST(ProcessMapsTest, ReadsProcFilesWholeAndLeavesTextOnFailure) {
  std::string text;
  ASSERT_TRUE(crash::ReadWholeFile("/proc/self/maps", text));
  EXPECT_FALSE(crash::ParseProcessMaps(text).empty());
  std::string untouched = "kept";
  EXPECT_FALSE(crash::ReadWholeFile("/proc/self/no-such-file", untouched));
  EXPECT_EQ("kept", untouched);
}

}  // namespace
