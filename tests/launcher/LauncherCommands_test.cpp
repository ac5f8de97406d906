#include "launcher/LauncherCommands.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "launcher/Launcher_impl.h"
#include "tests/launcher/LauncherFixture.h"

namespace {

using testing_support::Argv;
using testing_support::WcerrCapture;

struct LineCase {
  const char* label;
  std::wstring line;
  std::wstring expected;
};

TEST(LauncherCommandLines, AreBuiltExactlyAsReceived) {
  const LineCase cases[] = {
      {"install", BuildInstallCommandLine(L"OVWks", L"PC1\\svc", L"pw", L"C:\\Orvanta\\wks.exe"),
       L"C:\\Orvanta\\wks.exe -i \"OVWks\" \"PC1\\svc\" \"pw\""},
      {"remove", BuildRemoveCommandLine(L"OVWks", L"C:\\Orvanta\\wks.exe"), L"C:\\Orvanta\\wks.exe -r \"OVWks\""},
      {"start", BuildStartCommandLine(L"OVWks", L"C:\\Orvanta\\wks.exe"), L"C:\\Orvanta\\wks.exe -s \"OVWks\""},
      {"stop", BuildStopCommandLine(L"OVWks", L"C:\\Orvanta\\wks.exe"), L"C:\\Orvanta\\wks.exe -k \"OVWks\""},
      // Nothing is quoted, escaped or doubled.
      {"path with spaces", BuildStartCommandLine(L"s", L"/opt/orvanta/family service"),
       L"/opt/orvanta/family service -s \"s\""},
      {"quotation mark in a value", BuildInstallCommandLine(L"a\"b", L"u\"", L"\"p\"", L"x"),
       L"x -i \"a\"b\" \"u\"\" \"\"p\"\""},
      {"trailing backslash in a value", BuildInstallCommandLine(L"svc\\", L"acc\\", L"pw\\", L"dir\\"),
       L"dir\\ -i \"svc\\\" \"acc\\\" \"pw\\\""},
      {"trailing backslash in remove", BuildRemoveCommandLine(L"svc\\", L"x"), L"x -r \"svc\\\""},
      {"empty executable path", BuildInstallCommandLine(L"s", L"a", L"p", L""), L" -i \"s\" \"a\" \"p\""},
      {"empty path, stop", BuildStopCommandLine(L"s", L""), L" -k \"s\""},
      {"non-ASCII", BuildStopCommandLine(L"Dienst \u00DC\u673A", L"/opt/\u00E9"), L"/opt/\u00E9 -k \"Dienst \u00DC\u673A\""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_EQ(c.line, c.expected);
  }
}

// The operations of the servant, called directly (no ORB in between).
class LauncherSequenceTest : public testing_support::LauncherFixture {
 protected:
  Argv Line(std::vector<std::string> rest) const {
    rest.insert(rest.begin(), program_);
    return rest;
  }
  static constexpr auto kServer = RuraduZezarev::SERVER_SERVICE;
  static constexpr auto kWorkstation = RuraduZezarev::WORKSTATION_SERVICE;

  Launcher_impl launcher_;
};

TEST_F(LauncherSequenceTest, CreateGrantsInstallsThenStarts) {
  for (auto kind : {kServer, kWorkstation}) {
    SCOPED_TRACE(kind);
    WcerrCapture log;
    EXPECT_TRUE(launcher_.CreateService(kind, L"OVWks", L"nobody", L"p\u00E4ss", exe_.c_str()));
    EXPECT_EQ(log.Text(), L"");
  }
  const Argv install = Line({"-i", "OVWks", "nobody", "p\xC3\xA4ss"});
  const Argv start = Line({"-s", "OVWks"});
  EXPECT_EQ(Runs(), (std::vector<Argv>{install, start, install, start}));
  EXPECT_EQ(Store(), "S-1-22-1-65534 SeServiceLogonRight\n");
}

TEST_F(LauncherSequenceTest, RemoveStopsThenRemoves) {
  WcerrCapture log;
  EXPECT_TRUE(launcher_.RemoveService(kServer, L"OVSrv", exe_.c_str()));
  EXPECT_TRUE(launcher_.StartService(kWorkstation, L"OVSrv", exe_.c_str()));
  EXPECT_TRUE(launcher_.StopService(kServer, L"OVSrv", exe_.c_str()));
  EXPECT_EQ(log.Text(), L"");
  EXPECT_EQ(Runs(), (std::vector<Argv>{Line({"-k", "OVSrv"}), Line({"-r", "OVSrv"}), Line({"-s", "OVSrv"}),
                                       Line({"-k", "OVSrv"})}));
  // Removing a service leaves no trace in the rights store.
  EXPECT_FALSE(StoreExists());
}

TEST_F(LauncherSequenceTest, RejectedRequestsRunNothing) {
  const auto bad = static_cast<RuraduZezarev::KLServices>(2);
  const wchar_t* exe = exe_.c_str();
  struct Case {
    const char* label;
    bool result;
  } cases[] = {
      {"create, bad kind", launcher_.CreateService(bad, L"s", L"nobody", L"p", exe)},
      {"remove, bad kind", launcher_.RemoveService(bad, L"s", exe)},
      {"start, bad kind", launcher_.StartService(bad, L"s", exe)},
      {"stop, bad kind", launcher_.StopService(bad, L"s", exe)},
      {"create, huge kind", launcher_.CreateService(static_cast<RuraduZezarev::KLServices>(0xFFFFFFFFu), L"s",
                                                    L"nobody", L"p", exe)},
      {"create, empty service", launcher_.CreateService(kServer, L"", L"nobody", L"p", exe)},
      {"create, empty account", launcher_.CreateService(kServer, L"s", L"", L"p", exe)},
      {"create, empty password", launcher_.CreateService(kWorkstation, L"s", L"nobody", L"", exe)},
      {"remove, empty service", launcher_.RemoveService(kServer, L"", exe)},
      {"start, empty service", launcher_.StartService(kServer, L"", exe)},
      {"stop, empty service", launcher_.StopService(kWorkstation, L"", exe)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    EXPECT_FALSE(c.result);
  }
  EXPECT_TRUE(Runs().empty());
  EXPECT_FALSE(StoreExists());  // no grant was even tried
}

TEST_F(LauncherSequenceTest, RejectedRequestsLogNothing) {
  WcerrCapture log;
  EXPECT_FALSE(launcher_.StartService(static_cast<RuraduZezarev::KLServices>(2), L"s", exe_.c_str()));
  EXPECT_FALSE(launcher_.CreateService(kServer, L"s", L"nobody", L"", exe_.c_str()));
  EXPECT_EQ(log.Text(), L"");
}

TEST_F(LauncherSequenceTest, FailedGrantInstallsNothing) {
  WcerrCapture log;
  EXPECT_FALSE(launcher_.CreateService(kServer, L"s", L"ovupdate-no-such-account", L"p", exe_.c_str()));
  EXPECT_EQ(log.Text(), L"Can't get user SID for 'ovupdate-no-such-account'\n");
  EXPECT_TRUE(Runs().empty());
}

TEST_F(LauncherSequenceTest, InstallThatCannotRunIsLoggedWithoutThePassword) {
  WcerrCapture log;
  const std::wstring missing = exe_ + L"-gone";
  EXPECT_FALSE(launcher_.CreateService(kServer, L"OVWks", L"nobody", L"s3cr\u00E9t", missing.c_str()));
  EXPECT_EQ(log.Text(), L"Can't execute: " + missing +
                            L" -i \"OVWks\" \"nobody\" \"********\"\nReason: No such file or directory\n");
  EXPECT_EQ(log.Text().find(L"s3cr"), std::wstring::npos);
  // The right stays granted; the start was not tried (one failure logged).
  EXPECT_EQ(Store(), "S-1-22-1-65534 SeServiceLogonRight\n");
}

TEST_F(LauncherSequenceTest, EmptyExecutablePathGrantsThenFailsToInstall) {
  WcerrCapture log;
  EXPECT_FALSE(launcher_.CreateService(kServer, L"s", L"nobody", L"pw", L""));
  EXPECT_EQ(log.Text(), L"Can't execute:  -i \"s\" \"nobody\" \"********\"\nReason: No such file or directory\n");
  EXPECT_EQ(Store(), "S-1-22-1-65534 SeServiceLogonRight\n");
}

TEST_F(LauncherSequenceTest, StartThatCannotRunAfterInstallFails) {
  // The stand-in deletes itself when it installs: the start cannot run.
  setenv("RECORDING_SERVICE_REMOVE_SELF_ON", "-i", 1);
  WcerrCapture log;
  EXPECT_FALSE(launcher_.CreateService(kServer, L"s", L"nobody", L"pw", exe_.c_str()));
  EXPECT_EQ(Runs(), (std::vector<Argv>{Line({"-i", "s", "nobody", "pw"})}));
  EXPECT_EQ(log.Text(), L"Can't execute: " + exe_ + L" -s \"s\"\nReason: No such file or directory\n");
}

TEST_F(LauncherSequenceTest, RemoveRunsOnlyAfterTheStopRan) {
  {
    // Stop cannot run: the remove line is never tried (one failure logged).
    WcerrCapture log;
    const std::wstring missing = exe_ + L"-gone";
    EXPECT_FALSE(launcher_.RemoveService(kServer, L"s", missing.c_str()));
    EXPECT_EQ(log.Text(), L"Can't execute: " + missing + L" -k \"s\"\nReason: No such file or directory\n");
  }
  {
    // Stop ran (and deleted the program): the remove line decides the result.
    setenv("RECORDING_SERVICE_REMOVE_SELF_ON", "-k", 1);
    WcerrCapture log;
    EXPECT_FALSE(launcher_.RemoveService(kServer, L"s", exe_.c_str()));
    EXPECT_EQ(log.Text(), L"Can't execute: " + exe_ + L" -r \"s\"\nReason: No such file or directory\n");
  }
  EXPECT_EQ(Runs(), (std::vector<Argv>{Line({"-k", "s"})}));
}

}  // namespace
