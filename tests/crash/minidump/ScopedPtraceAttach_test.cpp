#include "crash/minidump/ScopedPtraceAttach.h"

#include <cerrno>
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "tests/crash/minidump/MinidumpTestSupport.h"

namespace {

using minidumptest::DumpedChild;
using minidumptest::ReadFile;
using minidumptest::TempDir;
using minidumptest::TracerPids;

constexpr int kStopTimeoutMs = 5000;

std::string ThreadState(int pid) {
  const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
  const std::size_t at = status.find("State:");
  return at == std::string::npos ? "" : status.substr(at, status.find('\n', at) - at);
}

class ScopedPtraceAttachTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(child_.Start("idle", dir_.Path())); }

  TempDir dir_;
  DumpedChild child_;
};

TEST_F(ScopedPtraceAttachTest, HoldsTheThreadStoppedUntilReleased) {
  {
    crash::ScopedPtraceAttach attach;
    ASSERT_TRUE(attach.ResetAndSeize(child_.Pid()));
    ASSERT_TRUE(attach.WaitUntilStopped(kStopTimeoutMs));
    EXPECT_TRUE(attach.Stopped());
    EXPECT_EQ(child_.Pid(), attach.Tid());
    EXPECT_EQ(::getpid(), TracerPids(child_.Pid())[child_.Pid()]);
    EXPECT_NE(std::string::npos, ThreadState(child_.Pid()).find("tracing stop")) << ThreadState(child_.Pid());
  }
  EXPECT_EQ(0, TracerPids(child_.Pid())[child_.Pid()]);
  EXPECT_TRUE(child_.Answers());
}

// A signal that reaches the thread while it is held is not lost.
TEST_F(ScopedPtraceAttachTest, SignalArrivingWhileHeldIsDeliveredAfterRelease) {
  crash::ScopedPtraceAttach attach;
  ASSERT_TRUE(attach.ResetAndSeize(child_.Pid()));
  ASSERT_TRUE(attach.WaitUntilStopped(kStopTimeoutMs));
  // Aimed at the held thread itself, so no other thread can take it.
  ASSERT_EQ(0, ::syscall(SYS_tgkill, child_.Pid(), child_.Pid(), SIGUSR1));
  attach.Reset();
  EXPECT_EQ(-1, attach.Tid());
  EXPECT_TRUE(child_.Process().WaitForOutput("USR1 1\n", kStopTimeoutMs)) << child_.Process().Output();
}

TEST_F(ScopedPtraceAttachTest, RefusesWhatCannotBeTraced) {
  crash::ScopedPtraceAttach first;
  ASSERT_TRUE(first.ResetAndSeize(child_.Pid()));
  struct Case {
    const char* what;
    int tid;
    int error;
  };
  const Case cases[] = {
      {"a thread someone traces already", child_.Pid(), EPERM},
      {"no such thread", 0x3ffffff0, ESRCH},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    crash::ScopedPtraceAttach attach;
    errno = 0;
    EXPECT_FALSE(attach.ResetAndSeize(c.tid));
    EXPECT_EQ(c.error, errno);
    EXPECT_EQ(-1, attach.Tid());
    EXPECT_FALSE(attach.WaitUntilStopped(0));
  }
}

}  // namespace
