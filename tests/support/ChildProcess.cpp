#include "tests/support/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace testsupport {
namespace {

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

std::vector<std::string> CurrentEnvironment() {
  std::vector<std::string> env;
  for (char** e = environ; e && *e; ++e) env.emplace_back(*e);
  return env;
}

std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& prefixes) {
  std::vector<std::string> env;
  for (const std::string& entry : CurrentEnvironment()) {
    bool drop = false;
    for (const std::string& prefix : prefixes)
      if (entry.compare(0, prefix.size(), prefix) == 0) drop = true;
    if (!drop) env.push_back(entry);
  }
  return env;
}

std::string FindProgram(const std::string& name) {
  if (name.empty()) return {};
  if (name.find('/') != std::string::npos) return name;
  const char* path = std::getenv("PATH");
  std::string dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  size_t start = 0;
  while (start <= dirs.size()) {
    size_t end = dirs.find(':', start);
    if (end == std::string::npos) end = dirs.size();
    std::string dir = dirs.substr(start, end - start);
    if (dir.empty()) dir = ".";
    std::string candidate = dir + "/" + name;
    struct stat st {};
    if (::stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
      return candidate;
    start = end + 1;
  }
  return {};
}

ChildProcess::~ChildProcess() {
  if (pid_ > 0) Terminate(0, SIGKILL);
  CloseFd(outFd_);
}

bool ChildProcess::Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                         bool capture) {
  error_.clear();
  if (pid_ > 0) {
    error_ = "a child is already running";
    return false;
  }
  if (argv.empty()) {
    error_ = "no program given";
    return false;
  }
  std::string program = FindProgram(argv[0]);
  if (program.empty()) {
    error_ = "program not found: " + argv[0];
    return false;
  }
  // Everything the child needs is built before the fork: after it only
  // async-signal-safe calls happen.
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (const std::string& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  int pipeFds[2] = {-1, -1};
  if (capture && ::pipe2(pipeFds, O_CLOEXEC) != 0) {
    error_ = std::string("pipe: ") + std::strerror(errno);
    return false;
  }
  int devNull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);

  pid_t pid = ::fork();
  if (pid == 0) {
    if (devNull >= 0) ::dup2(devNull, 0);
    if (capture) {
      ::dup2(pipeFds[1], 1);
      ::dup2(pipeFds[1], 2);
    }
    ::execve(program.c_str(), args.data(), envp.data());
    ::_exit(127);
  }
  if (devNull >= 0) ::close(devNull);
  if (capture) ::close(pipeFds[1]);
  if (pid < 0) {
    error_ = std::string("fork: ") + std::strerror(errno);
    if (capture) ::close(pipeFds[0]);
    return false;
  }
  pid_ = pid;
  pidfd_ = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  CloseFd(outFd_);
  output_.clear();
  if (capture) {
    outFd_ = pipeFds[0];
    ::fcntl(outFd_, F_SETFL, ::fcntl(outFd_, F_GETFL) | O_NONBLOCK);
  }
  exitCode_ = -1;
  termSignal_ = 0;
  return true;
}

void ChildProcess::Reap(int status) {
  if (WIFEXITED(status)) {
    exitCode_ = WEXITSTATUS(status);
    termSignal_ = 0;
  } else if (WIFSIGNALED(status)) {
    exitCode_ = -1;
    termSignal_ = WTERMSIG(status);
  }
  pid_ = -1;
  CloseFd(pidfd_);
}

bool ChildProcess::WaitForExit(int timeoutMs) {
  if (pid_ <= 0) return true;
  if (pidfd_ >= 0) {
    pollfd p{pidfd_, POLLIN, 0};
    int rc;
    do {
      rc = ::poll(&p, 1, timeoutMs);
    } while (rc < 0 && errno == EINTR);
    if (rc == 0) return false;
  }
  int status = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &status, pidfd_ >= 0 || timeoutMs < 0 ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r == pid_) {
    Reap(status);
    return true;
  }
  if (r < 0) {  // somebody else reaped it: nothing left to own
    pid_ = -1;
    CloseFd(pidfd_);
    return true;
  }
  return false;
}

bool ChildProcess::Signal(int signal) {
  if (pid_ <= 0) return false;
  return ::kill(pid_, signal) == 0;
}

bool ChildProcess::Terminate(int timeoutMs, int signal) {
  if (pid_ <= 0) return true;
  ::kill(pid_, signal);
  if (signal != SIGKILL && WaitForExit(timeoutMs)) return true;
  ::kill(pid_, SIGKILL);
  WaitForExit(-1);
  return signal == SIGKILL;
}

bool ChildProcess::ReadSome(int timeoutMs) {
  if (outFd_ < 0) return false;
  pollfd p{outFd_, POLLIN, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeoutMs);
  } while (rc < 0 && errno == EINTR);
  if (rc <= 0) return true;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(outFd_, buffer, sizeof buffer);
    if (n > 0) {
      output_.append(buffer, static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) return true;
    CloseFd(outFd_);  // EOF or error
    return false;
  }
}

bool ChildProcess::WaitForOutput(const std::string& text, int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (output_.find(text) != std::string::npos) return true;
    int left = RemainingMs(deadline);
    if (left == 0) return false;
    if (!ReadSome(left)) return output_.find(text) != std::string::npos;
  }
}

const std::string& ChildProcess::Output() {
  while (outFd_ >= 0) {
    size_t before = output_.size();
    if (!ReadSome(0) || output_.size() == before) break;
  }
  return output_;
}

void ChildProcess::ReadOutputToEnd(int timeoutMs) {
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (outFd_ >= 0) {
    int left = RemainingMs(deadline);
    if (left == 0) break;
    ReadSome(left);
  }
}

int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::string& output, int timeoutMs) {
  ChildProcess child;
  if (!child.Start(argv, env, true)) {
    output = child.Error();
    return -1;
  }
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  child.ReadOutputToEnd(timeoutMs);
  if (!child.WaitForExit(RemainingMs(deadline))) child.Terminate(0, SIGKILL);
  output = child.Output();
  return child.ExitCode();
}

}  // namespace testsupport
