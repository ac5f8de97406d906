// The crash server in a real process (crashhost, which runs StartCrashServer
// as the update service does), with real clients: crashdemo, forked children
// that use the client library, and raw sockets for hostile messages.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>

#include <cstddef>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "CrashTestSupport.h"
#include "crash/CrashProtocol.h"
#include "crash/client/CrashClient.h"

namespace {

using crash::protocol::CustomInfoEntry;
using crash::protocol::DumpType;
using crashtest::Child;
using Bytes = std::vector<std::uint8_t>;

constexpr char kDumpLine[] = "    Dump: ";
constexpr char kNameLine[] = "    Name: ";

std::string DumpPathOf(const std::string& line) {
  const std::size_t at = line.find(kDumpLine);
  return at == std::string::npos ? std::string() : line.substr(at + std::strlen(kDumpLine));
}

// A client speaking the protocol by hand.
class RawClient {
 public:
  bool Connect() {
    fd_.reset(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, crash::protocol::kSocketName, crash::protocol::kSocketNameLength);
    const auto length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + crash::protocol::kSocketNameLength);
    return fd_.valid() && ::connect(fd_.get(), reinterpret_cast<const sockaddr*>(&address), length) == 0;
  }
  bool Send(const void* data, std::size_t size) {
    return ::send(fd_.get(), data, size, MSG_NOSIGNAL) == static_cast<ssize_t>(size);
  }
  bool Send(const Bytes& bytes) { return Send(bytes.data(), bytes.size()); }
  // One record within the bound; its size, 0 when the server closed, -1 on timeout.
  ssize_t Receive(void* buffer, std::size_t size, int timeoutMs = crashtest::kWaitMs) {
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0) return -1;
    return ::recv(fd_.get(), buffer, size, MSG_DONTWAIT);
  }
  // Registers; the server's pid, or 0.
  std::int32_t Register(const std::vector<CustomInfoEntry>& entries = {}, DumpType type = DumpType::Normal) {
    crash::protocol::RegisterRequest request;
    request.dumpType = type;
    request.entries = entries;
    Bytes bytes;
    if (!Connect() || !crash::protocol::EncodeRegisterRequest(request, bytes) || !Send(bytes)) return 0;
    crash::protocol::RegisterAnswer answer;
    std::int32_t pid = 0;
    const ssize_t n = Receive(&answer, sizeof(answer));
    if (n <= 0 ||
        !crash::protocol::ParseRegisterAnswer(reinterpret_cast<const std::uint8_t*>(&answer), n, pid)) {
      return 0;
    }
    return pid;
  }
  bool SendDumpRequest(std::int32_t tid) {
    crash::CrashInfo info;
    info.tid = tid;
    crash::protocol::DumpRequest request;
    crash::protocol::FillDumpRequest(info, request);
    return Send(&request, sizeof(request));
  }
  // true when the server answered or closed (it did not hang).
  bool AnsweredOrClosed(crash::protocol::DumpResult* result = nullptr) {
    crash::protocol::DumpAnswer answer;
    const ssize_t n = Receive(&answer, sizeof(answer));
    if (n > 0 && result != nullptr) {
      crash::protocol::ParseDumpAnswer(reinterpret_cast<const std::uint8_t*>(&answer), n, *result);
    }
    return n >= 0;
  }
  void Close() { fd_.reset(); }

 private:
  platform::ScopedFd fd_;
};

// A forked child of this test that registers through the client library,
// then asks for a dump (or not) and exits. Its wait status.
int RunLibraryClient(const std::vector<CustomInfoEntry>& entries, DumpType type, bool dump) {
  const pid_t pid = ::fork();
  if (pid == 0) {
    if (!crash::StartCrashClient(entries, type)) ::_exit(3);
    ::_exit(dump ? (crash::RequestDump() ? 0 : 1) : 0);
  }
  Child child;
  child.Adopt(pid);
  return child.Wait();
}

class CrashServerTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_FALSE(dir_.Path().empty()); }

  void TearDown() override {
    if (host_.pid() > 0 && host_.Signal(SIGTERM)) {
      const int status = host_.Wait();
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the server did not stop cleanly: " << status;
    }
  }

  // Runs crashhost with TMPDIR=`tmpDir` and waits until StartCrashServer returned.
  static void StartHost(Child& host, const std::string& tmpDir) {
    ASSERT_TRUE(host.Spawn({crashtest::CrashHostPath()}, {"TMPDIR=" + tmpDir}));
    ASSERT_TRUE(host.out().WaitFor("ready")) << host.err().Text();
  }
  void StartHost() { StartHost(host_, dir_.Path() + "/"); }

  std::string DumpsFolder() const { return dir_.Path() + "/kl_crashdumps"; }

  static void RunDemo(Child& demo, const std::vector<std::string>& args) {
    std::vector<std::string> argv{crashtest::CrashDemoPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    ASSERT_TRUE(demo.Spawn(argv));
  }

  // Waits for the `count`th dump's three lines; the dump paths in order.
  std::vector<std::string> WaitForDumps(int count) {
    EXPECT_TRUE(host_.err().WaitFor(kDumpLine, count)) << host_.err().Text();
    std::vector<std::string> paths;
    for (const std::string& line : host_.err().Lines()) {
      if (line.rfind(kDumpLine, 0) == 0) paths.push_back(DumpPathOf(line));
    }
    return paths;
  }

  // The server still registers clients, answering with its own pid.
  void ExpectServing() {
    RawClient probe;
    EXPECT_EQ(probe.Register({{L"appname", L"probe"}}), host_.pid());
  }

  crashtest::TempDir dir_;
  Child host_;
};

TEST_F(CrashServerTest, CrashOfADemoLeavesThreeLinesAndADumpLldbReads) {
  const struct {
    const char* how;
    int signo;
    const char* signalName;
  } cases[] = {{"segv", SIGSEGV, "SIGSEGV"}, {"abort", SIGABRT, "SIGABRT"}};
  StartHost();
  int dumps = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.how);
    const std::string appName = std::string("Keldra Demo ") + c.how;
    Child demo;
    RunDemo(demo, {"--appname", appName, "--crash", c.how});
    const int status = demo.Wait();
    ASSERT_TRUE(WIFSIGNALED(status)) << "status " << status << ": " << demo.err().Text();
    EXPECT_EQ(WTERMSIG(status), c.signo) << "the client must die by its own signal";

    const std::vector<std::string> paths = WaitForDumps(++dumps);
    ASSERT_EQ(paths.size(), static_cast<std::size_t>(dumps));
    const std::vector<std::string>& lines = host_.err().Lines();
    const std::string& path = paths.back();
    auto dumpLine = std::find(lines.begin(), lines.end(), kDumpLine + path);
    ASSERT_GE(dumpLine - lines.begin(), 2);
    EXPECT_EQ(*(dumpLine - 2), "Application crash handled");
    EXPECT_EQ(*(dumpLine - 1), kNameLine + appName);

    const std::string name = path.substr(path.rfind('/') + 1);
    EXPECT_EQ(path.substr(0, path.rfind('/')), DumpsFolder());
    EXPECT_TRUE(std::regex_match(name, std::regex("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\\.dmp")))
        << name;
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_GT(st.st_size, 0);

    const std::string report = crashtest::LldbReport(path);
    EXPECT_NE(report.find(c.signalName), std::string::npos) << report;
    EXPECT_NE(report.find("CrashDemoFault"), std::string::npos) << report;
  }
  EXPECT_EQ(host_.err().Count("app attached"), 2);
}

