#include "corba/CCorbaWrapper.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <thread>

#include "kllib/KLLib.h"
#include "tests/corba/RecordingWrapper.h"
#include "tests/support/NamingService.h"

namespace {

using corbatest::CerrCapture;
using corbatest::RecordingWrapper;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::Optional;

// The wrapper adds no endpoint of its own: the process's ORB listens on loopback only.
const bool kLoopbackOnly = (::setenv("ORBendPoint", "giop:tcp:127.0.0.1:", 1), true);

constexpr char kRootTransient[] =
    "An error occurred while obtain a reference to the root context. Coordinator could not be reached. "
    "Make shure Coordinator is running";

// What the event-loop hooks saw; hooks are plain functions, so this is global.
struct HookLog {
  std::mutex mutex;
  std::condition_variable changed;
  int started = 0;
  int finished = 0;
  std::thread::id finishedOn;
  bool holdFinished = false;  // the finished hook blocks while this is set

  void Reset() {
    std::lock_guard<std::mutex> lock(mutex);
    started = finished = 0;
    finishedOn = {};
    holdFinished = false;
  }
  bool WaitFor(int& counter, int value) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::seconds(10), [&] { return counter >= value; });
  }
  // For a counter the loop thread may still be touching.
  int Read(const int& counter) {
    std::lock_guard<std::mutex> lock(mutex);
    return counter;
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex);
    holdFinished = false;
    changed.notify_all();
  }
};
HookLog hooks;

void OnStarting() {
  std::lock_guard<std::mutex> lock(hooks.mutex);
  ++hooks.started;
  hooks.changed.notify_all();
}

void OnFinished() {
  std::unique_lock<std::mutex> lock(hooks.mutex);
  ++hooks.finished;
  hooks.finishedOn = std::this_thread::get_id();
  hooks.changed.notify_all();
  // Bounded, so a broken test cannot leave the thread behind for ever.
  hooks.changed.wait_for(lock, std::chrono::seconds(30), [] { return !hooks.holdFinished; });
}

class CorbaWrapperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(kLoopbackOnly);
    hooks.Reset();
    wrapper.onOrbRunStarting = OnStarting;
    wrapper.onOrbRunFinished = OnFinished;
  }

  int Connect(const testsupport::NamingService& ns) { return wrapper.Connect(L"127.0.0.1", ns.PortW()); }

  testsupport::NamingService ns;
  RecordingWrapper wrapper;
};

TEST_F(CorbaWrapperTest, ShutdownBeforeAnyStartDoesNothing) {
  CerrCapture cerr;
  wrapper.Shutdown();
  wrapper.Shutdown();
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_TRUE(CORBA::is_nil(wrapper.orb));
  EXPECT_FALSE(wrapper.IsOrbThreadRunning());
  EXPECT_EQ(hooks.started, 0);
  EXPECT_EQ(cerr.Text(), "");
}

TEST_F(CorbaWrapperTest, InitOrbWithoutArgumentsFailsWithoutMessage) {
  EXPECT_EQ(wrapper.InitOrb(0, nullptr, nullptr), 1);
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_TRUE(CORBA::is_nil(wrapper.orb));
}

TEST(CorbaWrapperReportErrorTest, BaseWritesEachGivenTextOnALine) {
  struct Case {
    const char* message;
    const char* name;
    const char* info;
    const char* expected;
  };
  const Case cases[] = {
      {"An error occurred while binding object", "TRANSIENT", "minor", "An error occurred while binding object\n"
                                                                      "TRANSIENT\nminor\n"},
      {"Failed to narrow naming context", nullptr, nullptr, "Failed to narrow naming context\n"},
      {nullptr, "TRANSIENT", nullptr, "TRANSIENT\n"},
      {nullptr, nullptr, nullptr, ""},
  };
  CCorbaWrapper wrapper;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    CerrCapture cerr;
    wrapper.ReportError(c.message, c.name, c.info);
    EXPECT_EQ(cerr.Text(), c.expected);
  }
}

TEST_F(CorbaWrapperTest, ConnectWithNamingServiceDownFailsOnceWithTransient) {
  EXPECT_EQ(Connect(ns), 1);
  ASSERT_EQ(wrapper.reports.size(), 1u);
  EXPECT_EQ(wrapper.reports[0].message, kRootTransient);
  EXPECT_THAT(wrapper.reports[0].name, Optional(std::string("TRANSIENT")));
  EXPECT_THAT(wrapper.reports[0].info, Optional(HasSubstr("TRANSIENT_ConnectFailed")));
  EXPECT_THAT(wrapper.reports[0].info, Optional(HasSubstr("completed = NO")));
  EXPECT_EQ(wrapper.connectedHost, L"");
  EXPECT_EQ(wrapper.connectedPort, L"");
  EXPECT_FALSE(wrapper.IsOrbThreadRunning());

  // A later failure keeps the address of the last success.
  ASSERT_TRUE(ns.Start()) << ns.Error();
  ASSERT_EQ(Connect(ns), 0);
  testsupport::NamingService down;
  wrapper.reports.clear();
  EXPECT_EQ(wrapper.Connect(L"127.0.0.1", down.PortW()), 1);
  EXPECT_THAT(wrapper.Messages(), ElementsAre(kRootTransient));
  EXPECT_EQ(wrapper.connectedHost, L"127.0.0.1");
  EXPECT_EQ(wrapper.connectedPort, ns.PortW());
}

