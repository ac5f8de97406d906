#include "platform/Process.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/TempFolder.h"

namespace {

constexpr int kBound = 30000;  // ms; only a broken child takes this long

// A pipe whose read end collects a child's standard output.
class OutputPipe {
 public:
  OutputPipe() { ok_ = pipe2(fds_, O_CLOEXEC) == 0; }
  ~OutputPipe() {
    CloseWriteEnd();
    if (ok_) close(fds_[0]);
  }
  bool Ok() const { return ok_; }
  int WriteEnd() const { return fds_[1]; }
  void CloseWriteEnd() {
    if (ok_ && fds_[1] >= 0) close(fds_[1]);
    fds_[1] = -1;
  }
  // Everything until end of file, waiting at most kBound per read.
  std::string ReadAll() {
    CloseWriteEnd();
    std::string text;
    pollfd p{fds_[0], POLLIN, 0};
    char buf[1024];
    while (poll(&p, 1, kBound) > 0) {
      const ssize_t n = read(fds_[0], buf, sizeof(buf));
      if (n <= 0) break;
      text.append(buf, static_cast<size_t>(n));
    }
    return text;
  }

 private:
  int fds_[2] = {-1, -1};
  bool ok_ = false;
};

int RunToEnd(const std::vector<std::string>& argv, std::string* output = nullptr) {
  OutputPipe out;
  if (!out.Ok()) return -1;
  platform::ChildProcess child;
  const int err = platform::ChildProcess::Spawn(argv, child, output ? out.WriteEnd() : -1);
  if (err != 0) return -1;
  if (output) *output = out.ReadAll();
  int status = 0;
  if (!child.WaitFor(kBound, status) || !WIFEXITED(status)) return -1;
  return WEXITSTATUS(status);
}

TEST(ChildProcess, ReportsTheExitStatus) {
  EXPECT_EQ(RunToEnd({"/bin/sh", "-c", "exit 0"}), 0);
  EXPECT_EQ(RunToEnd({"/bin/sh", "-c", "exit 7"}), 7);
  EXPECT_EQ(RunToEnd({"sh", "-c", "exit 3"}), 3);  // found in $PATH
}

TEST(ChildProcess, PassesArgumentsUnchanged) {
  std::string output;
  ASSERT_EQ(RunToEnd({"/usr/bin/printf", "%s|", "two words", "\"q\"", "back\\", "\xC3\xBC", ""}, &output), 0);
  EXPECT_EQ(output, "two words|\"q\"|back\\|\xC3\xBC||");
}

TEST(ChildProcess, SpawnFailuresGiveTheErrorNumberAndNoChild) {
  testing_support::TempFolder dir;
  ASSERT_TRUE(testing_support::WriteFile(dir / "not-executable", "#!/bin/sh\n"));
  chmod((dir / "not-executable").c_str(), 0644);
  struct Case {
    const char* label;
    std::vector<std::string> argv;
    int error;
  } cases[] = {
      {"missing path", {dir / "missing"}, ENOENT},
      {"missing bare name", {"ovupdate-no-such-program"}, ENOENT},
      {"empty program", {""}, ENOENT},
      {"no arguments at all", {}, ENOENT},
      {"not executable", {dir / "not-executable"}, EACCES},
      {"a folder", {dir.Path()}, EACCES},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    platform::ChildProcess child;
    EXPECT_EQ(platform::ChildProcess::Spawn(c.argv, child), c.error);
    EXPECT_FALSE(child.Running());
  }
}

TEST(ChildProcess, ChildGetsNoDescriptorBeyondTheStandardThree) {
  // A descriptor the service holds without close-on-exec must not leak.
  const int leaked = fcntl(STDERR_FILENO, F_DUPFD, 50);
  ASSERT_GE(leaked, 50);
  const std::string probe = "[ -e /proc/$$/fd/" + std::to_string(leaked) + " ] && exit 1; [ -e /proc/$$/fd/2 ]";
  EXPECT_EQ(RunToEnd({"/bin/sh", "-c", probe}), 0);
  close(leaked);
}

TEST(ChildProcess, ChildStartsWithNoBlockedOrIgnoredSignals) {
  sigset_t block;
  sigset_t old;
  sigemptyset(&block);
  sigaddset(&block, SIGTERM);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old), 0);
  struct sigaction ignore {};
  struct sigaction oldAction {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGUSR1, &ignore, &oldAction), 0);

  std::string output;
  const int code = RunToEnd({"grep", "-E", "^Sig(Blk|Ign)", "/proc/self/status"}, &output);

  sigaction(SIGUSR1, &oldAction, nullptr);
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  ASSERT_EQ(code, 0);
  unsigned long long blocked = ~0ull;
  unsigned long long ignored = ~0ull;
  ASSERT_EQ(std::sscanf(output.c_str(), "SigBlk: %llx SigIgn: %llx", &blocked, &ignored), 2) << output;
  // Signals 1-31; the C library keeps two real-time signals of its own.
  EXPECT_EQ(blocked & 0x7FFFFFFFull, 0u) << output;
  EXPECT_EQ(ignored & 0x7FFFFFFFull, 0u) << output;
}

