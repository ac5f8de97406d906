// The process the minidump tests dump. It reports on standard output:
//   "HEAP <address> <value>"  a heap word that only a full dump holds
//   "READY"                   every thread runs (modes idle and churn)
//   "LEADERLESS"              the main thread has ended (mode leaderless)
//   "CRASHED <tid>"           the crash handler saved the CrashInfo file (mode crash)
//   "USR1 <n>"                the n-th SIGUSR1 arrived: the process still runs
//
//   minidump_test_child idle|churn|crash|leaderless INFO_FILE
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <sys/syscall.h>
#include <thread>
#include <ucontext.h>
#include <unistd.h>
#include <vector>

#include "crash/CrashInfo.h"

namespace {

constexpr int kWorkers = 3;
constexpr std::uint64_t kHeapMagic = 0x5eed1e55c0ffee42ull;

const char* g_infoPath = nullptr;
int g_blockPipe[2] = {-1, -1};
int g_startedPipe[2] = {-1, -1};

void Say(const char* text) {
  std::size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(1, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<std::size_t>(n);
  }
}

// Async-signal-safe decimal.
void SayNumber(const char* prefix, long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value > 0 && n < 23);
  char line[64];
  std::size_t len = std::strlen(prefix);
  std::memcpy(line, prefix, len);
  while (n > 0) line[len++] = digits[--n];
  line[len++] = '\n';
  line[len] = '\0';
  Say(line);
}

// What the real crash client does: save the registers at the signal, tell the
// dumper, then wait to be dumped.
void OnCrash(int signo, siginfo_t* si, void* context) {
  auto* uc = static_cast<ucontext_t*>(context);
  crash::CrashInfo info;
  info.tid = static_cast<std::int32_t>(::syscall(SYS_gettid));
  info.signo = signo;
  info.code = si->si_code;
  info.faultAddress = reinterpret_cast<std::uint64_t>(si->si_addr);
  info.hasContext = 1;
  static_assert(sizeof info.gregs == sizeof uc->uc_mcontext.gregs, "gregs");
  std::memcpy(info.gregs, uc->uc_mcontext.gregs, sizeof info.gregs);
  if (uc->uc_mcontext.fpregs) std::memcpy(info.fpregs, uc->uc_mcontext.fpregs, sizeof info.fpregs);
  const int fd = ::open(g_infoPath, O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (fd >= 0) {
    if (::write(fd, &info, sizeof info) != static_cast<ssize_t>(sizeof info)) Say("SHORT WRITE\n");
    ::close(fd);
  }
  SayNumber("CRASHED ", info.tid);
  for (;;) ::pause();
}

// Each SIGUSR1 gets its own numbered answer; it may land on any thread, so
// two handlers can run at once.
void OnUsr1(int) {
  static int answers = 0;
  SayNumber("USR1 ", __atomic_add_fetch(&answers, 1, __ATOMIC_RELAXED));
}

__attribute__((noinline)) void WaitingWorker() {
  char c = 'W';
  if (::write(g_startedPipe[1], &c, 1) != 1) Say("START FAILED\n");
  while (::read(g_blockPipe[0], &c, 1) < 0 && errno == EINTR) {
  }
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void CrashHere(volatile int* where) {
  *where = 42;
  asm volatile("" ::: "memory");
}

__attribute__((noinline)) void CrashingThread() {
  CrashHere(reinterpret_cast<volatile int*>(0x10));
}

// Threads that start and end all the time.
__attribute__((noinline)) void Churn() {
  for (;;) {
    std::thread t([] {});
    t.join();
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  const std::string mode = argv[1];
  g_infoPath = argv[2];
  if (::pipe(g_blockPipe) != 0 || ::pipe(g_startedPipe) != 0) return 1;

  struct sigaction sa {};
  sa.sa_handler = OnUsr1;
  ::sigaction(SIGUSR1, &sa, nullptr);

  // Large enough to be mapped apart from every stack.
  const std::size_t heapWords = (1u << 20) / sizeof(std::uint64_t);
  auto* heap = static_cast<std::uint64_t*>(std::malloc(heapWords * sizeof(std::uint64_t)));
  for (std::size_t i = 0; i < heapWords; ++i) heap[i] = kHeapMagic + i;
  char line[96];
  std::snprintf(line, sizeof line, "HEAP %p 0x%llx\n", static_cast<void*>(heap + 1000),
                static_cast<unsigned long long>(heap[1000]));
  Say(line);

  std::vector<std::thread> workers;
  for (int i = 0; i < kWorkers; ++i) workers.emplace_back(WaitingWorker);
  // Every worker is inside WaitingWorker before anyone looks.
  for (int started = 0; started < kWorkers;) {
    char c;
    const ssize_t n = ::read(g_startedPipe[0], &c, 1);
    if (n == 1) ++started;
    else if (n < 0 && errno != EINTR) return 1;
  }

  if (mode == "crash") {
    struct sigaction crash {};
    crash.sa_sigaction = OnCrash;
    crash.sa_flags = SA_SIGINFO;
    ::sigaction(SIGSEGV, &crash, nullptr);
    std::thread(CrashingThread).detach();
  } else if (mode == "churn") {
    std::thread(Churn).detach();
    Say("READY\n");
  } else if (mode == "idle") {
    Say("READY\n");
  } else if (mode == "leaderless") {
    // The process lives on in its workers after its main thread is gone.
    std::thread([main = pthread_self()] {
      pthread_join(main, nullptr);
      Say("LEADERLESS\n");
    }).detach();
    for (auto& w : workers) w.detach();  // pthread_exit unwinds this frame
    Say("READY\n");
    pthread_exit(nullptr);
  } else {
    return 2;
  }
  // Lives until the test ends it.
  WaitingWorker();
  for (auto& w : workers) w.join();
  return 0;
}
