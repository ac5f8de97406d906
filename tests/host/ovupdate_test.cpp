// ovupdate end to end: the real executable against a real omniNames, in a
// network of the test's own, with a recording systemctl and a recording
// family executable.
#include <gtest/gtest.h>

#include <dirent.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/ServiceFixture.h"

namespace hosttest {
namespace {

using Lines = std::vector<std::string>;

constexpr int kExitBoundMs = 30000;

const char* const kStart = "Start update service";
const char* const kStop = "Stop update service";

class OvupdateTest : public ServiceTest {};


TEST_F(OvupdateTest, ConsoleModeServesTheCoordinatorAndStopsOnSigint) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  WriteSettings(ns.Port());
  testsupport::ChildProcess service;
  ASSERT_TRUE(StartService(service, {"-n"})) << service.Error();
  ASSERT_TRUE(WaitForBinding(ns, true)) << service.Output();

  std::string output;
  EXPECT_EQ(Launcherctl(ns.Port(), {"list"}, output), 0) << output;
  EXPECT_EQ(output, HostName() + "\n");

  EXPECT_EQ(Launcherctl(ns.Port(), {"create", HostName(), "server", "Family Svc", "root", "pa ss", FAMILY_STANDIN_PATH},
                        output),
            0)
      << output;
  EXPECT_EQ(ReadLines(familyRecord_), (Lines{"-i|Family Svc|root|pa ss", "-s|Family Svc"}));

  // A command line that cannot run is logged; the log is UTF-8 and keeps
  // every line after non-ASCII text.
  EXPECT_EQ(Launcherctl(ns.Port(), {"start", HostName(), "server", "Dienst Gr\xc3\xbc\xc3\x9f" "e",
                                    "/nonexistent/Gr\xc3\xbc\xc3\x9f" "e/svc"},
                        output),
            1)
      << output;

  ASSERT_TRUE(service.Signal(SIGINT));
  ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << service.Output();
  EXPECT_EQ(service.ExitCode(), 0) << service.Output();
  EXPECT_FALSE(IsBound(ns));
  Lines lines = LogLines();
  ASSERT_EQ(lines.size(), 4u) << service.Output();
  EXPECT_EQ(lines[0], kStart);
  EXPECT_EQ(lines[1], "Can't execute: /nonexistent/Gr\xc3\xbc\xc3\x9f" "e/svc -s \"Dienst Gr\xc3\xbc\xc3\x9f" "e\"");
  EXPECT_EQ(lines[2].rfind("Reason: ", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], kStop);
}

TEST_F(OvupdateTest, EveryConsoleSignalStopsTheServiceInOrder) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  WriteSettings(ns.Port());
  for (int signal : {SIGTERM, SIGHUP, SIGQUIT}) {
    SCOPED_TRACE(strsignal(signal));
    testsupport::ChildProcess service;
    ASSERT_TRUE(StartService(service, {"-n"})) << service.Error();
    ASSERT_TRUE(WaitForBinding(ns, true)) << service.Output();
    ASSERT_TRUE(service.Signal(signal));
    ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << service.Output();
    EXPECT_EQ(service.TermSignal(), 0);
    EXPECT_EQ(service.ExitCode(), 0) << service.Output();
    EXPECT_FALSE(IsBound(ns));
    EXPECT_EQ(LogLines(), (Lines{kStart, kStop}));
  }
}

TEST_F(OvupdateTest, UnreachableCoordinatorEndsTheConsoleRunWithOne) {
  testsupport::NamingService nobody;  // its port, with nothing listening
  WriteSettings(nobody.Port());
  for (const char* console : {"-n", "-N"}) {
    SCOPED_TRACE(console);
    testsupport::ChildProcess service;
    ASSERT_TRUE(StartService(service, {console})) << service.Error();
    ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << service.Output();
    EXPECT_EQ(service.ExitCode(), 1) << service.Output();
    Lines lines = LogLines();
    ASSERT_GE(lines.size(), 4u) << "no connect failure lines between start and failure";
    EXPECT_EQ(lines.front(), kStart);
    EXPECT_EQ(Lines(lines.end() - 2, lines.end()), (Lines{"Can't connect to Coordinator", kStop}));
    for (size_t i = 1; i + 2 < lines.size(); ++i) EXPECT_FALSE(lines[i].empty());
  }
}