TEST_F(CorbaWrapperTest, ConnectStartsOrbPoaAndEventLoop) {
  ASSERT_TRUE(ns.Start()) << ns.Error();
  std::string logFile = ns.DataDir() + "/update.log.crb";
  wrapper.orbLogFile = KLLib::strings::toWstr(logFile);
  wrapper.orbDebugLevel = L"1";

  ASSERT_EQ(Connect(ns), 0);
  EXPECT_TRUE(wrapper.reports.empty());
  EXPECT_FALSE(CORBA::is_nil(wrapper.orb));
  EXPECT_FALSE(CORBA::is_nil(wrapper.rootPoa));
  EXPECT_TRUE(wrapper.IsOrbThreadRunning());
  EXPECT_EQ(wrapper.connectedHost, L"127.0.0.1");
  EXPECT_EQ(wrapper.connectedPort, ns.PortW());
  EXPECT_TRUE(hooks.WaitFor(hooks.started, 1));
  // The log file option reached the ORB.
  EXPECT_TRUE(std::filesystem::exists(logFile));

  wrapper.Shutdown();
  EXPECT_TRUE(CORBA::is_nil(wrapper.orb));
  EXPECT_TRUE(CORBA::is_nil(wrapper.rootPoa));
  EXPECT_FALSE(wrapper.IsOrbThreadRunning());
  EXPECT_EQ(hooks.finished, 1);
  EXPECT_TRUE(wrapper.reports.empty());
}

TEST_F(CorbaWrapperTest, ConnectToTheSameAddressKeepsTheRunningOrb) {
  ASSERT_TRUE(ns.Start()) << ns.Error();
  ASSERT_EQ(Connect(ns), 0);
  ASSERT_TRUE(hooks.WaitFor(hooks.started, 1));
  CORBA::ORB_ptr firstOrb = wrapper.orb.in();
  COrbThreadData* firstThread = wrapper.threadData.get();

  EXPECT_EQ(Connect(ns), 0);
  EXPECT_EQ(wrapper.orb.in(), firstOrb);
  EXPECT_EQ(wrapper.threadData.get(), firstThread);
  EXPECT_EQ(hooks.started, 1);
  EXPECT_EQ(hooks.finished, 0);

  // Another port: the running ORB and its loop end before the new one starts.
  testsupport::NamingService other;
  ASSERT_TRUE(other.Start()) << other.Error();
  EXPECT_EQ(Connect(other), 0);
  EXPECT_EQ(hooks.finished, 1);
  EXPECT_TRUE(hooks.WaitFor(hooks.started, 2));
  EXPECT_NE(wrapper.threadData.get(), firstThread);
  EXPECT_EQ(wrapper.connectedPort, other.PortW());
  EXPECT_TRUE(wrapper.IsOrbThreadRunning());
  EXPECT_TRUE(wrapper.reports.empty());
}

TEST_F(CorbaWrapperTest, LoopEndingOnItsOwnCallsFinishedHookOnceOnTheLoopThread) {
  ASSERT_TRUE(ns.Start()) << ns.Error();
  ASSERT_EQ(Connect(ns), 0);
  ASSERT_TRUE(hooks.WaitFor(hooks.started, 1));

  wrapper.orb->shutdown(false);
  ASSERT_TRUE(hooks.WaitFor(hooks.finished, 1));
  EXPECT_NE(hooks.finishedOn, std::this_thread::get_id());
  EXPECT_TRUE(wrapper.IsOrbThreadRunning()) << "the thread stays held until Shutdown";

  wrapper.Shutdown();
  EXPECT_EQ(hooks.finished, 1);
  EXPECT_FALSE(wrapper.IsOrbThreadRunning());
  EXPECT_TRUE(CORBA::is_nil(wrapper.orb));
  EXPECT_TRUE(wrapper.reports.empty());
}

TEST_F(CorbaWrapperTest, LoopThreadOutlivingTheStopBoundNeverTouchesAGoneWrapper) {
  ASSERT_TRUE(ns.Start()) << ns.Error();
  auto owned = std::make_unique<RecordingWrapper>();
  owned->onOrbRunStarting = OnStarting;
  owned->onOrbRunFinished = OnFinished;
  ASSERT_EQ(owned->Connect(L"127.0.0.1", ns.PortW()), 0);
  ASSERT_TRUE(hooks.WaitFor(hooks.started, 1));
  {
    std::lock_guard<std::mutex> lock(hooks.mutex);
    hooks.holdFinished = true;
  }

  std::weak_ptr<COrbThreadData> threadState = owned->threadData;
  owned->Shutdown();  // gives up on the held thread after its bound
  EXPECT_FALSE(owned->IsOrbThreadRunning());
  EXPECT_EQ(hooks.Read(hooks.finished), 1);  // the held thread is still running
  owned.reset();

  // The thread is still inside its hook: what it touches next must still exist.
  EXPECT_FALSE(threadState.expired());
  hooks.Release();
  // No event tells that a let-go thread has ended; look, bounded.
  for (int i = 0; i < 1000 && !threadState.expired(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(threadState.expired());
}

TEST_F(CorbaWrapperTest, PublishWithoutRootPoaLeavesEverythingAlone) {
  LauncherTie tie(static_cast<Launcher_impl*>(nullptr), true);
  auto implementation = std::make_unique<Launcher_impl>();
  RuraduZezarev::Launcher_var reference;
  EXPECT_EQ(wrapper.PublishObject(tie, "PC1", implementation.get(), reference), 1);
  EXPECT_TRUE(CORBA::is_nil(reference));
  EXPECT_EQ(tie._tied_object(), nullptr);
  EXPECT_TRUE(wrapper.reports.empty());

  wrapper.UnpublishObject(tie, "PC1");
  EXPECT_TRUE(wrapper.reports.empty());
}

}  // namespace
