#include "platform/ConsoleControl.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

namespace {

int eventPipe = -1;

bool RecordEvent(unsigned eventCode) {
  unsigned char code = static_cast<unsigned char>(eventCode);
  (void)!write(eventPipe, &code, 1);
  return true;
}

bool DeclineEvent(unsigned) { return false; }

// A forked child that blocks the console signals as main does, optionally
// receives one before its handler exists, installs `handler` and then lives
// until the test closes its control pipe. Events come back as one byte each.
class ConsoleChild {
 public:
  ConsoleChild(platform::ConsoleCtrlHandlerRoutine handler, int earlySignal) {
    int events[2];
    int control[2];
    if (pipe(events) != 0 || pipe(control) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      close(events[0]);
      close(control[1]);
      eventPipe = events[1];
      platform::BlockConsoleSignals();
      if (earlySignal != 0) kill(getpid(), earlySignal);  // stays pending
      if (!platform::SetConsoleCtrlHandler(handler, true)) _exit(3);
      unsigned char ready = 0xFF;
      (void)!write(eventPipe, &ready, 1);
      char byte;
      while (read(control[0], &byte, 1) > 0) {
      }
      _exit(0);
    }
    close(events[1]);
    close(control[0]);
    events_ = events[0];
    control_ = control[1];
  }
  ~ConsoleChild() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (events_ >= 0) close(events_);
    if (control_ >= 0) close(control_);
  }

  // The next byte from the child, -1 when none came within 10 s or it ended.
  int NextEvent() {
    pollfd pfd{events_, POLLIN, 0};
    if (poll(&pfd, 1, 10000) != 1) return -1;
    unsigned char code;
    return read(events_, &code, 1) == 1 ? code : -1;
  }
  void Signal(int signal) { kill(pid_, signal); }
  // Lets the child end and reaps it; its wait status, -1 when it did not end
  // within 10 s (then it is killed).
  int Finish() {
    close(control_);
    control_ = -1;
    // The child's end closes the event pipe.
    pollfd pfd{events_, POLLIN, 0};
    char byte;
    while (poll(&pfd, 1, 10000) == 1 && read(events_, &byte, 1) > 0) {
    }
    bool ended = (pfd.revents & (POLLHUP | POLLIN)) != 0;
    if (!ended) kill(pid_, SIGKILL);
    int status = -1;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return ended ? status : -1;
  }

 private:
  pid_t pid_ = -1;
  int events_ = -1;
  int control_ = -1;
};

constexpr int kReady = 0xFF;

const struct {
  int signal;
  unsigned event;
} kSignals[] = {
    {SIGINT, platform::CTRL_C_EVENT},
    {SIGQUIT, platform::CTRL_BREAK_EVENT},
    {SIGHUP, platform::CTRL_CLOSE_EVENT},
    {SIGTERM, platform::CTRL_SHUTDOWN_EVENT},
};

TEST(ConsoleControlTest, EachConsoleSignalReachesTheHandlerAndIsNotFatal) {
  ConsoleChild child(RecordEvent, 0);
  ASSERT_EQ(child.NextEvent(), kReady);
  for (const auto& s : kSignals) {
    SCOPED_TRACE(strsignal(s.signal));
    child.Signal(s.signal);
    EXPECT_EQ(child.NextEvent(), static_cast<int>(s.event));
  }
  int status = child.Finish();
  ASSERT_TRUE(WIFEXITED(status)) << "the child died of a console signal";
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

TEST(ConsoleControlTest, ASignalBeforeTheHandlerExistsGoesToTheHandler) {
  for (const auto& s : kSignals) {
    SCOPED_TRACE(strsignal(s.signal));
    ConsoleChild child(RecordEvent, s.signal);
    int first = child.NextEvent();
    int second = child.NextEvent();
    // The pending signal may be taken before or after the ready byte is written.
    EXPECT_TRUE((first == kReady && second == static_cast<int>(s.event)) ||
                (first == static_cast<int>(s.event) && second == kReady))
        << first << " " << second;
    int status = child.Finish();
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  }
}

TEST(ConsoleControlTest, AnUnhandledSignalTakesItsDefaultAction) {
  ConsoleChild child(DeclineEvent, 0);
  ASSERT_EQ(child.NextEvent(), kReady);
  child.Signal(SIGHUP);
  EXPECT_EQ(child.NextEvent(), -1);  // the pipe closes as the child dies
  int status = child.Finish();
  ASSERT_TRUE(WIFSIGNALED(status));
  EXPECT_EQ(WTERMSIG(status), SIGHUP);
}

}  // namespace
