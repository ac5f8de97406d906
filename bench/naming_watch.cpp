// For the simulated fleet: waits until COUNT launchers are bound in the naming
// service and prints the milliseconds since SINCE (CLOCK_REALTIME nanoseconds,
// as `date +%s%N` gives). Exit code 0 when all were bound within the bound, 1
// when not (the count reached is printed), 2 on bad usage or no naming service.
//
//   naming_watch --naming HOST:PORT --count N --since NS [--timeout-seconds S]
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <time.h>

#include "bench/BenchSupport.h"

namespace {

double RealtimeMs() {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return now.tv_sec * 1e3 + now.tv_nsec / 1e6;
}

}  // namespace

int main(int argc, char** argv) {
  std::string naming;
  size_t count = 0;
  double sinceMs = 0;
  double timeoutMs = 60000;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--naming") naming = argv[i + 1];
    else if (option == "--count") count = std::strtoul(argv[i + 1], nullptr, 10);
    else if (option == "--since") sinceMs = std::strtod(argv[i + 1], nullptr) / 1e6;
    else if (option == "--timeout-seconds") timeoutMs = std::atof(argv[i + 1]) * 1000;
  }
  if (naming.empty() || count == 0 || sinceMs <= 0) {
    std::fprintf(stderr, "usage: naming_watch --naming HOST:PORT --count N --since NS [--timeout-seconds S]\n");
    return 2;
  }
  CORBA::ORB_var orb;
  int result = 2;
  try {
    orb = bench::ClientOrb(naming);
    CosNaming::NamingContext_var root = bench::RootContext(orb);
    size_t bound = 0;
    for (;;) {
      bound = bench::CountLaunchers(root);
      if (bound >= count || RealtimeMs() - sinceMs > timeoutMs) break;
      // A listing of 200 names is not free for the naming service: ask every 5 ms.
      timespec pause{0, 5000000};
      nanosleep(&pause, nullptr);
    }
    std::printf("%zu %.0f\n", bound, RealtimeMs() - sinceMs);
    result = bound >= count ? 0 : 1;
  } catch (const CORBA::Exception& exception) {
    std::fprintf(stderr, "naming_watch: CORBA exception %s\n", exception._name());
  }
  if (!CORBA::is_nil(orb)) orb->destroy();
  return result;
}
