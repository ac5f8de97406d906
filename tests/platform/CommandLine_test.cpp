#include "platform/CommandLine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "kllib/KLLib.h"
#include "tests/support/TempFolder.h"

namespace {

using Args = std::vector<std::wstring>;

struct ArgumentCase {
  const wchar_t* line;
  Args expected;
};

TEST(SplitArguments, FollowsTheCRuntimeRules) {
  const ArgumentCase cases[] = {
      {L"", {}},
      {L"   \t ", {}},
      {L"a b c", {L"a", L"b", L"c"}},
      {L"  a \t b  ", {L"a", L"b"}},
      {L"\"a b c\" d e", {L"a b c", L"d", L"e"}},
      {L"\"ab\\\"c\" \"\\\\\" d", {L"ab\"c", L"\\", L"d"}},
      {L"a\\\\\\b d\"e f\"g h", {L"a\\\\\\b", L"de fg", L"h"}},
      {L"a\\\\\\\"b c d", {L"a\\\"b", L"c", L"d"}},
      {L"a\\\\\\\\\"b c\" d e", {L"a\\\\b c", L"d", L"e"}},
      {L"\"a\"\"b\" c", {L"a\"b", L"c"}},
      {L"a\"b\"\" c d", {L"ab\" c d"}},
      {L"\"\" \"\"", {L"", L""}},
      {L"\"unterminated arg", {L"unterminated arg"}},
      {L"trailing\\", {L"trailing\\"}},
      // A value ending in a backslash eats its closing quotation mark.
      {L"-i \"C:\\dir\\\" \"acc\"", {L"-i", L"C:\\dir\" acc"}},
      {L"-i \"say \"hi\"\"", {L"-i", L"say hi"}},
      {L"\"\u00FCml\u00E4ut \u673A\"", {L"\u00FCml\u00E4ut \u673A"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.line));
    EXPECT_EQ(platform::SplitArguments(c.line), c.expected);
  }
}

class SplitCommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    root_ = KLLib::strings::toWstr(dir_.Path());
    std::filesystem::create_directories(dir_ / "my dir");
    std::filesystem::create_directories(dir_ / "two words");
    ASSERT_TRUE(testing_support::WriteFile(dir_ / "my dir/my prog", "x"));
    ASSERT_TRUE(testing_support::WriteFile(dir_ / "two", "x"));
    ASSERT_TRUE(testing_support::WriteFile(dir_ / "two words/prog", "x"));
  }

  testing_support::TempFolder dir_;
  std::wstring root_;
};

struct LineCase {
  std::wstring line;
  Args expected;
};

TEST_F(SplitCommandLineTest, FindsTheProgramThenSplitsTheArguments) {
  const std::wstring r = root_;
  const LineCase cases[] = {
      // Unquoted with spaces: longer prefixes until one names a file ("my" and
      // the folder "my dir" do not).
      {r + L"/my dir/my prog -s \"svc\"", {r + L"/my dir/my prog", L"-s", L"svc"}},
      {r + L"/my dir/my prog", {r + L"/my dir/my prog"}},
      // The shortest prefix that names a file wins, as on the home system.
      {r + L"/two words/prog -k \"svc\"", {r + L"/two", L"words/prog", L"-k", L"svc"}},
      // No prefix names a file: the first word, which then fails to run.
      {r + L"/no such/prog -s \"svc\"", {r + L"/no", L"such/prog", L"-s", L"svc"}},
      // Quoted: to the closing quotation mark, arguments right after it.
      {L"\"" + r + L"/two words/prog\" -r \"svc\"", {r + L"/two words/prog", L"-r", L"svc"}},
      {L"\"" + r + L"/two words/prog\"-r", {r + L"/two words/prog", L"-r"}},
      {L"\"/unterminated prog", {L"/unterminated prog"}},
      // A bare name is looked up in $PATH.
      {L"true -s \"svc\"", {L"true", L"-s", L"svc"}},
      // An empty executable path leaves an empty program.
      {L" -i \"svc\" \"acc\" \"pw\"", {L"", L"-i", L"svc", L"acc", L"pw"}},
      {L"", {L""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.line));
    EXPECT_EQ(platform::SplitCommandLine(c.line), c.expected);
  }
}

}  // namespace
