// Faults around a running ovupdate: its naming service dies under it, and a
// family program it runs never ends. Either way a stop request still ends the
// service with exit code 0.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "tests/host/ServiceFixture.h"

namespace faulttest {
namespace {

using Lines = std::vector<std::string>;
using Clock = std::chrono::steady_clock;

constexpr int kWaitMs = 30000;  // generous bound of every wait; never a figure under test

const char* const kStart = "Start update service";
const char* const kStop = "Stop update service";

// A process watched through a pidfd, whoever its parent is.
class WatchedProcess {
 public:
  WatchedProcess() = default;
  explicit WatchedProcess(int pid) : pid_(pid), fd_(static_cast<int>(syscall(SYS_pidfd_open, pid, 0))) {}
  ~WatchedProcess() {
    if (fd_ >= 0) {
      if (!Ended(0)) syscall(SYS_pidfd_send_signal, fd_, SIGKILL, nullptr, 0);  // a failed test leaves nothing
      close(fd_);
    }
  }
  WatchedProcess(const WatchedProcess&) = delete;
  WatchedProcess& operator=(const WatchedProcess&) = delete;

  bool Valid() const { return fd_ >= 0; }
  int Pid() const { return pid_; }
  // true once the process has ended (or is not there any more), waiting at most timeoutMs.
  bool Ended(int timeoutMs) const {
    if (fd_ < 0) return true;
    pollfd p{fd_, POLLIN, 0};
    return poll(&p, 1, timeoutMs) > 0;
  }

 private:
  int pid_ = -1;
  int fd_ = -1;
};

class ServiceFaultsTest : public hosttest::ServiceTest {
 protected:
  void StartAll() {
    ASSERT_TRUE(ns_.Start()) << ns_.Error();
    WriteSettings(ns_.Port());
    ASSERT_TRUE(StartService(service_, {"-n"})) << service_.Error();
    ASSERT_TRUE(WaitForBinding(ns_, true)) << service_.Output();
  }

  // SIGINT, then the wait for the end (bounded); how long it took, for the record.
  void StopService() {
    const auto asked = Clock::now();
    ASSERT_TRUE(service_.Signal(SIGINT));
    ASSERT_TRUE(service_.WaitForExit(kWaitMs)) << "the stop did not complete\n" << service_.Output();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - asked).count();
    RecordProperty("stop_ms", static_cast<int>(ms));
    EXPECT_EQ(service_.TermSignal(), 0);
    EXPECT_EQ(service_.ExitCode(), 0) << service_.Output();
  }

  void TearDown() override {
    service_.Terminate(0, SIGKILL);
    ServiceTest::TearDown();
  }

  testsupport::NamingService ns_;
  testsupport::ChildProcess service_;
};

// The Coordinator's naming service dies while the service waits: the stop
// withdraws the binding, fails to reach it, logs why, and still ends with 0.
// Whether the ORB still holds the dead connection (COMM_FAILURE, the request
// may have been sent) or already knows it is gone (TRANSIENT) is its choice.
TEST_F(ServiceFaultsTest, NamingServiceKilledWhileRunningTheStopStillCompletes) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  ASSERT_EQ(kill(ns_.Pid(), SIGKILL), 0);
  ns_.Stop();  // reaps it

  ASSERT_NO_FATAL_FAILURE(StopService());
  const Lines lines = LogLines();
  ASSERT_EQ(lines.size(), 5u) << service_.Output();
  EXPECT_EQ(lines.front(), kStart);
  EXPECT_EQ(lines.back(), kStop);
  const Lines comm = {"Unknown error occurred while obtain a reference to the root context", "COMM_FAILURE"};
  const Lines transient = {
      "An error occurred while obtain a reference to the root context. Coordinator could not be reached. Make "
      "shure Coordinator is running",
      "TRANSIENT"};
  const Lines reported(lines.begin() + 1, lines.begin() + 3);
  EXPECT_TRUE(reported == comm || reported == transient) << lines[1] << "\n" << lines[2];
  EXPECT_NE(lines[3].find("completed = "), std::string::npos) << lines[3];
}

// A family program that never ends: the call blocks, as a command line is run
// to its end with no time limit, until the service stops. The stop kills the
// program with everything it started, so the ORB's shutdown, which waits for
// the request in progress, can finish.
TEST_F(ServiceFaultsTest, FamilyProgramThatNeverEndsBlocksTheCallUntilTheServiceStops) {
  ASSERT_NO_FATAL_FAILURE(StartAll());
  // The program and its child record their pids, then wait for ever.
  const std::string pids = root_ + "/never-ending.pids";
  const std::string program = binFolder_ + "/never-ending";
  std::ofstream(program) << "#!/bin/sh\nsleep 1000000 >/dev/null 2>&1 &\necho \"$$ $!\" > '" << pids << ".tmp'\nmv '"
                         << pids << ".tmp' '" << pids << "'\nwait\n";
  ASSERT_EQ(chmod(program.c_str(), 0755), 0);

  testsupport::ChildProcess call;
  ASSERT_TRUE(call.Start({LAUNCHERCTL_PATH, "--naming", "127.0.0.1:" + ns_.PortText(), "start", hosttest::HostName(),
                          "server", "Never Ending", program},
                         ServiceEnvironment()));
  int programPid = 0;
  int grandchildPid = 0;
  ASSERT_TRUE(hosttest::WaitForChangeIn(root_, kWaitMs,
                                        [&] {
                                          std::ifstream in(pids);
                                          return static_cast<bool>(in >> programPid >> grandchildPid);
                                        }))
      << call.Output() << service_.Output();
  WatchedProcess programProcess(programPid);
  WatchedProcess grandchild(grandchildPid);
  ASSERT_TRUE(programProcess.Valid() && grandchild.Valid());

  // Blocked: the program runs and the caller still waits for its answer.
  EXPECT_FALSE(programProcess.Ended(0));
  EXPECT_FALSE(call.WaitForExit(0));

  ASSERT_NO_FATAL_FAILURE(StopService());
  EXPECT_TRUE(programProcess.Ended(kWaitMs)) << "the family program outlived the service";
  EXPECT_TRUE(grandchild.Ended(kWaitMs)) << "what the family program started outlived the service";
  // The run ended, so the call is answered as any run that ended.
  ASSERT_TRUE(call.WaitForExit(kWaitMs)) << call.Output();
  EXPECT_EQ(call.ExitCode(), 0) << call.Output();
  EXPECT_FALSE(IsBound(ns_));
  EXPECT_EQ(LogLines(), (Lines{kStart, kStop}));
}

}  // namespace
}  // namespace faulttest
