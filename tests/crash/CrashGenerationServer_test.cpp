// The server class in this process, with callbacks that record what they
// were given; clients are forked children using the client library.
#include "crash/CrashGenerationServer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "CrashTestSupport.h"
#include "crash/client/CrashClient.h"
#include "kllib/KLLib.h"

namespace {

using crash::ClientInfo;
using crash::protocol::CustomInfoEntry;
using crash::protocol::DumpType;

struct Seen {
  std::thread::id thread;
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  DumpType type = DumpType::Normal;
  std::vector<CustomInfoEntry> info;
  std::wstring path;
};

struct Recorder {
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Seen> connected;
  std::vector<Seen> dumped;
  std::vector<Seen> exited;

  static Seen From(const ClientInfo* client) {
    Seen seen;
    seen.thread = std::this_thread::get_id();
    seen.pid = client->pid();
    seen.uid = client->uid();
    seen.type = client->dumpType();
    seen.info = client->GetClientCustomInfo();
    return seen;
  }
  void Add(std::vector<Seen>& list, Seen seen) {
    std::lock_guard<std::mutex> lock(mutex);
    list.push_back(std::move(seen));
    changed.notify_all();
  }
  // Waits (bounded) until `list` has `count` records.
  bool WaitFor(const std::vector<Seen>& list, std::size_t count) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, std::chrono::milliseconds(crashtest::kWaitMs),
                            [&] { return list.size() >= count; });
  }

  static void OnConnected(void* self, const ClientInfo* client) {
    auto* r = static_cast<Recorder*>(self);
    r->Add(r->connected, From(client));
  }
  static void OnDump(void* self, const ClientInfo* client, const std::wstring* path) {
    auto* r = static_cast<Recorder*>(self);
    Seen seen = From(client);
    seen.path = *path;
    r->Add(r->dumped, std::move(seen));
  }
  static void OnExit(void* self, const ClientInfo* client) {
    auto* r = static_cast<Recorder*>(self);
    r->Add(r->exited, From(client));
  }
};

// A forked child that registers, optionally asks for a dump, and exits:
// 0 done, 1 dump not written, 3 registration failed.
pid_t ForkClient(const std::vector<CustomInfoEntry>& entries, DumpType type, bool dump) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!crash::StartCrashClient(entries, type)) ::_exit(3);
    ::_exit(dump ? (crash::RequestDump() ? 0 : 1) : 0);
  }
  return pid;
}

class CrashGenerationServerTest : public ::testing::Test {
 protected:
  std::unique_ptr<crash::CrashGenerationServer> MakeServer(bool generateDumps) {
    return std::make_unique<crash::CrashGenerationServer>(
        crash::protocol::kSocketName, Recorder::OnConnected, &recorder_, Recorder::OnDump, &recorder_,
        Recorder::OnExit, &recorder_, generateDumps, KLLib::strings::toWstr(dir_.Path()));
  }

  crashtest::TempDir dir_;
  Recorder recorder_;
};

