// Figure 1: a remote StartService whose executable is /bin/true, against
// spawning /bin/true directly and waiting for it. The launcher is resolved
// once; the kinds of sample alternate so that machine noise hits all alike.
// Two more rows say where a difference comes from: the round trip of a call
// that runs nothing, and the launcher's own process runner in this process.
//
//   startservice_bench --naming HOST:PORT --computer NAME [--count N] [--target RATIO]
//
// Waits (bounded) for the launcher to be bound. Exit code 0 once figures were
// printed, whatever they are; 2 when nothing could be measured.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <time.h>
#include <vector>

#include "bench/BenchSupport.h"
#include "launcher/ExecuteCommandLine.h"

extern char** environ;

namespace {

constexpr int kWarmup = 20;
constexpr double kBindWaitMs = 10000;

// The same argument vector the launcher builds from its command line.
bool SpawnTrue() {
  char program[] = "/bin/true";
  char start[] = "-s";
  char service[] = "svc";
  char* argv[] = {program, start, service, nullptr};
  pid_t pid;
  if (posix_spawn(&pid, program, nullptr, nullptr, argv, environ) != 0) return false;
  int status;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return false;
  }
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

void PrintRow(const char* what, const std::vector<double>& samples) {
  std::printf("  %-22s median %7.3f ms   p10 %7.3f   p90 %7.3f   (%zu samples)\n", what, bench::Median(samples),
              bench::Quantile(samples, 0.1), bench::Quantile(samples, 0.9), samples.size());
}

}  // namespace

int main(int argc, char** argv) {
  std::string naming;
  std::string computer;
  int count = 500;
  double target = 1.1;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--naming") naming = argv[i + 1];
    else if (option == "--computer") computer = argv[i + 1];
    else if (option == "--count") count = std::atoi(argv[i + 1]);
    else if (option == "--target") target = std::atof(argv[i + 1]);
  }
  if (naming.empty() || computer.empty() || count <= 0) {
    std::fprintf(stderr, "usage: startservice_bench --naming HOST:PORT --computer NAME [--count N] [--target R]\n");
    return 2;
  }

  CORBA::ORB_var orb;
  try {
    orb = bench::ClientOrb(naming);
    CosNaming::NamingContext_var root = bench::RootContext(orb);
    RuraduZezarev::Launcher_var launcher;
    const double deadline = bench::NowMs() + kBindWaitMs;
    for (;;) {
      launcher = bench::FindLauncher(root, computer);
      if (!CORBA::is_nil(launcher) || bench::NowMs() > deadline) break;
      const timespec pause{0, 1000000};
      nanosleep(&pause, nullptr);
    }
    if (CORBA::is_nil(launcher)) {
      std::fprintf(stderr, "startservice_bench: no launcher bound for %s at %s\n", computer.c_str(), naming.c_str());
      orb->destroy();
      return 2;
    }

    auto remote = [&] {
      return launcher->StartService(RuraduZezarev::SERVER_SERVICE, L"svc", L"/bin/true");
    };
    // An empty service name is refused before anything runs: the round trip alone.
    auto roundTrip = [&] { return launcher->StartService(RuraduZezarev::SERVER_SERVICE, L"", L"/bin/true"); };
    for (int i = 0; i < kWarmup; ++i) {
      if (!remote() || !SpawnTrue()) {
        std::fprintf(stderr, "startservice_bench: a warm-up call failed\n");
        orb->destroy();
        return 2;
      }
    }
    std::vector<double> direct;
    std::vector<double> viaLauncher;
    std::vector<double> callOnly;
    std::vector<double> runner;
    size_t failures = 0;
    for (int i = 0; i < count; ++i) {
      double t0 = bench::NowMs();
      if (!SpawnTrue()) ++failures;
      double t1 = bench::NowMs();
      if (!remote()) ++failures;
      double t2 = bench::NowMs();
      if (roundTrip()) ++failures;
      double t3 = bench::NowMs();
      // The launcher's own process runner, in this process: the spawn as the service does it.
      std::wstring line = L"\"/bin/true\" -s \"svc\"";
      if (!ExecuteCommandLine(line)) ++failures;
      double t4 = bench::NowMs();
      direct.push_back(t1 - t0);
      viaLauncher.push_back(t2 - t1);
      callOnly.push_back(t3 - t2);
      runner.push_back(t4 - t3);
    }
    const double ratio = bench::Median(viaLauncher) / bench::Median(direct);
    std::printf("StartService round trip against a direct spawn of /bin/true:\n");
    PrintRow("direct posix_spawn", direct);
    PrintRow("remote StartService", viaLauncher);
    PrintRow("round trip, no spawn", callOnly);
    PrintRow("runner in this process", runner);
    if (failures != 0) std::printf("  %zu calls failed\n", failures);
    std::printf("figure 1: StartService/direct median ratio %.3f (%.3f ms / %.3f ms), target <= %.2f: %s\n", ratio,
                bench::Median(viaLauncher), bench::Median(direct), target,
                bench::Verdict(failures == 0 && ratio <= target));
    orb->destroy();
    return 0;
  } catch (const CORBA::Exception& exception) {
    std::fprintf(stderr, "startservice_bench: CORBA exception %s\n", exception._name());
  }
  if (!CORBA::is_nil(orb)) orb->destroy();
  return 2;
}
