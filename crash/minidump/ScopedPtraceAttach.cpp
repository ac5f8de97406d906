#include "crash/minidump/ScopedPtraceAttach.h"

#include <cerrno>
#include <csignal>
#include <ctime>
#include <sys/ptrace.h>
#include <sys/wait.h>

namespace crash {
namespace {

// Grace given on release to a thread that had not stopped yet.
constexpr int kReleaseWaitMs = 500;

std::int64_t NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<std::int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

}  // namespace

ScopedPtraceAttach::~ScopedPtraceAttach() { Reset(); }

bool ScopedPtraceAttach::ResetAndSeize(std::int32_t tid) {
  Reset();
  if (::ptrace(PTRACE_SEIZE, tid, nullptr, nullptr) != 0) return false;
  tid_ = tid;
  if (::ptrace(PTRACE_INTERRUPT, tid, nullptr, nullptr) != 0) {
    // Only a thread that is already gone refuses; nothing is left to release.
    const int saved = errno;
    tid_ = -1;
    errno = saved;
    return false;
  }
  return true;
}

bool ScopedPtraceAttach::WaitUntilStopped(int timeoutMs) {
  if (tid_ < 0) {
    errno = ESRCH;
    return false;
  }
  if (stopped_) return true;
  // waitpid has no timeout and a tracee's stop raises only the process-wide
  // SIGCHLD, which a library must not take over: poll with a growing pause.
  const std::int64_t deadline = NowMs() + timeoutMs;
  long pauseNs = 50 * 1000;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(tid_, &status, __WALL | WNOHANG);
    if (r == tid_) {
      if (WIFSTOPPED(status)) {
        stopped_ = true;
        const int sig = WSTOPSIG(status);
        // A signal-delivery stop holds a signal the thread still has to get;
        // the stop we asked for and group stops carry nothing to hand back.
        if ((status >> 16) == 0) pendingSignal_ = sig;
        return true;
      }
      // The thread ended; it is no longer traced.
      tid_ = -1;
      errno = ESRCH;
      return false;
    }
    if (r < 0 && errno != EINTR) {
      const int saved = errno;
      if (saved == ECHILD) tid_ = -1;  // gone and already reaped
      errno = saved == ECHILD ? ESRCH : saved;
      return false;
    }
    if (NowMs() >= deadline) {
      errno = ETIMEDOUT;
      return false;
    }
    timespec pause{0, pauseNs};
    ::nanosleep(&pause, nullptr);
    if (pauseNs < 5 * 1000 * 1000) pauseNs *= 2;
  }
}

void ScopedPtraceAttach::Reset() {
  if (tid_ < 0) return;
  const int saved = errno;
  if (!stopped_) WaitUntilStopped(kReleaseWaitMs);
  if (tid_ >= 0) {
    ::ptrace(PTRACE_DETACH, tid_, nullptr,
             reinterpret_cast<void*>(static_cast<long>(pendingSignal_)));
  }
  tid_ = -1;
  stopped_ = false;
  pendingSignal_ = 0;
  errno = saved;
}

}  // namespace crash
