// Test helper: runs a piece of the test in a forked child, optionally as the
// unprivileged account nobody, and hands back its exit code and what it
// wrote. The wait is bounded; a child that overruns it is killed.
#pragma once

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace testing_support {

struct ChildResult {
  bool finished = false;  // false: it had to be killed, or could not start
  int exitCode = -1;
  std::string output;
};

constexpr unsigned kNobody = 65534;

// `body` runs in the child and returns its exit code; it writes its report to
// the string it is given. The child's report travels back through a pipe.
inline ChildResult RunInChild(const std::function<int(std::string&)>& body, bool asNobody,
                              int timeoutMs = 30000) {
  ChildResult result;
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid < 0) {
    close(fds[0]);
    close(fds[1]);
    return result;
  }
  if (pid == 0) {
    close(fds[0]);
    if (asNobody && (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0)) _exit(120);
    std::string report;
    const int code = body(report);
    size_t done = 0;
    while (done < report.size()) {
      const ssize_t n = write(fds[1], report.data() + done, report.size() - done);
      if (n <= 0) break;
      done += static_cast<size_t>(n);
    }
    _exit(code);
  }
  close(fds[1]);
  const int pidFd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
  // Read until the child closes its end or the time is up.
  pollfd p{fds[0], POLLIN, 0};
  char buf[4096];
  for (;;) {
    if (poll(&p, 1, timeoutMs) <= 0) break;
    const ssize_t n = read(fds[0], buf, sizeof(buf));
    if (n <= 0) break;
    result.output.append(buf, static_cast<size_t>(n));
  }
  close(fds[0]);
  pollfd q{pidFd, POLLIN, 0};
  if (pidFd < 0 || poll(&q, 1, timeoutMs) <= 0) kill(pid, SIGKILL);
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
    result.finished = true;
    result.exitCode = WEXITSTATUS(status);
  }
  if (pidFd >= 0) close(pidFd);
  return result;
}

}  // namespace testing_support
