// A process that runs the crash server as the update service does, until
// SIGTERM or SIGINT. Prints "ready" on standard output once StartCrashServer
// has returned; the server's lines go to standard error.
#include <signal.h>
#include <unistd.h>

#include "crash/CrashServer.h"
#include "platform/StandardError.h"

int main() {
  platform::InstallWideStandardError();
  sigset_t stop;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTERM);
  sigaddset(&stop, SIGINT);
  pthread_sigmask(SIG_BLOCK, &stop, nullptr);

  StartCrashServer();
  static const char kReady[] = "ready\n";
  if (write(STDOUT_FILENO, kReady, sizeof(kReady) - 1) < 0) return 1;

  int signo = 0;
  sigwait(&stop, &signo);
  return 0;  // the crash server stops in its holder's destructor
}