TEST(ChildProcess, BoundedWaitAndSignal) {
  platform::ChildProcess child;
  ASSERT_EQ(platform::ChildProcess::Spawn({"sleep", "60"}, child), 0);
  int status = 0;
  EXPECT_FALSE(child.WaitFor(0, status));
  EXPECT_TRUE(child.Running());
  ASSERT_TRUE(child.Signal(SIGTERM));
  ASSERT_TRUE(child.WaitFor(kBound, status));
  EXPECT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGTERM);
  EXPECT_FALSE(child.Running());
  EXPECT_FALSE(child.Signal(SIGTERM));
  EXPECT_FALSE(child.Wait(status));
}

TEST(ChildProcess, HolderKillsAndReapsWhatStillRuns) {
  pid_t pid = -1;
  {
    platform::ChildProcess child;
    ASSERT_EQ(platform::ChildProcess::Spawn({"sleep", "60"}, child), 0);
    pid = child.Pid();
    platform::ChildProcess moved(std::move(child));
    EXPECT_FALSE(child.Running());
    EXPECT_EQ(moved.Pid(), pid);
  }
  // Reaped: no such process any more, not even a zombie.
  EXPECT_EQ(kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
}

TEST(ChildProcess, LeadsAGroupOfItsOwnThatIsKilledWithWhatItStarted) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  platform::ChildProcess child;
  const int err =
      platform::ChildProcess::Spawn({"sh", "-c", "sleep 600 >/dev/null 2>&1 & echo $!; wait"}, child, fds[1]);
  close(fds[1]);
  ASSERT_EQ(err, 0);
  const pid_t pid = child.Pid();
  EXPECT_EQ(getpgid(pid), pid);
  EXPECT_NE(getpgid(pid), getpgrp());
  // The grandchild's pid, the first line the shell writes.
  std::string line;
  pollfd p{fds[0], POLLIN, 0};
  char c = 0;
  while (poll(&p, 1, kBound) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') line += c;
  close(fds[0]);
  const pid_t grandchild = static_cast<pid_t>(std::atoi(line.c_str()));
  ASSERT_GT(grandchild, 0) << line;
  const int grandchildFd = static_cast<int>(syscall(SYS_pidfd_open, grandchild, 0));
  ASSERT_GE(grandchildFd, 0);
  EXPECT_EQ(getpgid(grandchild), pid);

  EXPECT_FALSE(platform::ChildProcess::KillProcessGroup(0));
  ASSERT_TRUE(platform::ChildProcess::KillProcessGroup(pid));
  // Ended but not reaped: the pid, and so the group id, stays taken until Wait.
  ASSERT_TRUE(child.WaitForEnd());
  EXPECT_TRUE(child.Running());
  EXPECT_EQ(kill(pid, 0), 0);
  pollfd q{grandchildFd, POLLIN, 0};
  EXPECT_EQ(poll(&q, 1, kBound), 1) << "the grandchild outlived its group's kill";
  close(grandchildFd);
  int status = 0;
  ASSERT_TRUE(child.Wait(status));
  EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
  EXPECT_FALSE(child.WaitForEnd());
}

}  // namespace
