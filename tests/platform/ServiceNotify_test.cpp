#include "platform/ServiceNotify.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

// A datagram socket playing the service manager, bound to a path or an
// abstract name ('@'); sets NOTIFY_SOCKET to it for the test's duration.
class ServiceManagerSocket {
 public:
  explicit ServiceManagerSocket(const std::string& name) : name_(name) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, name.data(), name.size());
    if (name[0] == '@') address.sun_path[0] = '\0';
    socklen_t length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + name.size());
    bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), length) == 0;
    setenv("NOTIFY_SOCKET", name.c_str(), 1);
  }
  ~ServiceManagerSocket() {
    unsetenv("NOTIFY_SOCKET");
    if (fd_ >= 0) close(fd_);
    if (name_[0] == '/') unlink(name_.c_str());
  }
  bool bound() const { return bound_; }
  // One datagram, waiting at most 5 s; empty when none came.
  std::string Receive() {
    pollfd pfd{fd_, POLLIN, 0};
    if (poll(&pfd, 1, 5000) != 1) return "";
    char buffer[512];
    ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
    return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : "";
  }

 private:
  std::string name_;
  int fd_ = -1;
  bool bound_ = false;
};

TEST(ServiceNotifyTest, DeliversTheMessageToPathAndAbstractSockets) {
  char folder[] = "/tmp/notify-test-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string names[] = {
      std::string(folder) + "/notify",
      "@ovupdate-notify-test-" + std::to_string(getpid()),
  };
  for (const std::string& name : names) {
    SCOPED_TRACE(name);
    ServiceManagerSocket manager(name);
    ASSERT_TRUE(manager.bound());
    EXPECT_TRUE(platform::HasServiceManager());
    EXPECT_EQ(platform::NotifyServiceManager("READY=1\nSTATUS=Running"), 1);
    EXPECT_EQ(manager.Receive(), "READY=1\nSTATUS=Running");
  }
  rmdir(folder);
}

TEST(ServiceNotifyTest, WithoutAServiceManagerNothingIsSent) {
  unsetenv("NOTIFY_SOCKET");
  EXPECT_FALSE(platform::HasServiceManager());
  EXPECT_EQ(platform::NotifyServiceManager("READY=1"), 0);
  setenv("NOTIFY_SOCKET", "", 1);
  EXPECT_FALSE(platform::HasServiceManager());
  EXPECT_EQ(platform::NotifyServiceManager("READY=1"), 0);
  unsetenv("NOTIFY_SOCKET");
}

TEST(ServiceNotifyTest, ABadOrMissingSocketIsAnError) {
  const struct {
    std::string name;
    int expected;
  } cases[] = {
      {"relative/notify", -EINVAL},
      {"/" + std::string(200, 'x'), -EINVAL},
      {"/nonexistent-folder-of-ovupdate-tests/notify", -ENOENT},
      {"@ovupdate-notify-nobody-listens-" + std::to_string(getpid()), -ECONNREFUSED},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    setenv("NOTIFY_SOCKET", c.name.c_str(), 1);
    EXPECT_EQ(platform::NotifyServiceManager("READY=1"), c.expected);
  }
  unsetenv("NOTIFY_SOCKET");
}

}  // namespace
