// Figures 2-4 of the update service in a console (ovupdate -n):
//   2. from the start of the process to its launcher visible in the naming service;
//   3. from SIGINT to the end of the process;
//   4. resident memory and CPU time while it sits idle.
// Every run gets a fresh data folder whose settings point at the naming service.
//
//   lifecycle_bench --naming 127.0.0.1:PORT --ovupdate PATH --workdir DIR [--runs N] [--idle-seconds S]
//
// Exit code 0 once figures were printed; 2 when a run went wrong.
#include <cerrno>
#include <dirent.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <spawn.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <vector>

#include "bench/BenchSupport.h"

namespace {

constexpr double kBindBoundMs = 10000;
constexpr int kExitBoundMs = 10000;
constexpr double kStartTargetMs = 50;
constexpr double kStopTargetMs = 100;
constexpr double kRssTargetKb = 16 * 1024;
constexpr long kIdleTicksNearly = 1;

struct Options {
  std::string naming;
  std::string ovupdate;
  std::string workdir;
  int runs = 20;
  int idleSeconds = 5;
};

bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    std::string part = path.substr(0, slash);
    if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) return false;
    if (slash == std::string::npos) return true;
  }
}

// A data folder of its own under dir, with settings that name the naming service.
bool PrepareDataFolder(const std::string& dir, const std::string& naming) {
  const std::string services = dir + "/config/Orvanta/Keldra 7/Settings/Services";
  if (!MakeDirs(services) || !MakeDirs(dir + "/tmp")) return false;
  const size_t colon = naming.rfind(':');
  std::ofstream settings(services + "/update.kll");
  settings << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n<link>\n  <parameters>\n"
           << "    <param name=\"CoordinatorHost\">" << naming.substr(0, colon) << "</param>\n"
           << "    <param name=\"CoordinatorPort\">" << naming.substr(colon + 1) << "</param>\n"
           << "    <param name=\"DebugLevel\">0</param>\n  </parameters>\n</link>\n";
  return static_cast<bool>(settings);
}

// Holds a started ovupdate: kills and reaps it on every path.
class Service {
 public:
  ~Service() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      int status;
      waitpid(pid_, &status, 0);
    }
    if (pidfd_ >= 0) close(pidfd_);
  }

  bool Start(const Options& options, const std::string& dir) {
    std::vector<std::string> env{"XDG_CONFIG_HOME=" + dir + "/config", "TMPDIR=" + dir + "/tmp/",
                                 "ORBendPoint=giop:tcp:127.0.0.1:", "PATH=/usr/local/bin:/usr/bin:/bin",
                                 "HOME=" + dir};
    std::vector<char*> envp;
    for (std::string& e : env) envp.push_back(&e[0]);
    envp.push_back(nullptr);
    std::string program = options.ovupdate;
    std::string mode = "-n";
    char* argv[] = {&program[0], &mode[0], nullptr};
    const std::string errPath = dir + "/stderr";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const int err = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&actions);
    if (err != 0) {
      pid_ = -1;
      return false;
    }
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    return pidfd_ >= 0;
  }

  bool Running() const {
    pollfd p{pidfd_, POLLIN, 0};
    return poll(&p, 1, 0) == 0;
  }

  // Waits at most timeoutMs for the end; true with its status once reaped.
  bool WaitExit(int timeoutMs, int& status) {
    pollfd p{pidfd_, POLLIN, 0};
    int r;
    while ((r = poll(&p, 1, timeoutMs)) < 0 && errno == EINTR) {
    }
    if (r <= 0) return false;
    waitpid(pid_, &status, 0);
    pid_ = -1;
    return true;
  }

  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int pidfd_ = -1;
};

long VmRssKb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  }
  return -1;
}

