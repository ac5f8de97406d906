// Child processes of the service: started from an argument vector, owned by a
// holder that reaps them.
#pragma once

#include <string>
#include <vector>

#include "platform/ScopedFd.h"

namespace platform {

// Owns one started child process. A child still running when its holder goes
// away is killed and reaped, so no zombie and no stray process is left.
// Move-only; one thread at a time.
class ChildProcess {
 public:
  ChildProcess() = default;
  ChildProcess(ChildProcess&& other) noexcept;
  ChildProcess& operator=(ChildProcess&& other) noexcept;
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // Starts argv[0] (searched in $PATH when it has no '/') with `argv`
  // (UTF-8). The child inherits this process's environment and current
  // folder, gets standard input, output and error (output replaced by
  // `stdoutFd` when that is not negative) and no other descriptor, an empty
  // signal mask and default signal actions. It leads a process group of its
  // own (group id = its pid), so what it starts in turn can be stopped with it.
  // 0: `child` owns the new process. Otherwise the error number of the
  // failure (a program that cannot be executed included); `child` untouched.
  static int Spawn(const std::vector<std::string>& argv, ChildProcess& child, int stdoutFd = -1);

  // Waits, with no time limit, until the child has ended and reaps it.
  // true: `status` holds its wait status. false: there was no child.
  bool Wait(int& status);

  // Waits, with no time limit, until the child has ended, without reaping
  // it: until Wait its pid, and so its process group id, cannot be reused.
  // false: there was no child.
  bool WaitForEnd();

  // Waits at most `timeoutMs` milliseconds for the child's end; reaps it and
  // returns true with the wait status when it ended in time.
  bool WaitFor(int timeoutMs, int& status);

  // Sends `signal` to the child; false when there is no child or it failed.
  bool Signal(int signal);

  // Kills (SIGKILL) every process in the process group `groupId`. Any thread;
  // the caller makes sure the group's leader was not reaped yet. false when
  // no such group exists.
  static bool KillProcessGroup(int groupId);

  bool Running() const { return pid_ > 0; }
  int Pid() const { return pid_; }

 private:
  void Reset();

  int pid_ = -1;
  ScopedFd pidFd_;  // readable once the child has ended
};

}  // namespace platform
