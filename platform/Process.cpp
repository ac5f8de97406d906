#include "platform/Process.h"

#include <cerrno>
#include <csignal>
#include <poll.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <utility>

extern char** environ;

namespace platform {
namespace {

// posix_spawn's attributes and file actions, destroyed on every path.
class SpawnSetup {
 public:
  SpawnSetup() {
    attrOk_ = posix_spawnattr_init(&attr_) == 0;
    actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
  }
  ~SpawnSetup() {
    if (attrOk_) posix_spawnattr_destroy(&attr_);
    if (actionsOk_) posix_spawn_file_actions_destroy(&actions_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;

  int Prepare(int stdoutFd) {
    if (!attrOk_ || !actionsOk_) return ENOMEM;
    // The service waits for signals with them blocked; its children must not inherit that.
    sigset_t none;
    sigset_t all;
    sigemptyset(&none);
    sigfillset(&all);
    int err = posix_spawnattr_setsigmask(&attr_, &none);
    if (err == 0) err = posix_spawnattr_setsigdefault(&attr_, &all);
    if (err == 0) err = posix_spawnattr_setpgroup(&attr_, 0);
    if (err == 0) {
      err = posix_spawnattr_setflags(&attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
    }
    if (err == 0 && stdoutFd >= 0 && stdoutFd != STDOUT_FILENO) {
      err = posix_spawn_file_actions_adddup2(&actions_, stdoutFd, STDOUT_FILENO);
    }
    if (err == 0) err = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    return err;
  }

  posix_spawnattr_t* attr() { return &attr_; }
  posix_spawn_file_actions_t* actions() { return &actions_; }

 private:
  posix_spawnattr_t attr_;
  posix_spawn_file_actions_t actions_;
  bool attrOk_ = false;
  bool actionsOk_ = false;
};

}  // namespace

ChildProcess::ChildProcess(ChildProcess&& other) noexcept : pid_(other.pid_), pidFd_(std::move(other.pidFd_)) {
  other.pid_ = -1;
}

ChildProcess& ChildProcess::operator=(ChildProcess&& other) noexcept {
  if (this != &other) {
    Reset();
    pid_ = other.pid_;
    pidFd_ = std::move(other.pidFd_);
    other.pid_ = -1;
  }
  return *this;
}

ChildProcess::~ChildProcess() { Reset(); }

void ChildProcess::Reset() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    int status;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
  }
  pidFd_.reset();
}

int ChildProcess::Spawn(const std::vector<std::string>& argv, ChildProcess& child, int stdoutFd) {
  if (argv.empty() || argv[0].empty()) return ENOENT;
  std::vector<char*> args;
  args.reserve(argv.size() + 1);
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);

  SpawnSetup setup;
  int err = setup.Prepare(stdoutFd);
  if (err != 0) return err;
  pid_t pid = -1;
  // glibc reports a failed exec of the child as this call's result.
  err = posix_spawnp(&pid, args[0], setup.actions(), setup.attr(), args.data(), environ);
  if (err != 0) return err;

  ChildProcess started;
  started.pid_ = pid;
  started.pidFd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));  // only bounded waits need it
  child = std::move(started);
  return 0;
}

bool ChildProcess::Wait(int& status) {
  if (pid_ <= 0) return false;
  int raw = 0;
  pid_t r;
  while ((r = waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  Reset();
  if (r < 0) return false;
  status = raw;
  return true;
}

bool ChildProcess::WaitForEnd() {
  if (pid_ <= 0) return false;
  siginfo_t info{};
  while (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOWAIT) < 0) {
    if (errno != EINTR) return false;
  }
  return true;
}

bool ChildProcess::WaitFor(int timeoutMs, int& status) {
  if (pid_ <= 0) return false;
  if (!pidFd_.valid()) return false;
  pollfd p{pidFd_.get(), POLLIN, 0};
  int r;
  while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
  }
  if (r <= 0) return false;
  return Wait(status);
}

bool ChildProcess::Signal(int signal) { return pid_ > 0 && kill(pid_, signal) == 0; }

bool ChildProcess::KillProcessGroup(int groupId) { return groupId > 0 && kill(-groupId, SIGKILL) == 0; }

}  // namespace platform