// utime + stime of every thread of the process, in clock ticks.
long CpuTicks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  std::istringstream fields(text.substr(close + 2));
  std::string field;
  long utime = 0;
  long stime = 0;
  // Field 3 (state) comes first; utime and stime are fields 14 and 15.
  for (int index = 3; index <= 15 && fields >> field; ++index) {
    if (index == 14) utime = std::atol(field.c_str());
    if (index == 15) stime = std::atol(field.c_str());
  }
  return utime + stime;
}

// Nanoseconds on a CPU and times run (from schedstat), summed over every
// thread: exact, where clock ticks are only sampled.
struct RunTime {
  long long ns = 0;
  long long runs = 0;
};

RunTime ThreadsRunTime(pid_t pid) {
  RunTime total;
  const std::string tasks = "/proc/" + std::to_string(pid) + "/task";
  DIR* dir = opendir(tasks.c_str());
  if (dir == nullptr) return total;
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    std::ifstream stat(tasks + "/" + entry->d_name + "/schedstat");
    long long ns = 0;
    long long waited = 0;
    long long runs = 0;
    if (stat >> ns >> waited >> runs) {
      total.ns += ns;
      total.runs += runs;
    }
  }
  closedir(dir);
  return total;
}

int ThreadCount(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("Threads:", 0) == 0) return std::atoi(line.c_str() + 8);
  }
  return -1;
}

