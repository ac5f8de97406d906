#include "platform/ServiceNotify.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/ScopedFd.h"

namespace platform {

bool HasServiceManager() {
  const char* name = std::getenv("NOTIFY_SOCKET");
  return name != nullptr && name[0] != '\0';
}

int NotifyServiceManager(const std::string& message) {
  const char* name = std::getenv("NOTIFY_SOCKET");
  if (name == nullptr || name[0] == '\0') return 0;

  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  size_t length = std::strlen(name);
  if ((name[0] != '/' && name[0] != '@') || length > sizeof(address.sun_path)) return -EINVAL;
  std::memcpy(address.sun_path, name, length);
  if (name[0] == '@') address.sun_path[0] = '\0';  // abstract namespace
  socklen_t addressLength = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + length);
  // A path name is passed with its terminating zero, as the manager expects.
  if (name[0] == '/' && length < sizeof(address.sun_path)) ++addressLength;

  ScopedFd socketFd(::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (!socketFd.valid()) return -errno;
  ssize_t sent;
  do {
    sent = ::sendto(socketFd.get(), message.data(), message.size(), MSG_NOSIGNAL,
                    reinterpret_cast<const sockaddr*>(&address), addressLength);
  } while (sent < 0 && errno == EINTR);
  if (sent < 0) return -errno;
  return 1;
}

}  // namespace platform
