#include "crash/client/CrashClient.h"

#include <linux/futex.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <time.h>
#include <ucontext.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

#include "platform/ScopedFd.h"

namespace crash {
namespace {

constexpr int kHandledSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT, SIGTRAP};
constexpr int kRegisterTimeoutMs = 5000;
// A full-memory dump of a large process takes a while; past this the process dies undumped.
constexpr int kDumpTimeoutMs = 60000;
constexpr std::size_t kAltStackBytes = 64 * 1024;

// Everything below is touched from signal handlers: plain storage, no allocation.
int gChannel = -1;  // the registered connection, open for the process's life
// tid of the thread using gChannel, 0 when free; a futex word.
int gChannelOwner = 0;
alignas(16) char gAltStack[kAltStackBytes];

long Gettid() { return ::syscall(SYS_gettid); }

long long MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

// Takes the channel for thread `tid`, waiting (bounded) while another thread
// has it. false when this thread already has it (a fault inside the handler)
// or the wait ran out.
bool AcquireChannel(int tid) {
  const long long deadline = MonotonicMs() + kDumpTimeoutMs;
  for (;;) {
    int expected = 0;
    if (__atomic_compare_exchange_n(&gChannelOwner, &expected, tid, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) {
      return true;
    }
    if (expected == tid) return false;
    const long long left = deadline - MonotonicMs();
    if (left <= 0) return false;
    timespec wait{static_cast<time_t>(left / 1000), static_cast<long>((left % 1000) * 1000000)};
    ::syscall(SYS_futex, &gChannelOwner, FUTEX_WAIT_PRIVATE, expected, &wait, nullptr, 0);
  }
}

void ReleaseChannel() {
  __atomic_store_n(&gChannelOwner, 0, __ATOMIC_RELEASE);
  ::syscall(SYS_futex, &gChannelOwner, FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// Waits up to `timeoutMs` for a record on `fd` and reads it into `buffer`;
// the byte count, or -1. Async-signal-safe.
ssize_t ReceiveWithin(int fd, void* buffer, std::size_t size, int timeoutMs) {
  const long long deadline = MonotonicMs() + timeoutMs;
  for (;;) {
    const long long left = deadline - MonotonicMs();
    if (left < 0) return -1;
    pollfd p{fd, POLLIN, 0};
    const int ready = ::poll(&p, 1, static_cast<int>(left));
    if (ready < 0 && errno == EINTR) continue;  // the server's ptrace stops interrupt the wait
    if (ready <= 0) return -1;
    const ssize_t n = ::recv(fd, buffer, size, MSG_DONTWAIT);
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    return n;
  }
}

// Sends the request on the held channel and waits for the answer. Async-signal-safe.
bool ExchangeDumpRequest(const CrashInfo& info) {
  protocol::DumpRequest request;
  protocol::FillDumpRequest(info, request);
  if (::send(gChannel, &request, sizeof(request), MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof(request))) {
    return false;
  }
  protocol::DumpAnswer answer;
  const ssize_t n = ReceiveWithin(gChannel, &answer, sizeof(answer), kDumpTimeoutMs);
  protocol::DumpResult result;
  return n > 0 &&
         protocol::ParseDumpAnswer(reinterpret_cast<const std::uint8_t*>(&answer), static_cast<std::size_t>(n),
                                   result) &&
         result == protocol::DumpResult::Written;
}

void FillContext(const ucontext_t& context, CrashInfo& info) {
  for (int i = 0; i < 23; ++i) info.gregs[i] = static_cast<std::uint64_t>(context.uc_mcontext.gregs[i]);
  const auto* fpregs = reinterpret_cast<const std::uint8_t*>(context.uc_mcontext.fpregs);
  if (fpregs != nullptr) {
    for (std::size_t i = 0; i < sizeof(info.fpregs); ++i) info.fpregs[i] = fpregs[i];
  }
  info.hasContext = 1;
}

void RestoreDefaultActions() {
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_handler = SIG_DFL;
  ::sigemptyset(&action.sa_mask);
  for (int signo : kHandledSignals) ::sigaction(signo, &action, nullptr);
}

void CrashHandler(int signo, siginfo_t* signal, void* rawContext) {
  const int savedErrno = errno;
  const int tid = static_cast<int>(Gettid());
  if (gChannel >= 0 && AcquireChannel(tid)) {
    CrashInfo info;
    info.tid = tid;
    info.signo = signo;
    info.code = signal != nullptr ? signal->si_code : 0;
    info.faultAddress = signal != nullptr ? reinterpret_cast<std::uint64_t>(signal->si_addr) : 0;
    if (rawContext != nullptr) FillContext(*static_cast<const ucontext_t*>(rawContext), info);
    ExchangeDumpRequest(info);
    // The channel stays taken: the process is about to die.
  }
  // Die by the same signal: it stays blocked until the handler returns, then the default action ends the process.
  RestoreDefaultActions();
  ::syscall(SYS_tgkill, ::getpid(), tid, signo);
  errno = savedErrno;
}

bool InstallHandlers() {
  stack_t stack{};
  stack.ss_sp = gAltStack;
  stack.ss_size = sizeof(gAltStack);
  stack.ss_flags = 0;
  if (::sigaltstack(&stack, nullptr) != 0) return false;
  struct sigaction action;
  std::memset(&action, 0, sizeof(action));
  action.sa_sigaction = CrashHandler;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK;
  ::sigemptyset(&action.sa_mask);
  for (int signo : kHandledSignals) ::sigaddset(&action.sa_mask, signo);
  for (int signo : kHandledSignals) {
    if (::sigaction(signo, &action, nullptr) != 0) return false;
  }
  return true;
}

}  // namespace

bool StartCrashClient(const std::vector<protocol::CustomInfoEntry>& customInfo, protocol::DumpType dumpType) {
  if (gChannel >= 0) return false;
  protocol::RegisterRequest request;
  request.dumpType = dumpType;
  request.entries = customInfo;
  std::vector<std::uint8_t> message;
  if (!protocol::EncodeRegisterRequest(request, message)) return false;

  platform::ScopedFd channel(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!channel.valid()) return false;
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path + 1, protocol::kSocketName, protocol::kSocketNameLength);
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + protocol::kSocketNameLength);
  if (::connect(channel.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
  if (::send(channel.get(), message.data(), message.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(message.size())) {
    return false;
  }
  protocol::RegisterAnswer answer;
  const ssize_t n = ReceiveWithin(channel.get(), &answer, sizeof(answer), kRegisterTimeoutMs);
  std::int32_t serverPid = 0;
  if (n <= 0 || !protocol::ParseRegisterAnswer(reinterpret_cast<const std::uint8_t*>(&answer),
                                               static_cast<std::size_t>(n), serverPid)) {
    return false;
  }
  // Yama may forbid tracing otherwise; harmless where it is not active.
  ::prctl(PR_SET_PTRACER, static_cast<unsigned long>(serverPid), 0, 0, 0);
  gChannel = channel.release();
  if (!InstallHandlers()) return false;
  return true;
}

bool RequestDump() {
  if (gChannel < 0) return false;
  const int savedErrno = errno;
  const int tid = static_cast<int>(Gettid());
  if (!AcquireChannel(tid)) return false;
  CrashInfo info;
  info.tid = tid;
  ucontext_t context;
  if (::getcontext(&context) == 0) FillContext(context, info);
  const bool written = ExchangeDumpRequest(info);
  ReleaseChannel();
  errno = savedErrno;
  return written;
}

}  // namespace crash