void Pause(double ms) {
  timespec pause{static_cast<time_t>(ms / 1000), static_cast<long>((ms - 1000 * static_cast<long>(ms / 1000)) * 1e6)};
  while (nanosleep(&pause, &pause) != 0 && errno == EINTR) {
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string option = argv[i];
    if (option == "--naming") options.naming = argv[i + 1];
    else if (option == "--ovupdate") options.ovupdate = argv[i + 1];
    else if (option == "--workdir") options.workdir = argv[i + 1];
    else if (option == "--runs") options.runs = std::atoi(argv[i + 1]);
    else if (option == "--idle-seconds") options.idleSeconds = std::atoi(argv[i + 1]);
  }
  if (options.naming.find(':') == std::string::npos || options.ovupdate.empty() || options.workdir.empty() ||
      options.runs <= 0) {
    std::fprintf(stderr,
                 "usage: lifecycle_bench --naming HOST:PORT --ovupdate PATH --workdir DIR [--runs N] "
                 "[--idle-seconds S]\n");
    return 2;
  }
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  const std::string computer = host;

  CORBA::ORB_var orb;
  try {
    orb = bench::ClientOrb(options.naming);
    CosNaming::NamingContext_var root = bench::RootContext(orb);
    std::vector<double> startMs;
    std::vector<double> stopMs;
    long rssKb = -1;
    long idleTicks = -1;
    double idleCpuUs = -1;
    long long idleRuns = -1;
    int threads = -1;
    int failures = 0;
    for (int run = 0; run < options.runs; ++run) {
      // A binding left by someone else would be seen at once.
      if (!CORBA::is_nil(bench::FindLauncher(root, computer))) root->unbind(bench::LauncherName(computer));
      const std::string dir = options.workdir + "/run-" + std::to_string(run);
      if (!PrepareDataFolder(dir, options.naming)) {
        std::fprintf(stderr, "lifecycle_bench: cannot prepare %s\n", dir.c_str());
        return 2;
      }
      Service service;
      const double t0 = bench::NowMs();
      if (!service.Start(options, dir)) {
        std::fprintf(stderr, "lifecycle_bench: cannot start %s\n", options.ovupdate.c_str());
        return 2;
      }
      // Each look-up is one loopback round trip; the pause keeps the granularity near 0.2 ms
      // without taking a core from the starting service.
      bool bound = false;
      double t1 = t0;
      while (bench::NowMs() - t0 < kBindBoundMs && service.Running()) {
        RuraduZezarev::Launcher_var launcher = bench::FindLauncher(root, computer);
        t1 = bench::NowMs();
        if (!CORBA::is_nil(launcher)) {
          bound = true;
          break;
        }
        Pause(0.2);
      }
      if (!bound) {
        std::fprintf(stderr, "lifecycle_bench: run %d: the launcher was not bound (see %s/stderr)\n", run,
                     dir.c_str());
        ++failures;
        continue;
      }
      startMs.push_back(t1 - t0);

      if (run == options.runs - 1) {
        Pause(1000);  // let start-up work settle before measuring idleness
        const long before = CpuTicks(service.pid());
        const RunTime runBefore = ThreadsRunTime(service.pid());
        Pause(options.idleSeconds * 1000.0);
        idleTicks = CpuTicks(service.pid()) - before;
        const RunTime runAfter = ThreadsRunTime(service.pid());
        idleCpuUs = (runAfter.ns - runBefore.ns) / 1000.0;
        idleRuns = runAfter.runs - runBefore.runs;
        rssKb = VmRssKb(service.pid());
        threads = ThreadCount(service.pid());
      }

      const double t2 = bench::NowMs();
      kill(service.pid(), SIGINT);
      int status = 0;
      if (!service.WaitExit(kExitBoundMs, status)) {
        std::fprintf(stderr, "lifecycle_bench: run %d: no exit within %d ms of SIGINT\n", run, kExitBoundMs);
        ++failures;
        continue;
      }
      stopMs.push_back(bench::NowMs() - t2);
      if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "lifecycle_bench: run %d: exit status 0x%x\n", run, status);
        ++failures;
      }
    }
    orb->destroy();

    std::printf("ovupdate -n, %d runs, each with a fresh data folder:\n", options.runs);
    std::printf("  start to bound: median %7.2f ms   min %7.2f   max %7.2f\n", bench::Median(startMs),
                bench::Quantile(startMs, 0), bench::Quantile(startMs, 1));
    std::printf("  SIGINT to exit: median %7.2f ms   min %7.2f   max %7.2f\n", bench::Median(stopMs),
                bench::Quantile(stopMs, 0), bench::Quantile(stopMs, 1));
    std::printf("  idle: VmRSS %ld kB, %d threads, %ld clock ticks (of %ld per second) in %d s\n", rssKb, threads,
                idleTicks, sysconf(_SC_CLK_TCK), options.idleSeconds);
    // omniORB's connection scavenger wakes every few seconds by its own design.
    std::printf("  idle: %.0f us on a CPU in %lld wake-ups in %d s\n", idleCpuUs, idleRuns, options.idleSeconds);
    std::printf("figure 2: start to binding visible, median %.2f ms, target < %.0f ms: %s\n", bench::Median(startMs),
                kStartTargetMs, bench::Verdict(!startMs.empty() && bench::Median(startMs) < kStartTargetMs));
    std::printf("figure 3: SIGINT to exit, median %.2f ms (max %.2f), target < %.0f ms: %s\n", bench::Median(stopMs),
                bench::Quantile(stopMs, 1), kStopTargetMs,
                bench::Verdict(!stopMs.empty() && bench::Quantile(stopMs, 1) < kStopTargetMs));
    // Ticks are charged by sampling: a single short wake-up can cost one.
    std::printf("figure 4: idle VmRSS %.1f MB, target < 16 MB; idle CPU %ld ticks (%.2f ms) in %d s, target 0 "
                "or nearly: %s\n",
                rssKb / 1024.0, idleTicks, idleCpuUs / 1000, options.idleSeconds,
                bench::Verdict(rssKb > 0 && rssKb < kRssTargetKb && idleTicks >= 0 && idleTicks <= kIdleTicksNearly));
    if (failures != 0) std::printf("  %d runs went wrong (see above)\n", failures);
    return failures == 0 ? 0 : 2;
  } catch (const CORBA::Exception& exception) {
    std::fprintf(stderr, "lifecycle_bench: CORBA exception %s\n", exception._name());
  }
  if (!CORBA::is_nil(orb)) orb->destroy();
  return 2;
}
