#include "launcher/ExecuteCommandLine.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/launcher/LauncherFixture.h"

namespace {

using testing_support::Argv;
using testing_support::WcerrCapture;

using ExecuteCommandLineTest = testing_support::LauncherFixture;

TEST_F(ExecuteCommandLineTest, RunsTheLineAndIgnoresTheExitCode) {
  // The stand-in exits with 3; the runner answers only whether it ran.
  WcerrCapture log;
  std::wstring line = exe_ + L" -i \"Dienst \u00DC \u673A\" \"acc\\\\\" \"pa\\\"ss\"";
  EXPECT_TRUE(ExecuteCommandLine(line));
  EXPECT_EQ(log.Text(), L"");
  ASSERT_EQ(Runs().size(), 1u);
  EXPECT_EQ(Runs()[0], (Argv{program_, "-i", "Dienst \xC3\x9C \xE6\x9C\xBA", "acc\\", "pa\"ss"}));
}

TEST_F(ExecuteCommandLineTest, QuotedProgramPath) {
  WcerrCapture log;
  std::wstring line = L"\"" + exe_ + L"\" -s \"svc\"";
  EXPECT_TRUE(ExecuteCommandLine(line));
  EXPECT_EQ(Runs(), (std::vector<Argv>{{program_, "-s", "svc"}}));
}

TEST_F(ExecuteCommandLineTest, ProgramThatCannotRunIsLoggedWithTheSystemsReason) {
  struct Case {
    const char* label;
    std::wstring line;
    std::wstring reason;
  } cases[] = {
      {"missing program", exe_ + L"-gone -k \"svc\"", L"No such file or directory"},
      {"empty program", L" -s \"svc\"", L"No such file or directory"},
      {"a folder", KLLib::strings::toWstr(dir_.Path()) + L" -s \"svc\"", L"Permission denied"},
  };
  for (auto& c : cases) {
    SCOPED_TRACE(c.label);
    WcerrCapture log;
    const std::wstring original = c.line;
    EXPECT_FALSE(ExecuteCommandLine(c.line));
    EXPECT_EQ(log.Text(), L"Can't execute: " + original + L"\nReason: " + c.reason + L"\n");
  }
  EXPECT_TRUE(Runs().empty());
}

TEST_F(ExecuteCommandLineTest, FailureLogsTheLineToLogInstead) {
  WcerrCapture log;
  std::wstring line = exe_ + L"-gone -i \"svc\" \"acc\" \"secret\"";
  const std::wstring masked = exe_ + L"-gone -i \"svc\" \"acc\" \"********\"";
  EXPECT_FALSE(ExecuteCommandLine(line, masked));
  EXPECT_EQ(log.Text(), L"Can't execute: " + masked + L"\nReason: No such file or directory\n");

  // On success nothing is logged at all.
  WcerrCapture quiet;
  std::wstring good = exe_ + L" -i \"svc\" \"acc\" \"secret\"";
  EXPECT_TRUE(ExecuteCommandLine(good, masked));
  EXPECT_EQ(quiet.Text(), L"");
  EXPECT_EQ(Runs(), (std::vector<Argv>{{program_, "-i", "svc", "acc", "secret"}}));
}

}  // namespace
