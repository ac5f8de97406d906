// Holds one thread of another process under ptrace; lets it go on release.
// Only the thread that seized may use the holder (ptrace binds the tracer).
#pragma once

#include <cstdint>

namespace crash {

class ScopedPtraceAttach {
 public:
  ScopedPtraceAttach() = default;
  // Detaches (see Reset).
  ~ScopedPtraceAttach();
  ScopedPtraceAttach(const ScopedPtraceAttach&) = delete;
  ScopedPtraceAttach& operator=(const ScopedPtraceAttach&) = delete;

  // Releases any held thread, then seizes thread `tid` and asks it to stop,
  // without waiting. true when the thread is now traced by the calling thread;
  // false (errno from ptrace) otherwise, holding nothing.
  bool ResetAndSeize(std::int32_t tid);

  // Waits at most `timeoutMs` for the seized thread to stop. true once it is
  // stopped and its registers can be read; false when it ended (errno ESRCH),
  // did not stop in time (errno ETIMEDOUT; it stays held until Reset) or no
  // thread is held.
  bool WaitUntilStopped(int timeoutMs);

  // Detaches the held thread, handing back a signal that arrived while it was
  // held, so it goes on as before. A thread that has not stopped yet gets a
  // short bounded wait first, since only a stopped thread can be detached.
  void Reset();

  std::int32_t Tid() const { return tid_; }
  bool Stopped() const { return stopped_; }

 private:
  std::int32_t tid_ = -1;
  bool stopped_ = false;
  int pendingSignal_ = 0;
};

}  // namespace crash