TEST_F(CrashGenerationServerTest, CallbacksGetKernelIdentityRunTimeAndRunOffTheMainThread) {
  auto server = MakeServer(true);
  ASSERT_TRUE(server->Start());
  const pid_t pid = ForkClient({{L"appname", L"demo"}, {L"version", L"7"}}, DumpType::FullMemory, true);
  crashtest::Child child;
  child.Adopt(pid);
  const int status = child.Wait();
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  ASSERT_TRUE(recorder_.WaitFor(recorder_.connected, 1));
  ASSERT_TRUE(recorder_.WaitFor(recorder_.dumped, 1));
  ASSERT_TRUE(recorder_.WaitFor(recorder_.exited, 1));
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  for (const std::vector<Seen>* list : {&recorder_.connected, &recorder_.dumped, &recorder_.exited}) {
    const Seen& seen = list->front();
    EXPECT_NE(seen.thread, std::this_thread::get_id()) << "a callback ran on the main thread";
    EXPECT_EQ(seen.pid, pid);
    EXPECT_EQ(seen.uid, ::getuid());
    EXPECT_EQ(seen.type, DumpType::FullMemory);
    ASSERT_EQ(seen.info.size(), 3u);
    EXPECT_EQ(seen.info[0].name, L"appname");
    EXPECT_EQ(seen.info[1].value, L"7");
    EXPECT_EQ(seen.info[2].name, L"ptime");
    // The child had just started: its run time is a small number of milliseconds.
    const std::wstring& ptime = seen.info[2].value;
    ASSERT_FALSE(ptime.empty());
    EXPECT_EQ(ptime.find_first_not_of(L"0123456789"), std::wstring::npos) << KLLib::strings::toAstr(ptime);
    EXPECT_LT(std::stoll(ptime), 10LL * 60 * 1000);
  }
  const std::string path = KLLib::strings::toAstr(recorder_.dumped.front().path);
  EXPECT_EQ(path.rfind(dir_.Path() + "/", 0), 0u) << path;
  EXPECT_EQ(crashtest::FilesIn(dir_.Path()).size(), 2u);
}

TEST_F(CrashGenerationServerTest, RegistrationOfAProcessThatLongRanReportsItsRunTime) {
  // The client ages a known while between its start and its registration.
  auto server = MakeServer(true);
  ASSERT_TRUE(server->Start());
  int gate[2];
  ASSERT_EQ(::pipe(gate), 0);
  const auto beforeStart = std::chrono::steady_clock::now();
  const pid_t pid = ::fork();
  if (pid == 0) {
    char byte;
    ::close(gate[1]);
    (void)!::read(gate[0], &byte, 1);  // until the parent has measured its start
    ::_exit(crash::StartCrashClient({}, DumpType::Normal) ? 0 : 3);
  }
  crashtest::Child child;
  child.Adopt(pid);
  ::close(gate[0]);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ::close(gate[1]);
  const int status = child.Wait();
  const auto age = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - beforeStart);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(recorder_.WaitFor(recorder_.connected, 1));
  std::lock_guard<std::mutex> guard(recorder_.mutex);
  ASSERT_EQ(recorder_.connected.front().info.size(), 1u);
  const long long ptime = std::stoll(recorder_.connected.front().info[0].value);
  EXPECT_GE(ptime, 300);
  // The kernel counts the start in clock ticks (10 ms here), so allow two.
  EXPECT_LE(ptime, age.count() + 20);
}

TEST_F(CrashGenerationServerTest, SecondServerOnTheNameFailsToStart) {
  auto first = MakeServer(true);
  ASSERT_TRUE(first->Start());
  auto second = MakeServer(true);
  errno = 0;
  EXPECT_FALSE(second->Start());
  EXPECT_EQ(errno, EADDRINUSE);
  second.reset();  // destroying a server that never started is harmless

  crashtest::Child child;
  child.Adopt(ForkClient({}, DumpType::Normal, false));
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(CrashGenerationServerTest, WithoutDumpWritingRequestsFailAndNoCallbackFollows) {
  auto server = MakeServer(false);
  ASSERT_TRUE(server->Start());
  crashtest::Child child;
  child.Adopt(ForkClient({}, DumpType::Normal, true));
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the dump must be reported as not written";
  ASSERT_TRUE(recorder_.WaitFor(recorder_.exited, 1));
  std::lock_guard<std::mutex> lock(recorder_.mutex);
  EXPECT_TRUE(recorder_.dumped.empty());
  EXPECT_TRUE(crashtest::FilesIn(dir_.Path()).empty());
}

TEST_F(CrashGenerationServerTest, StoppedServerFreesTheNameAndClientsFindNoServer) {
  auto server = MakeServer(true);
  ASSERT_TRUE(server->Start());
  server.reset();
  crashtest::Child child;
  child.Adopt(ForkClient({}, DumpType::Normal, false));
  const int status = child.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 3) << status;
  auto again = MakeServer(true);
  EXPECT_TRUE(again->Start());
}

}  // namespace