TEST_F(CrashServerTest, FullMemoryClientGetsASecondDumpHoldingItsHeap) {
  StartHost();
  Child demo;
  RunDemo(demo, {"--appname", "full", "--full", "--crash", "segv"});
  const int status = demo.Wait();
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status;
  const std::vector<std::string> paths = WaitForDumps(1);
  ASSERT_EQ(paths.size(), 1u);
  const std::string normal = paths[0];
  const std::string full = normal.substr(0, normal.size() - 4) + "-full.dmp";
  const std::string guid = normal.substr(normal.rfind('/') + 1, 36);
  EXPECT_EQ(crashtest::FilesIn(DumpsFolder()), (std::vector<std::string>{guid + "-full.dmp", guid + ".dmp"}));

  const std::string marker = "CRASHDEMO-HEAP-MARKER";
  EXPECT_NE(crashtest::ReadFileBytes(full).find(marker), std::string::npos) << "heap missing from the full dump";
  EXPECT_EQ(crashtest::ReadFileBytes(normal).find(marker), std::string::npos) << "heap in the normal dump";
  struct stat st {};
  ASSERT_EQ(::stat(full.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_NE(crashtest::LldbReport(full).find("CrashDemoFault"), std::string::npos);
}

TEST_F(CrashServerTest, DumpOnDemandLeavesTheClientRunning) {
  StartHost();
  Child demo;
  RunDemo(demo, {"--appname", "ondemand", "--dump"});
  const int status = demo.Wait();
  EXPECT_TRUE(demo.out().WaitFor("dump written, still running")) << demo.out().Text();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  const std::vector<std::string> paths = WaitForDumps(1);
  ASSERT_EQ(paths.size(), 1u);
  EXPECT_EQ(host_.err().Count("    Name: ondemand"), 1);
  const std::string report = crashtest::LldbReport(paths[0]);
  EXPECT_NE(report.find("RequestDump"), std::string::npos) << report;
}

TEST_F(CrashServerTest, AppNameIsTheLastExactAppnameEntry) {
  const struct {
    const char* what;
    std::vector<CustomInfoEntry> entries;
    const char* expected;
  } cases[] = {
      {"no entries", {}, "unknown"},
      {"other entries only", {{L"version", L"7.0"}}, "unknown"},
      {"one appname", {{L"version", L"7.0"}, {L"appname", L"Keldra Agent"}}, "Keldra Agent"},
      {"two appname entries", {{L"appname", L"first"}, {L"ptime", L"1"}, {L"appname", L"second"}}, "second"},
      {"other letter case", {{L"AppName", L"wrong"}, {L"APPNAME", L"wrong"}}, "unknown"},
      {"name with spaces around", {{L" appname", L"wrong"}, {L"appname ", L"wrong"}}, "unknown"},
      {"non-ASCII value", {{L"appname", L"Sauvegarde \u00e9t\u00e9"}}, "Sauvegarde \u00e9t\u00e9"},
  };
  StartHost();
  int dumps = 0;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const int status = RunLibraryClient(c.entries, DumpType::Normal, true);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    WaitForDumps(++dumps);
    const std::vector<std::string>& lines = host_.err().Lines();
    auto dumpLine = std::find_if(lines.rbegin(), lines.rend(), [](const std::string& l) { return l.rfind(kDumpLine, 0) == 0; });
    ASSERT_NE(dumpLine, lines.rend());
    EXPECT_EQ(*(dumpLine + 1), std::string(kNameLine) + c.expected);
  }
}

TEST_F(CrashServerTest, ClientThatRegistersAndExitsLeavesOnlyAppAttached) {
  StartHost();
  const int status = RunLibraryClient({{L"appname", L"quiet"}}, DumpType::FullMemory, false);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  ASSERT_TRUE(host_.err().WaitFor("app attached"));
  // A second client that crashes marks the end of what the first could have caused.
  Child demo;
  RunDemo(demo, {"--appname", "marker", "--crash", "segv"});
  demo.Wait();
  WaitForDumps(1);
  host_.err().Drain();
  EXPECT_EQ(host_.err().Count("app attached"), 2);
  EXPECT_EQ(host_.err().Lines().size(), 5u) << host_.err().Text();
  EXPECT_EQ(crashtest::FilesIn(DumpsFolder()).size(), 1u);
}

TEST_F(CrashServerTest, TwoClientsCrashingAtOnceAreBothServed) {
  StartHost();
  Child first;
  Child second;
  RunDemo(first, {"--appname", "first", "--full", "--crash", "segv"});
  RunDemo(second, {"--appname", "second", "--crash", "abort"});
  EXPECT_TRUE(WIFSIGNALED(first.Wait()));
  EXPECT_TRUE(WIFSIGNALED(second.Wait()));
  const std::vector<std::string> paths = WaitForDumps(2);
  EXPECT_EQ(paths.size(), 2u);
  EXPECT_EQ(host_.err().Count("Application crash handled"), 2);
  EXPECT_EQ(host_.err().Count("    Name: first"), 1);
  EXPECT_EQ(host_.err().Count("    Name: second"), 1);
  EXPECT_EQ(host_.err().Count("app attached"), 2);
  EXPECT_EQ(crashtest::FilesIn(DumpsFolder()).size(), 3u);  // one client asked for full memory
}

TEST_F(CrashServerTest, SecondServerFailsAndTheFirstKeepsServing) {
  StartHost();
  Child second;
  StartHost(second, dir_.Path() + "/");
  EXPECT_TRUE(second.err().WaitFor("Unable to start crash server")) << second.err().Text();
  EXPECT_EQ(second.err().Lines(), std::vector<std::string>{"Unable to start crash server"});

  ExpectServing();
  ASSERT_TRUE(host_.err().WaitFor("app attached"));
  // The failed one goes on and stops normally.
  ASSERT_TRUE(second.Signal(SIGTERM));
  const int status = second.Wait();
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  second.err().Drain();
  EXPECT_EQ(second.err().Count("app attached"), 0);
}

TEST_F(CrashServerTest, MissingDumpsFolderIsCreatedWithItsParents) {
  const std::string tmp = dir_.Path() + "/a/b c/d/";
  StartHost(host_, tmp);
  for (const std::string& folder : {dir_.Path() + "/a", dir_.Path() + "/a/b c", dir_.Path() + "/a/b c/d",
                                   tmp + "kl_crashdumps"}) {
    SCOPED_TRACE(folder);
    struct stat st {};
    ASSERT_EQ(::stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0700u);
  }
  host_.err().Drain();
  EXPECT_EQ(host_.err().Lines(), std::vector<std::string>{});
  ExpectServing();
}

TEST_F(CrashServerTest, ExistingDumpsFolderIsLeftUnchanged) {
  ASSERT_EQ(::mkdir(DumpsFolder().c_str(), 0755), 0);
  ASSERT_EQ(::chmod(DumpsFolder().c_str(), 0755), 0);
  const std::string keep = DumpsFolder() + "/older.dmp";
  ASSERT_EQ(::close(::open(keep.c_str(), O_CREAT | O_WRONLY, 0644)), 0);
  StartHost();
  ExpectServing();
  struct stat st {};
  ASSERT_EQ(::stat(DumpsFolder().c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0755u);
  EXPECT_EQ(crashtest::FilesIn(DumpsFolder()), std::vector<std::string>{"older.dmp"});
}

TEST_F(CrashServerTest, UnusableDumpsFolderIsReportedAndTheProgramGoesOn) {
  // A regular file where a parent folder should be: neither root nor anyone can create below it.
  const std::string blocker = dir_.Path() + "/file";
  ASSERT_EQ(::close(::open(blocker.c_str(), O_CREAT | O_WRONLY, 0600)), 0);
  StartHost(host_, blocker + "/tmp/");
  host_.err().WaitFor("crash dumps folder");
  ASSERT_EQ(host_.err().Lines().size(), 1u) << host_.err().Text();
  EXPECT_NE(host_.err().Lines()[0].find(blocker + "/tmp/kl_crashdumps"), std::string::npos);
  EXPECT_EQ(host_.err().Count("Unable to start crash server"), 0);
  // No crash collection: nobody listens.
  RawClient client;
  EXPECT_FALSE(client.Connect());
}

// Each case does something a broken or hostile client could; afterwards the
// server must still register the next client and hold no extra descriptor.
TEST_F(CrashServerTest, MalformedAndHostileClientsCostTheServerNothing) {
  StartHost();
  auto record = [](std::uint32_t magic, std::uint16_t kind, std::size_t size) {
    Bytes b(size, 0);
    std::memcpy(b.data(), &magic, 4);
    const std::uint16_t version = crash::protocol::kVersion;
    std::memcpy(b.data() + 4, &version, 2);
    std::memcpy(b.data() + 6, &kind, 2);
    return b;
  };
  auto sendAndClose = [](const Bytes& bytes) {
    return [bytes] {
      RawClient c;
      ASSERT_TRUE(c.Connect());
      ASSERT_TRUE(c.Send(bytes));
      EXPECT_TRUE(c.AnsweredOrClosed()) << "the server neither answered nor hung up";
    };
  };
  Bytes lyingCount = record(crash::protocol::kMagic, 1, 16);
  lyingCount[12] = 10;  // ten entries, none sent
  Bytes tooMany = record(crash::protocol::kMagic, 1, 16);
  tooMany[12] = 0xFF, tooMany[13] = 0xFF, tooMany[14] = 0xFF, tooMany[15] = 0x7F;
  Bytes lyingName = record(crash::protocol::kMagic, 1, 24);
  lyingName[12] = 1, lyingName[16] = 0xFF, lyingName[17] = 0xFF;

  const struct {
    const char* what;
    std::function<void()> act;
  } cases[] = {
      {"garbage", sendAndClose(Bytes(100, 0xA5))},
      {"empty record", sendAndClose(Bytes())},
      {"wrong magic", sendAndClose(record(0x11111111, 1, 16))},
      {"answer kind sent to the server", sendAndClose(record(crash::protocol::kMagic, 2, 16))},
      {"entry count lies", sendAndClose(lyingCount)},
      {"entry count huge", sendAndClose(tooMany)},
      {"name size lies", sendAndClose(lyingName)},
      {"record over the size limit", sendAndClose(Bytes(crash::protocol::kMaxMessageBytes + 4096, 0x41))},
      {"truncated register", sendAndClose(record(crash::protocol::kMagic, 1, 10))},
      {"dump request before registering",
       sendAndClose(record(crash::protocol::kMagic, 3, sizeof(crash::protocol::DumpRequest)))},
      {"connect and disconnect", [] {
         RawClient c;
         ASSERT_TRUE(c.Connect());
       }},
      {"register then garbage", [] {
         RawClient c;
         ASSERT_NE(c.Register(), 0);
         ASSERT_TRUE(c.Send(Bytes(33, 0)));
         EXPECT_TRUE(c.AnsweredOrClosed());
       }},
      {"dump request of the wrong size", [] {
         RawClient c;
         ASSERT_NE(c.Register(), 0);
         crash::protocol::DumpRequest request;
         crash::protocol::FillDumpRequest(crash::CrashInfo{}, request);
         ASSERT_TRUE(c.Send(&request, sizeof(request) - 100));
         EXPECT_TRUE(c.AnsweredOrClosed());
       }},
      {"more connections than the server takes", [] {
         std::vector<RawClient> many(300);
         for (RawClient& c : many) c.Connect();  // the server closes the surplus
       }},
  };

  RawClient baseline;
  ASSERT_EQ(baseline.Register(), host_.pid());
  const int descriptors = crashtest::OpenDescriptors(host_.pid());
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    c.act();
    RawClient next;
    EXPECT_EQ(next.Register({{L"appname", L"next"}}), host_.pid()) << "the next client was not served";
  }
  // The server handles hang-ups before new connections, so by this registration
  // it has seen every earlier client go.
  RawClient last;
  ASSERT_EQ(last.Register(), host_.pid());
  EXPECT_EQ(crashtest::OpenDescriptors(host_.pid()), descriptors + 2) << "descriptors leaked";  // socket and pidfd

  // Dump requests that go wrong on the client's side.
  const struct {
    const char* what;
    std::function<void()> act;
  } dumpCases[] = {
      {"dump of a thread of another process", [] {
         RawClient c;
         ASSERT_NE(c.Register(), 0);
         ASSERT_TRUE(c.SendDumpRequest(1));
         crash::protocol::DumpResult result = crash::protocol::DumpResult::Written;
         EXPECT_TRUE(c.AnsweredOrClosed(&result));
         EXPECT_EQ(result, crash::protocol::DumpResult::Refused);
       }},
      {"disconnect right after a dump request", [] {
         RawClient c;
         ASSERT_NE(c.Register(), 0);
         ASSERT_TRUE(c.SendDumpRequest(static_cast<std::int32_t>(::syscall(SYS_gettid))));
       }},
      {"client killed during its dump", [] {
         const pid_t pid = ::fork();
         if (pid == 0) {
           RawClient c;
           if (c.Register() == 0) ::_exit(3);
           c.SendDumpRequest(static_cast<std::int32_t>(::syscall(SYS_gettid)));
           ::raise(SIGKILL);
           ::_exit(4);
         }
         Child child;
         child.Adopt(pid);
         const int status = child.Wait();
         EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
       }},
  };
  for (const auto& c : dumpCases) {
    SCOPED_TRACE(c.what);
    c.act();
    RawClient next;
    EXPECT_EQ(next.Register({{L"appname", L"next"}}), host_.pid()) << "the next client was not served";
  }

  // A real crash is still handled.
  host_.err().Drain();
  Child demo;
  RunDemo(demo, {"--appname", "after", "--crash", "segv"});
  demo.Wait();
  WaitForDumps(host_.err().Count(kDumpLine) + 1);
  EXPECT_EQ(host_.err().Count("    Name: after"), 1);
}

}  // namespace
