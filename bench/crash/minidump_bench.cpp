// Time and size of a normal minidump of a busy process against gcore's core
// file of the same process. Prints figures; asserts nothing.
//
//   minidump_bench            runs the comparison
//   minidump_bench --child FD the process that is dumped (started by the above)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "crash/CrashInfo.h"
#include "crash/minidump/MinidumpWriter.h"

namespace {

constexpr int kThreads = 20;
constexpr std::size_t kHeapBytes = 200u * 1024 * 1024;
constexpr int kDumpRuns = 5;
constexpr int kReadyTimeoutMs = 60000;
constexpr int kGcoreTimeoutMs = 300000;

// The dumped process: threads that wait, and a heap full of touched pages.
int RunChild(int reportFd) {
  int blockPipe[2];
  if (::pipe(blockPipe) != 0) return 1;
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads - 1; ++i) {
    threads.emplace_back([fd = blockPipe[0]] {
      char c;
      while (::read(fd, &c, 1) < 0 && errno == EINTR) {
      }
    });
  }
  auto* heap = static_cast<unsigned char*>(std::malloc(kHeapBytes));
  if (!heap) return 1;
  for (std::size_t i = 0; i < kHeapBytes; ++i) heap[i] = static_cast<unsigned char>(i * 131 + 7);
  const char ready = 'R';
  if (::write(reportFd, &ready, 1) != 1) return 1;
  ::close(reportFd);
  // Lives until the benchmark kills it.
  for (;;) ::pause();
}

// Waits for `pid` (our child) to end, at most timeoutMs. true once reaped.
bool WaitChild(pid_t pid, int timeoutMs, int& status) {
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd >= 0) {
    pollfd p{pidfd, POLLIN, 0};
    const int r = ::poll(&p, 1, timeoutMs);
    ::close(pidfd);
    if (r <= 0) return false;
  }
  return ::waitpid(pid, &status, 0) == pid;
}

void KillChild(pid_t pid) {
  int status = 0;
  ::kill(pid, SIGKILL);
  WaitChild(pid, 10000, status);
}

long long FileSize(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], "--child") == 0) return RunChild(std::atoi(argv[2]));

  const char* tmp = std::getenv("TMPDIR");
  const std::string dir = tmp && *tmp ? tmp : "/tmp";
  const std::string self = "/proc/self/exe";

  int ready[2];
  if (::pipe2(ready, O_CLOEXEC) != 0) return 1;
  const std::string fdArg = std::to_string(ready[1]);
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    ::fcntl(ready[1], F_SETFD, 0);
    ::execl(self.c_str(), self.c_str(), "--child", fdArg.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(ready[1]);
  pollfd p{ready[0], POLLIN, 0};
  char c = 0;
  if (::poll(&p, 1, kReadyTimeoutMs) != 1 || ::read(ready[0], &c, 1) != 1) {
    std::fprintf(stderr, "the dumped process did not get ready\n");
    KillChild(child);
    return 1;
  }
  ::close(ready[0]);
  std::printf("process %d: %d threads, %zu MB of touched heap\n", child, kThreads, kHeapBytes >> 20);

  // The minidump, a few times: the median counts.
  const std::string dumpPath = dir + "/minidump_bench." + std::to_string(::getpid()) + ".dmp";
  std::vector<double> times;
  long long dumpSize = -1;
  for (int run = 0; run < kDumpRuns; ++run) {
    ::unlink(dumpPath.c_str());
    const int fd = ::open(dumpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::perror("open");
      KillChild(child);
      return 1;
    }
    crash::CrashInfo info;
    info.tid = child;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = crash::WriteMinidump(child, info, false, fd);
    const auto end = std::chrono::steady_clock::now();
    ::close(fd);
    if (!ok) {
      std::perror("WriteMinidump");
      KillChild(child);
      return 1;
    }
    times.push_back(Seconds(end - start));
    dumpSize = FileSize(dumpPath);
  }
  std::sort(times.begin(), times.end());
  const double dumpTime = times[times.size() / 2];
  std::printf("minidump: %.4f s (median of %d), %lld bytes\n", dumpTime, kDumpRuns, dumpSize);

  // For information: the full-memory dump of the same process.
  ::unlink(dumpPath.c_str());
  {
    const int fd = ::open(dumpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    crash::CrashInfo info;
    info.tid = child;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = fd >= 0 && crash::WriteMinidump(child, info, true, fd);
    const double fullTime = Seconds(std::chrono::steady_clock::now() - start);
    if (fd >= 0) ::close(fd);
    if (ok) std::printf("full minidump: %.4f s, %lld bytes\n", fullTime, FileSize(dumpPath));
    else std::printf("full minidump: failed\n");
  }
  ::unlink(dumpPath.c_str());

  // gcore writes <base>.<pid>.
  const std::string coreBase = dir + "/minidump_bench." + std::to_string(::getpid()) + ".core";
  const std::string corePath = coreBase + "." + std::to_string(child);
  const std::string pidArg = std::to_string(child);
  const auto start = std::chrono::steady_clock::now();
  const pid_t gcore = ::fork();
  if (gcore == 0) {
    const int devnull = ::open("/dev/null", O_WRONLY);
    if (devnull >= 0) {
      ::dup2(devnull, 1);
      ::dup2(devnull, 2);
    }
    ::execlp("gcore", "gcore", "-o", coreBase.c_str(), pidArg.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  int status = 0;
  const bool ended = gcore > 0 && WaitChild(gcore, kGcoreTimeoutMs, status);
  const double coreTime = Seconds(std::chrono::steady_clock::now() - start);
  if (gcore > 0 && !ended) KillChild(gcore);
  const long long coreSize = FileSize(corePath);
  ::unlink(corePath.c_str());
  KillChild(child);
  if (!ended || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || coreSize <= 0) {
    std::printf("gcore: failed (is gdb installed?)\n");
    return 1;
  }
  std::printf("gcore:    %.4f s, %lld bytes\n", coreTime, coreSize);
  std::printf("minidump is %.1f times faster and %.1f times smaller (targets: 50 and 200)\n",
              coreTime / dumpTime, static_cast<double>(coreSize) / static_cast<double>(dumpSize));
  return 0;
}
