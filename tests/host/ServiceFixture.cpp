#include "tests/host/ServiceFixture.h"

#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace hosttest {

void EnterPrivateNetwork() {
  static bool entered = false;
  if (entered) return;
  entered = true;
  if (unshare(CLONE_NEWNET) != 0) return;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  ifreq request{};
  std::strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
  if (ioctl(fd, SIOCGIFFLAGS, &request) == 0) {
    request.ifr_flags |= IFF_UP;
    ioctl(fd, SIOCSIFFLAGS, &request);
  }
  close(fd);
}

std::string HostName() {
  char name[256] = {};
  gethostname(name, sizeof name - 1);
  return name;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream file(path);
  std::string line;
  while (std::getline(file, line)) lines.push_back(line);
  return lines;
}

bool FileExists(const std::string& path) {
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

bool WaitForChangeIn(const std::string& folder, int timeoutMs, const std::function<bool()>& ready) {
  int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (fd < 0) return ready();
  inotify_add_watch(fd, folder.c_str(), IN_MODIFY | IN_CREATE | IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  bool result = false;
  for (;;) {
    if (ready()) {
      result = true;
      break;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, static_cast<int>(left.count())) > 0) {
      char events[4096];
      while (read(fd, events, sizeof events) > 0) {
      }
    }
  }
  close(fd);
  return result;
}

void ServiceTest::SetUp() {
  std::string base = std::filesystem::temp_directory_path().string() + "/ovupdate-host-XXXXXX";
  ASSERT_NE(mkdtemp(base.data()), nullptr);
  root_ = base;
  dataFolder_ = root_ + "/config/Orvanta/Keldra 7";
  logPath_ = dataFolder_ + "/logs/update.log";
  unitFolder_ = root_ + "/units";
  binFolder_ = root_ + "/bin";
  systemctlRecord_ = root_ + "/systemctl.record";
  familyRecord_ = root_ + "/family.record";
  for (const std::string& folder : {dataFolder_ + "/Settings/Services", dataFolder_ + "/logs", root_ + "/tmp",
                                    unitFolder_, binFolder_}) {
    std::filesystem::create_directories(folder);
  }
  // Records each call, one line of its arguments; exits with $SYSTEMCTL_EXIT.
  std::string systemctl = binFolder_ + "/systemctl";
  std::ofstream(systemctl) << "#!/bin/sh\nprintf '%s\\n' \"$*\" >> \"$SYSTEMCTL_RECORD\"\nexit \"${SYSTEMCTL_EXIT:-0}\"\n";
  chmod(systemctl.c_str(), 0755);
  WriteSettings(1);
}

void ServiceTest::TearDown() {
  std::error_code ignored;
  if (!root_.empty()) std::filesystem::remove_all(root_, ignored);
}

void ServiceTest::WriteSettings(int port) {
  std::ofstream(dataFolder_ + "/Settings/Services/update.kll")
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<link>\n  <parameters>\n"
      << "    <param name=\"CoordinatorHost\">127.0.0.1</param>\n"
      << "    <param name=\"CoordinatorPort\">" << port << "</param>\n"
      << "  </parameters>\n</link>\n";
}

std::vector<std::string> ServiceTest::ServiceEnvironment(const std::vector<std::string>& extra) const {
  std::vector<std::string> env = testsupport::EnvironmentWithout(
      {"ORB", "OMNIORB", "NOTIFY_SOCKET", "XDG_CONFIG_HOME", "TMPDIR", "ORVANTA_", "PATH", "SYSTEMCTL_",
       "FAMILY_STANDIN_"});
  const char* path = std::getenv("PATH");
  env.push_back("PATH=" + binFolder_ + ":" + (path != nullptr ? path : "/usr/bin:/bin"));
  env.push_back("XDG_CONFIG_HOME=" + root_ + "/config");
  env.push_back("TMPDIR=" + root_ + "/tmp");
  env.push_back("ORBendPoint=giop:tcp:127.0.0.1:");
  env.push_back("ORVANTA_SYSTEMD_UNIT_DIR=" + unitFolder_);
  env.push_back("ORVANTA_LSA_POLICY_PATH=" + root_ + "/policy");
  env.push_back("SYSTEMCTL_RECORD=" + systemctlRecord_);
  env.push_back("FAMILY_STANDIN_RECORD=" + familyRecord_);
  env.insert(env.end(), extra.begin(), extra.end());
  return env;
}

bool ServiceTest::StartService(testsupport::ChildProcess& child, const std::vector<std::string>& args,
                               const std::vector<std::string>& extra) {
  std::vector<std::string> argv{OVUPDATE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return child.Start(argv, ServiceEnvironment(extra));
}

bool ServiceTest::IsBound(testsupport::NamingService& ns) {
  std::vector<std::string> names = ns.List("OrvantaRuraduZezarev.context");
  return std::find(names.begin(), names.end(), HostName() + ".launcher") != names.end();
}

bool ServiceTest::WaitForBinding(testsupport::NamingService& ns, bool bound, int timeoutMs) {
  // omniNames writes every change of a binding to the log in its data folder.
  return WaitForChangeIn(ns.DataDir(), timeoutMs, [&] { return IsBound(ns) == bound; });
}

bool ServiceTest::WaitForLogLine(const std::string& line, int timeoutMs) {
  return WaitForChangeIn(dataFolder_ + "/logs", timeoutMs, [&] {
    std::vector<std::string> lines = LogLines();
    return std::find(lines.begin(), lines.end(), line) != lines.end();
  });
}

int ServiceTest::Launcherctl(int port, const std::vector<std::string>& args, std::string& output) const {
  std::vector<std::string> argv{LAUNCHERCTL_PATH, "--naming", "127.0.0.1:" + std::to_string(port)};
  argv.insert(argv.end(), args.begin(), args.end());
  return testsupport::RunProgram(argv, ServiceEnvironment(), output, 60000);
}

}  // namespace hosttest
