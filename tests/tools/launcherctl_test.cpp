// launcherctl against a real omniNames and a real ovupdate.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/ServiceFixture.h"

namespace hosttest {
namespace {

using Lines = std::vector<std::string>;

Lines SortedLines(const std::string& text) {
  Lines lines;
  std::istringstream stream(text);
  std::string line;
  while (std::getline(stream, line)) lines.push_back(line);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// One line, beginning with the program's name.
void ExpectOneLineMessage(const std::string& output, const std::string& part) {
  EXPECT_EQ(output.rfind("launcherctl: ", 0), 0u) << output;
  EXPECT_NE(output.find(part), std::string::npos) << output;
  EXPECT_EQ(output.find('\n'), output.size() - 1) << output;
}

class LauncherctlTest : public ServiceTest {};

TEST_F(LauncherctlTest, BadUsageExitsWithTwoAndSaysWhy) {
  const struct {
    Lines args;
    const char* says;
  } cases[] = {
      {{}, "no command"},
      {{"frobnicate"}, "unknown command"},
      {{"list", "extra"}, "list takes no arguments"},
      {{"create", "pc", "server", "svc", "account", "password"}, "create needs"},
      {{"start", "pc", "server", "svc"}, "start needs"},
      {{"stop", "pc", "server", "svc", "exe", "more"}, "stop needs"},
      {{"remove", "pc", "bogus", "svc", "exe"}, "bad KIND"},
      {{"start", "pc", "-1", "svc", "exe"}, "bad KIND"},
      {{"start", "pc", "4294967296", "svc", "exe"}, "bad KIND"},
      {{"--naming"}, "--naming needs"},
      {{"--naming", "nohost", "list"}, "bad naming service address"},
      {{"--naming", "127.0.0.1:99999", "list"}, "bad naming service address"},
      {{"--naming", ":1755", "list"}, "bad naming service address"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += "[" + arg + "]";
    SCOPED_TRACE(joined);
    Lines argv{LAUNCHERCTL_PATH};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    std::string output;
    EXPECT_EQ(testsupport::RunProgram(argv, ServiceEnvironment(), output), 2);
    EXPECT_EQ(output.rfind("launcherctl: ", 0), 0u) << output;
    EXPECT_NE(output.find(c.says), std::string::npos) << output;
  }
}

TEST_F(LauncherctlTest, AnUnreachableNamingServiceExitsWithTwo) {
  testsupport::NamingService nobody;
  for (const Lines& args : {Lines{"list"}, Lines{"start", "pc", "server", "svc", "exe"}}) {
    SCOPED_TRACE(args[0]);
    std::string output;
    EXPECT_EQ(Launcherctl(nobody.Port(), args, output), 2);
    ExpectOneLineMessage(output, "cannot reach the naming service at 127.0.0.1:" + nobody.PortText());
  }
}

TEST_F(LauncherctlTest, ListPrintsTheIdOfEveryBoundLauncherOnly) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  std::string output;
  EXPECT_EQ(Launcherctl(ns.Port(), {"list"}, output), 0);
  EXPECT_EQ(output, "") << "no network context yet";

  std::string ior;
  ASSERT_EQ(ns.Nameclt({"bind_new_context", "OrvantaRuraduZezarev.context"}, ior), 0) << ior;
  while (!ior.empty() && (ior.back() == '\n' || ior.back() == '\r')) ior.pop_back();
  for (const char* name : {"pc1.launcher", "pc 2.launcher", "pc3.other", "pc4"}) {
    ASSERT_EQ(ns.Nameclt({"bind", std::string("OrvantaRuraduZezarev.context/") + name, ior}, output), 0) << output;
  }
  ASSERT_EQ(ns.Nameclt({"bind_new_context", "OrvantaRuraduZezarev.context/sub.launcher"}, output), 0) << output;

  EXPECT_EQ(Launcherctl(ns.Port(), {"list"}, output), 0) << output;
  EXPECT_EQ(SortedLines(output), (Lines{"pc 2", "pc1"}));
}

TEST_F(LauncherctlTest, OperationsReachTheServiceAndReportItsAnswer) {
  testsupport::NamingService ns;
  ASSERT_TRUE(ns.Start()) << ns.Error();
  WriteSettings(ns.Port());
  testsupport::ChildProcess service;
  ASSERT_TRUE(StartService(service, {"-n"})) << service.Error();
  ASSERT_TRUE(WaitForBinding(ns, true)) << service.Output();

  const std::string host = HostName();
  const struct {
    Lines args;
    int exitCode;
    Lines ran;         // what the family executable was run with
    const char* says;  // part of the message on exit code 2
  } cases[] = {
      {{"create", host, "workstation", "Svc", "root", "pw", FAMILY_STANDIN_PATH}, 0, {"-i|Svc|root|pw", "-s|Svc"}, ""},
      {{"stop", host, "server", "Svc", FAMILY_STANDIN_PATH}, 0, {"-k|Svc"}, ""},
      {{"start", host, "1", "Svc", FAMILY_STANDIN_PATH}, 0, {"-s|Svc"}, ""},
      {{"remove", host, "0", "Svc", FAMILY_STANDIN_PATH}, 0, {"-k|Svc", "-r|Svc"}, ""},
      {{"start", host, "server", "", FAMILY_STANDIN_PATH}, 1, {}, ""},
      {{"create", host, "server", "Svc", "root", "pw", ""}, 1, {}, ""},
      {{"start", host, "7", "Svc", FAMILY_STANDIN_PATH}, 2, {}, "MARSHAL"},
      {{"start", "no-such-computer", "server", "Svc", FAMILY_STANDIN_PATH}, 2, {}, "no launcher is bound"},
  };
  for (const auto& c : cases) {
    std::string joined;
    for (const std::string& arg : c.args) joined += "[" + arg + "]";
    SCOPED_TRACE(joined);
    std::remove(familyRecord_.c_str());
    std::string output;
    EXPECT_EQ(Launcherctl(ns.Port(), c.args, output), c.exitCode) << output;
    EXPECT_EQ(ReadLines(familyRecord_), c.ran);
    if (c.exitCode == 2) {
      ExpectOneLineMessage(output, c.says);
    } else {
      EXPECT_EQ(output, "");
    }
  }

  ASSERT_TRUE(service.Signal(SIGINT));
  ASSERT_TRUE(service.WaitForExit(30000)) << service.Output();
  EXPECT_EQ(service.ExitCode(), 0);
}

}  // namespace
}  // namespace hosttest
