#include "platform/ScopedFd.h"

#include <unistd.h>

namespace platform {

void ScopedFd::reset(int fd) {
  // close is not retried on EINTR: on Linux the descriptor is gone either way.
  if (fd_ >= 0 && fd_ != fd) ::close(fd_);
  fd_ = fd;
}

}  // namespace platform