TEST_F(OvupdateTest, StopDuringRegistrationRetriesEndsTheRunWithoutASecondStop) {
  // The network context lives in a second naming service that is down: the
  // Coordinator answers, but every binding attempt finds it unreachable.
  testsupport::NamingService coordinator;
  testsupport::NamingService elsewhere;
  ASSERT_TRUE(coordinator.Start()) << coordinator.Error();
  ASSERT_TRUE(elsewhere.Start()) << elsewhere.Error();
  std::string ior;
  ASSERT_EQ(elsewhere.Nameclt({"-advanced", "new_context"}, ior), 0) << ior;
  while (!ior.empty() && (ior.back() == '\n' || ior.back() == '\r')) ior.pop_back();
  std::string output;
  ASSERT_EQ(coordinator.Nameclt({"-advanced", "bind_context", "OrvantaRuraduZezarev.context", ior}, output), 0)
      << output;
  elsewhere.Stop();
  WriteSettings(coordinator.Port());

  testsupport::ChildProcess service;
  ASSERT_TRUE(StartService(service, {"-n"})) << service.Error();
  ASSERT_TRUE(service.WaitForOutput("Retry to register " + HostName() + ".launcher", kExitBoundMs))
      << service.Output();
  ASSERT_TRUE(service.Signal(SIGINT));
  ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << "a stop during registration was lost\n" << service.Output();
  EXPECT_EQ(service.ExitCode(), 0) << service.Output();
  Lines lines = LogLines();
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines.front(), kStart);
  EXPECT_EQ(lines.back(), kStop);
}

TEST_F(OvupdateTest, CommandLinesWithoutASwitchTakeTheDispatcherPath) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  WriteSettings(ns.Port());
  const Lines cases[] = {
      {},
      {"-n", "x"},
      {"-N", "-N"},
      {"/n"},
      {"n"},
      {"-nx"},
      {"--n"},
      {"-"},
      {""},
      {"-ORBInitRef", ns.InitRef()},
  };
  for (const Lines& args : cases) {
    std::string joined;
    for (const std::string& arg : args) joined += "[" + arg + "]";
    SCOPED_TRACE(joined);
    std::vector<std::string> argv{OVUPDATE_PATH};
    argv.insert(argv.end(), args.begin(), args.end());
    std::string output;
    EXPECT_EQ(testsupport::RunProgram(argv, ServiceEnvironment(), output, kExitBoundMs), 0);
    EXPECT_EQ(output, "");
    EXPECT_FALSE(FileExists(logPath_));
    EXPECT_FALSE(FileExists(systemctlRecord_));
  }
  EXPECT_FALSE(IsBound(ns));
}

// One call of ovupdate with a one-shot switch: its exit code, what systemctl
// was asked, and whether the unit exists afterwards.
struct SwitchStep {
  const char* argument;
  int systemctlExit;
  int expectedExit;
  Lines expectedCalls;
  bool unitAfter;
};

TEST_F(OvupdateTest, OneShotSwitchesDriveSystemctlAndReportThroughTheExitCode) {
  const std::string unit = unitFolder_ + "/OVUpdate.service";
  const SwitchStep steps[] = {
      {"-I", 0, 0, {"--quiet daemon-reload", "--quiet enable OVUpdate.service"}, true},
      {"-i", 0, 255, {}, true},
      {"-S", 0, 0, {"--quiet start --no-block OVUpdate.service"}, true},
      {"-s", 1, 255, {"--quiet start --no-block OVUpdate.service"}, true},
      {"-K", 0, 0, {"--quiet stop --no-block OVUpdate.service"}, true},
      {"-k", 1, 255, {"--quiet stop --no-block OVUpdate.service"}, true},
      {"-r", 1, 255, {"--quiet disable OVUpdate.service"}, true},
      {"-R", 0, 0, {"--quiet disable OVUpdate.service", "--quiet daemon-reload"}, false},
      {"-r", 0, 255, {}, false},
      {"-i", 1, 255, {"--quiet daemon-reload"}, false},
      {"-i", 0, 0, {"--quiet daemon-reload", "--quiet enable OVUpdate.service"}, true},
  };
  for (const SwitchStep& step : steps) {
    SCOPED_TRACE(std::string(step.argument) + " with systemctl exiting " + std::to_string(step.systemctlExit));
    std::filesystem::remove(systemctlRecord_);
    std::string output;
    int exitCode = testsupport::RunProgram(
        {OVUPDATE_PATH, step.argument},
        ServiceEnvironment({"SYSTEMCTL_EXIT=" + std::to_string(step.systemctlExit)}), output, kExitBoundMs);
    EXPECT_EQ(exitCode, step.expectedExit);
    EXPECT_EQ(output, "");
    EXPECT_EQ(ReadLines(systemctlRecord_), step.expectedCalls);
    EXPECT_EQ(FileExists(unit), step.unitAfter);
    EXPECT_FALSE(FileExists(logPath_));
  }

  Lines text = ReadLines(unit);
  for (const std::string& line :
       {std::string("Description=Orvanta Update Service"), std::string("Type=notify"),
        std::string("ExecStart=") + OVUPDATE_PATH, std::string("SuccessExitStatus=1"),
        std::string("WantedBy=multi-user.target")}) {
    EXPECT_NE(std::find(text.begin(), text.end(), line), text.end()) << line;
  }
}

