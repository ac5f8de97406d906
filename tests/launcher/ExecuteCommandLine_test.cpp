#include "launcher/ExecuteCommandLine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/syscall.h>
#include <poll.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <string>
#include <thread>

#include "tests/launcher/LauncherFixture.h"
#include "tests/platform/ForkedChild.h"

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

// The stop lasts for the rest of the process: it runs in a child of its own.
TEST_F(ExecuteCommandLineTest, StopEndsTheRunningLineWithWhatItStartedAndEveryLaterOne) {
  const std::string fifo = dir_ / "pids";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const testing_support::ChildResult result = testing_support::RunInChild(
      [&](std::string& report) {
        bool ran = false;
        std::thread runner([&] {
          std::wstring line = L"/bin/sh -c \"sleep 600 >/dev/null 2>&1 & echo $! > '" + KLLib::strings::toWstr(fifo) +
                              L"'; wait\"";
          ran = ExecuteCommandLine(line);
        });
        // Opening the FIFO waits for the line's program to write its child's pid.
        int grandchild = 0;
        std::ifstream(fifo) >> grandchild;
        const int grandchildFd = static_cast<int>(syscall(SYS_pidfd_open, grandchild, 0));
        StopCommandLines();
        runner.join();
        pollfd p{grandchildFd, POLLIN, 0};
        const bool grandchildEnded = grandchildFd >= 0 && poll(&p, 1, 30000) == 1;
        if (!grandchildEnded && grandchildFd >= 0) syscall(SYS_pidfd_send_signal, grandchildFd, SIGKILL, nullptr, 0);
        std::wstring later = L"/bin/sleep 600";
        const bool laterRan = ExecuteCommandLine(later);
        report = "ran " + std::to_string(ran) + ", grandchild ended " + std::to_string(grandchildEnded) +
                 ", later ran " + std::to_string(laterRan);
        return ran && grandchildEnded && laterRan ? 0 : 1;
      },
      false);
  ASSERT_TRUE(result.finished) << "the stopped line kept running";
  EXPECT_EQ(result.exitCode, 0) << result.output;
}

}  // namespace
