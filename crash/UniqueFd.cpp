#include "crash/UniqueFd.h"

#include <unistd.h>

namespace crash {

void UniqueFd::reset(int fd) {
  if (fd_ >= 0) ::close(fd_);  // the descriptor is gone even when close reports EINTR
  fd_ = fd;
}

}  // namespace crash
