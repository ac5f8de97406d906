#include "kllib/KLLib.h"

#include <cerrno>
#include <cstdlib>
#include <gtest/gtest.h>
#include <unistd.h>
#include <string>

namespace {

struct RoundTrip {
  const char* label;
  std::string narrow;
  std::wstring wide;
};

TEST(KLLibStrings, ConvertsBothWaysWithoutLoss) {
  const RoundTrip cases[] = {
      {"empty", "", L""},
      {"ascii", "PC1.launcher", L"PC1.launcher"},
      {"latin", "Gr\xC3\xBC\xC3\x9F" "e", L"Gr\u00FC\u00DFe"},
      {"cyrillic", "\xD0\x9F\xD0\x9A", L"\u041F\u041A"},
      {"cjk", "\xE6\x9C\xBA", L"\u673A"},
      {"astral", "\xF0\x9F\x98\x80", std::wstring(1, static_cast<wchar_t>(0x1F600))},
      {"embedded nul", std::string("a\0b", 3), std::wstring(L"a\0b", 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(KLLib::strings::toWstr(c.narrow), c.wide);
    EXPECT_EQ(KLLib::strings::toAstr(c.wide), c.narrow);
  }
}

TEST(KLLibStrings, InvalidUtf8SurvivesARoundTrip) {
  const std::string cases[] = {"\xFF", "ab\xC3", "\xC0\xAF", "\xED\xA0\x80", "x\x80y", "\xF4\x90\x80\x80"};
  for (const auto& bytes : cases) {
    SCOPED_TRACE(testing::PrintToString(bytes));
    const std::wstring wide = KLLib::strings::toWstr(bytes);
    EXPECT_EQ(KLLib::strings::toAstr(wide), bytes);
  }
}

TEST(KLLibStrings, UnpairedSurrogateBecomesReplacementCharacter) {
  EXPECT_EQ(KLLib::strings::toAstr(std::wstring(1, static_cast<wchar_t>(0xD800))), "\xEF\xBF\xBD");
  EXPECT_EQ(KLLib::strings::toAstr(std::wstring(1, static_cast<wchar_t>(0x110000))), "\xEF\xBF\xBD");
}

TEST(KLLibSystem, ErrorTextIsTheSystemsText) {
  EXPECT_EQ(KLLib::system::GetErrorMsgById(ENOENT), L"No such file or directory");
  EXPECT_EQ(KLLib::system::GetErrorMsgById(EACCES), L"Permission denied");
  EXPECT_FALSE(KLLib::system::GetErrorMsgById(999999).empty());
}

TEST(KLLibSystem, NoRedirectionAndOutputUntouched) {
  std::wstring out = L"unchanged";
  EXPECT_FALSE(KLLib::system::GetWow64FsRedirectedFilePath(L"/home/u/.config", out));
  EXPECT_EQ(out, L"unchanged");
}

TEST(KLLibSystem, NetworkNameIsTheHostName) {
  char name[256] = {};
  ASSERT_EQ(gethostname(name, sizeof name - 1), 0);
  EXPECT_EQ(KLLib::system::GetComputerNetworkName(), KLLib::strings::toWstr(name));
}

class TempFolder : public testing::Test {
 protected:
  void SetUp() override {
    const char* old = std::getenv("TMPDIR");
    had_ = old != nullptr;
    if (had_) saved_ = old;
  }
  void TearDown() override {
    if (had_) setenv("TMPDIR", saved_.c_str(), 1);
    else unsetenv("TMPDIR");
  }
  bool had_ = false;
  std::string saved_;
};

TEST_F(TempFolder, FollowsTmpdirAndEndsWithSlash) {
  struct Case { const char* tmpdir; const wchar_t* expected; };
  const Case cases[] = {
      {nullptr, L"/tmp/"}, {"", L"/tmp/"}, {"/var/tmp", L"/var/tmp/"}, {"/var/tmp/", L"/var/tmp/"},
      {"/t\xC3\xBC", L"/t\u00FC/"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tmpdir ? c.tmpdir : "(unset)");
    if (c.tmpdir) setenv("TMPDIR", c.tmpdir, 1);
    else unsetenv("TMPDIR");
    EXPECT_EQ(KLLib::filesystem::GetTempFolderPath(), c.expected);
  }
}

}  // namespace