TEST_F(OvupdateTest, InstallQuotesAnExecutablePathForSystemd) {
  // systemd splits ExecStart at spaces and expands % and $.
  const std::string folder = root_ + "/with space %i $HOME";
  std::filesystem::create_directories(folder);
  const std::string copy = folder + "/ovupdate";
  std::filesystem::copy_file(OVUPDATE_PATH, copy);
  std::filesystem::permissions(copy, std::filesystem::perms::owner_all);
  std::string output;
  ASSERT_EQ(testsupport::RunProgram({copy, "-i"}, ServiceEnvironment(), output, kExitBoundMs), 0) << output;
  Lines text = ReadLines(unitFolder_ + "/OVUpdate.service");
  std::string expected = "ExecStart=\"" + root_ + "/with space %%i $$HOME/ovupdate\"";
  EXPECT_NE(std::find(text.begin(), text.end(), expected), text.end()) << expected;
}

// The test as the service manager: a datagram socket named by NOTIFY_SOCKET.
class NotifySocket {
 public:
  NotifySocket() : name_("@ovupdate-host-test-" + std::to_string(getpid())) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path + 1, name_.data() + 1, name_.size() - 1);
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address),
                  static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name_.size())) == 0;
  }
  ~NotifySocket() { close(fd_); }
  bool bound() const { return bound_; }
  std::string Variable() const { return "NOTIFY_SOCKET=" + name_; }
  // Receives messages until one contains `key`; all received so far in `seen`.
  bool WaitFor(const std::string& key, Lines& seen, int timeoutMs = kExitBoundMs) {
    for (;;) {
      pollfd pfd{fd_, POLLIN, 0};
      if (poll(&pfd, 1, timeoutMs) != 1) return false;
      char buffer[1024];
      ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
      if (n <= 0) return false;
      seen.emplace_back(buffer, static_cast<size_t>(n));
      if (seen.back().find(key) != std::string::npos) return true;
    }
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

// The nice value of every thread of `pid`.
std::vector<int> ThreadNiceValues(int pid) {
  std::vector<int> values;
  std::string folder = "/proc/" + std::to_string(pid) + "/task";
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    std::ifstream stat(entry.path().string() + "/stat");
    std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
    // Fields after the command name in parentheses; nice is field 19.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    for (int i = 3; i <= 19 && fields >> field; ++i) {
    }
    values.push_back(std::stoi(field));
  }
  return values;
}

TEST_F(OvupdateTest, ServiceModeReportsToTheServiceManagerAndStopsOnSigterm) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  WriteSettings(ns.Port());
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  testsupport::ChildProcess service;
  ASSERT_TRUE(StartService(service, {}, {manager.Variable()})) << service.Error();

  Lines messages;
  ASSERT_TRUE(manager.WaitFor("READY=1", messages)) << service.Output();
  ASSERT_TRUE(WaitForBinding(ns, true)) << service.Output();
  for (int nice : ThreadNiceValues(service.Pid())) EXPECT_EQ(nice, 5);

  ASSERT_TRUE(service.Signal(SIGTERM));
  ASSERT_TRUE(manager.WaitFor("STOPPING=1", messages)) << service.Output();
  ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << service.Output();
  EXPECT_EQ(service.TermSignal(), 0);
  EXPECT_EQ(service.ExitCode(), 1);  // the dispatcher ran; the unit counts 1 as success
  EXPECT_FALSE(IsBound(ns));
  EXPECT_EQ(LogLines(), (Lines{kStart, kStop}));
  ASSERT_TRUE(manager.WaitFor("STATUS=Stopped", messages, 5000));
  EXPECT_EQ(messages, (Lines{"STATUS=Starting", "READY=1\nSTATUS=Running", "STOPPING=1\nSTATUS=Stopping",
                             "STATUS=Stopped"}));
}

TEST_F(OvupdateTest, ServiceModeHandsItsOwnArgumentsToTheServer) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  testsupport::NamingService nobody;
  WriteSettings(nobody.Port());  // the settings' Coordinator is never asked
  NotifySocket manager;
  ASSERT_TRUE(manager.bound());
  testsupport::ChildProcess service;
  ASSERT_TRUE(StartService(service, {"-ORBInitRef", ns.InitRef()}, {manager.Variable()})) << service.Error();

  Lines messages;
  EXPECT_TRUE(manager.WaitFor("READY=1", messages)) << service.Output();
  // The command-line path starts the ORB only: no servant, no wait.
  ASSERT_TRUE(service.WaitForExit(kExitBoundMs)) << service.Output();
  EXPECT_EQ(service.ExitCode(), 1);
  EXPECT_EQ(LogLines(), (Lines{kStart, kStop}));
  EXPECT_FALSE(IsBound(ns));
}

}  // namespace
}  // namespace hosttest
