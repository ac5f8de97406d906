// The service manager's readiness protocol (sd_notify): datagrams of
// "KEY=VALUE" lines to the socket that $NOTIFY_SOCKET names.
#pragma once

#include <string>

namespace platform {

// True when the process was started by a service manager that listens for
// notifications (NOTIFY_SOCKET is set and not empty).
bool HasServiceManager();

// Sends `message` (e.g. "READY=1\nSTATUS=Running") as one datagram to the
// socket of $NOTIFY_SOCKET: a path, or an abstract name written with a
// leading '@'. 1 when sent; 0 when NOTIFY_SOCKET is not set, so there is no
// one to tell; otherwise a negative error number (-EINVAL for a name that is
// neither absolute nor abstract or too long). Any thread.
int NotifyServiceManager(const std::string& message);

}  // namespace platform
