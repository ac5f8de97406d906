#include "tests/support/NamingService.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

namespace testsupport {
namespace {

constexpr int kStartTimeoutMs = 15000;
constexpr int kStopTimeoutMs = 5000;
constexpr int kNamecltTimeoutMs = 20000;

sockaddr_in Loopback(int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return addr;
}

bool Answers(int port) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in addr = Loopback(port);
  bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
  ::close(fd);
  return ok;
}

// Children of the fixture see no ORB settings of the test process (an
// ORBendPoint set for the code under test would add endpoints to them).
std::vector<std::string> ChildEnvironment() { return EnvironmentWithout({"ORB", "OMNIORB"}); }

}  // namespace

int FreeLoopbackPort() {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr = Loopback(0);
  int port = 0;
  socklen_t len = sizeof addr;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
      ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
    port = ntohs(addr.sin_port);
  ::close(fd);
  return port;
}

NamingService::NamingService() : port_(FreeLoopbackPort()) {
  const char* tmp = std::getenv("TMPDIR");
  std::string base = tmp && *tmp ? tmp : "/tmp";
  std::string pattern = base + "/ovupdate-names-XXXXXX";
  if (::mkdtemp(pattern.data())) dataDir_ = pattern;
}

NamingService::~NamingService() {
  Stop();
  if (!dataDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(dataDir_, ec);
  }
}

std::string NamingService::Corbaloc() const {
  return "corbaloc:iiop:127.0.0.1:" + PortText() + "/NameService";
}

bool NamingService::Start() {
  error_.clear();
  if (Running()) return true;
  if (port_ <= 0 || dataDir_.empty()) {
    error_ = "no free port or no data folder";
    return false;
  }
  std::vector<std::string> argv{"omniNames"};
  if (!created_) {
    argv.push_back("-start");
    argv.push_back(PortText());
  }
  // -ignoreport: the one endpoint is the loopback one given here.
  for (const std::string& a : {std::string("-ignoreport"), std::string("-datadir"), dataDir_,
                               std::string("-ORBendPoint"), "giop:tcp:127.0.0.1:" + PortText()})
    argv.push_back(a);
  if (!process_.Start(argv, ChildEnvironment(), true)) {
    error_ = "omniNames: " + process_.Error();
    return false;
  }
  // omniNames prints its root context once its endpoint is open.
  if (!process_.WaitForOutput("Root context is", kStartTimeoutMs) || !Answers(port_)) {
    std::string output = process_.Output();
    process_.Terminate(kStopTimeoutMs);
    error_ = "omniNames on port " + PortText() + " did not come up:\n" + output;
    return false;
  }
  created_ = true;
  return true;
}

void NamingService::Stop() { process_.Terminate(kStopTimeoutMs); }

bool NamingService::Restart() {
  Stop();
  return Start();
}

int NamingService::Nameclt(const std::vector<std::string>& args, std::string& output) const {
  std::vector<std::string> argv{"nameclt", "-ORBInitRef", InitRef()};
  argv.insert(argv.end(), args.begin(), args.end());
  return RunProgram(argv, ChildEnvironment(), output, kNamecltTimeoutMs);
}

std::vector<std::string> NamingService::List(const std::string& context) const {
  std::vector<std::string> args{"list"};
  if (!context.empty()) args.push_back(context);
  std::string output;
  std::vector<std::string> entries;
  if (Nameclt(args, output) != 0) return entries;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);)
    if (!line.empty()) entries.push_back(line);
  std::sort(entries.begin(), entries.end());
  return entries;
}

std::string NamingService::Resolve(const std::string& name) const {
  std::string output;
  if (Nameclt({"resolve", name}, output) != 0) return {};
  size_t start = output.find("IOR:");
  if (start == std::string::npos) return {};
  size_t end = output.find_first_of("\r\n", start);
  return output.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

}  // namespace testsupport
