// What the end-to-end tests of ovupdate and launcherctl share: a private
// network for the test process, a temporary data folder with a settings file,
// the environment the service runs in, and event-driven waits on the log and
// the naming service.
#pragma once

#include <gtest/gtest.h>

#include <functional>

#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/NamingService.h"

namespace hosttest {

// Moves the test process (once) into a network namespace of its own with
// `lo` up, so the children's fixed crash socket and ports never meet another
// test's. Without the rights for it the shared network is kept.
void EnterPrivateNetwork();

// The host name: the id under which the service binds its launcher.
std::string HostName();

// Lines of a text file, without their line ends; empty when it cannot be read.
std::vector<std::string> ReadLines(const std::string& path);
bool FileExists(const std::string& path);

// Waits (at most timeoutMs) until `ready` holds, checking it again whenever
// something changes in `folder` (inotify); never sleeps blindly.
bool WaitForChangeIn(const std::string& folder, int timeoutMs, const std::function<bool()>& ready);

class ServiceTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { EnterPrivateNetwork(); }
  void SetUp() override;
  void TearDown() override;

  // The settings file names 127.0.0.1:port as the Coordinator.
  void WriteSettings(int port);

  // The environment of ovupdate: data and temporary folders here, the ORB on
  // 127.0.0.1, the recording systemctl first on PATH, unit folder, rights store
  // and family record here. `extra` entries (NAME=VALUE) are added last.
  std::vector<std::string> ServiceEnvironment(const std::vector<std::string>& extra = {}) const;

  // Starts ovupdate with `args` in `child`, output captured.
  bool StartService(testsupport::ChildProcess& child, const std::vector<std::string>& args,
                    const std::vector<std::string>& extra = {});

  // Waits until this host's launcher is (or is no longer) bound in `ns`.
  bool WaitForBinding(testsupport::NamingService& ns, bool bound, int timeoutMs = 20000);
  static bool IsBound(testsupport::NamingService& ns);

  // Waits until the log holds a line equal to `line`.
  bool WaitForLogLine(const std::string& line, int timeoutMs = 20000);

  // Runs launcherctl with --naming 127.0.0.1:<port> and `args`.
  int Launcherctl(int port, const std::vector<std::string>& args, std::string& output) const;

  std::vector<std::string> LogLines() const { return ReadLines(logPath_); }

  std::string root_;
  std::string dataFolder_;
  std::string logPath_;
  std::string unitFolder_;
  std::string systemctlRecord_;
  std::string familyRecord_;
  std::string binFolder_;
};

}  // namespace hosttest
