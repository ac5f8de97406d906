#include "crash/CrashGenerationServer.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <sstream>
#include <system_error>
#include <thread>

#include "platform/ScopedFd.h"
#include "crash/minidump/MinidumpWriter.h"
#include "kllib/KLLib.h"

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77
#endif

namespace crash {
namespace {

using Clock = std::chrono::steady_clock;

// A client must register this soon after connecting, or it is dropped.
constexpr auto kRegisterTimeout = std::chrono::seconds(5);
// Past this many connections new ones wait in the backlog until a slot frees
// (unregistered ones free theirs within kRegisterTimeout), so no client can
// exhaust the server's descriptors.
constexpr std::size_t kMaxConnections = 256;
// Dumps and callbacks run here; one slow dump leaves the others free.
constexpr int kWorkerThreads = 4;

struct Connection {
  platform::ScopedFd fd;
  platform::ScopedFd pidfd;  // the peer process; readable once it has ended
  std::int32_t pid = 0;
  std::uint32_t uid = 0;
  Clock::time_point registerDeadline;
  std::shared_ptr<const ClientInfo> client;  // set once registered
};

bool ProcessEnded(const platform::ScopedFd& pidfd) {
  if (!pidfd.valid()) return false;
  pollfd p{pidfd.get(), POLLIN, 0};
  return ::poll(&p, 1, 0) > 0;
}

// The peer's run time in ms, from its start time in /proc/PID/stat.
std::wstring ProcessRunTimeMs(std::int32_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return L"0";
  const std::size_t close = line.rfind(')');
  if (close == std::string::npos) return L"0";
  std::istringstream fields(line.substr(close + 1));
  std::string field;
  unsigned long long startTicks = 0;
  // After the command come the fields from "state" (3rd) on; start time is the 22nd.
  for (int index = 3; index <= 22 && (fields >> field); ++index) {
    if (index == 22) startTicks = std::strtoull(field.c_str(), nullptr, 10);
  }
  const long hz = ::sysconf(_SC_CLK_TCK);
  timespec now{};
  if (hz <= 0 || ::clock_gettime(CLOCK_BOOTTIME, &now) != 0) return L"0";
  const long long nowMs = static_cast<long long>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
  const long long startMs = static_cast<long long>(startTicks * 1000ULL / static_cast<unsigned long long>(hz));
  const long long runMs = nowMs > startMs ? nowMs - startMs : 0;
  return std::to_wstring(runMs);
}

bool ThreadOfProcess(std::int32_t pid, std::int32_t tid) {
  struct stat st {};
  const std::string path = "/proc/" + std::to_string(pid) + "/task/" + std::to_string(tid);
  return ::stat(path.c_str(), &st) == 0;
}

// A random (version 4) GUID, printed the way dump files are named.
bool NewGuidText(std::string& out) {
  unsigned char bytes[16];
  std::size_t got = 0;
  while (got < sizeof(bytes)) {
    const ssize_t n = ::getrandom(bytes + got, sizeof(bytes) - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  bytes[6] = static_cast<unsigned char>((bytes[6] & 0x0F) | 0x40);
  bytes[8] = static_cast<unsigned char>((bytes[8] & 0x3F) | 0x80);
  const unsigned data1 = (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
  const unsigned data2 = (bytes[4] << 8) | bytes[5];
  const unsigned data3 = (bytes[6] << 8) | bytes[7];
  char text[40];
  std::snprintf(text, sizeof(text), "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", data1, data2, data3,
                bytes[8], bytes[9], bytes[10], bytes[11], bytes[12], bytes[13], bytes[14], bytes[15]);
  out = text;
  return true;
}

// A client killed while its threads were held cannot be detached: its threads
// stay traced by the dumping thread as zombies that the client's own parent
// cannot reap until that thread collects them. Collects every tracee of the
// calling thread (the crash server's threads start no children), waiting a
// short bounded time for one still on its way out. ptrace reports the end
// only through waitpid, hence the growing pause.
void CollectKilledTracees() {
  constexpr auto kCollectBound = std::chrono::seconds(2);
  const auto deadline = Clock::now() + kCollectBound;
  long pauseNs = 50 * 1000;
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(-1, &status, __WALL | __WNOTHREAD | WNOHANG);
    if (r > 0 || (r < 0 && errno == EINTR)) continue;
    if (r < 0 || Clock::now() >= deadline) return;  // ECHILD: nothing traced any more
    timespec pause{0, pauseNs};
    ::nanosleep(&pause, nullptr);
    if (pauseNs < 5 * 1000 * 1000) pauseNs *= 2;
  }
}

// Writes one dump into a file that did not exist before; removes it when the
// write fails.
bool WriteDumpFile(const std::string& path, std::int32_t pid, const CrashInfo& info, bool fullMemory) {
  platform::ScopedFd file(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (!file.valid()) return false;
  bool written = WriteMinidump(pid, info, fullMemory, file.get());
  if (written && ::fsync(file.get()) != 0) written = false;
  file.reset();
  if (!written) ::unlink(path.c_str());
  return written;
}

}  // namespace

struct CrashGenerationServer::Impl {
  std::string socketName;
  OnClientConnectedCallback connectCallback;
  void* connectContext;
  OnClientDumpRequestCallback dumpCallback;
  void* dumpContext;
  OnClientExitedCallback exitCallback;
  void* exitContext;
  bool generateDumps;
  std::wstring dumpFolder;

  pid_t ownerPid = 0;
  bool started = false;
  platform::ScopedFd listenFd;
  platform::ScopedFd wakeFd;  // eventfd: stop requested or connections handed back
  std::thread pollThread;
  std::vector<std::thread> workers;

  std::mutex mutex;
  std::condition_variable workAvailable;
  bool stopping = false;
  std::deque<std::function<void()>> tasks;
  std::vector<std::shared_ptr<Connection>> handedBack;

  // Owned by the poll thread.
  std::map<int, std::shared_ptr<Connection>> connections;
  std::vector<std::uint8_t> buffer = std::vector<std::uint8_t>(protocol::kMaxMessageBytes + 1);

  void Wake() {
    const std::uint64_t one = 1;
    (void)!::write(wakeFd.get(), &one, sizeof(one));
  }

  void Post(std::function<void()> task) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      tasks.push_back(std::move(task));
    }
    workAvailable.notify_one();
  }

  void WorkerLoop() {
    for (;;) {
      std::function<void()> task;
      {
        std::unique_lock<std::mutex> lock(mutex);
        workAvailable.wait(lock, [this] { return stopping || !tasks.empty(); });
        if (stopping) return;
        task = std::move(tasks.front());
        tasks.pop_front();
      }
      task();
    }
  }

  void HandBack(std::shared_ptr<Connection> connection) {
    {
      std::lock_guard<std::mutex> lock(mutex);
      if (stopping) return;
      handedBack.push_back(std::move(connection));
    }
    Wake();
  }

  void Accept() {
    while (connections.size() < kMaxConnections) {
      platform::ScopedFd fd(::accept4(listenFd.get(), nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK));
      if (!fd.valid()) return;  // EAGAIN, or a connection that died in the backlog
      ucred credentials{};
      socklen_t length = sizeof(credentials);
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERCRED, &credentials, &length) != 0 || credentials.pid <= 0) {
        continue;
      }
      auto connection = std::make_shared<Connection>();
      int pidfd = -1;
      length = sizeof(pidfd);
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_PEERPIDFD, &pidfd, &length) != 0) {
        pidfd = static_cast<int>(::syscall(SYS_pidfd_open, credentials.pid, 0));
      }
      connection->pidfd.reset(pidfd);
      connection->pid = credentials.pid;
      connection->uid = credentials.uid;
      connection->registerDeadline = Clock::now() + kRegisterTimeout;
      const int key = fd.get();
      connection->fd = std::move(fd);
      connections[key] = std::move(connection);
    }
  }

  // Reads one record from a connection; false when the connection must be dropped.
  bool Receive(const std::shared_ptr<Connection>& connection) {
    const ssize_t n = ::recv(connection->fd.get(), buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_TRUNC);
    if (n < 0) return errno == EAGAIN || errno == EINTR;
    if (n == 0 || static_cast<std::size_t>(n) > protocol::kMaxMessageBytes) return false;
    const auto size = static_cast<std::size_t>(n);

    if (!connection->client) {
      protocol::RegisterRequest request;
      if (!protocol::ParseRegisterRequest(buffer.data(), size, request)) return false;
      request.entries.push_back({L"ptime", ProcessRunTimeMs(connection->pid)});
      protocol::RegisterAnswer answer{};
      protocol::FillRegisterAnswer(ownerPid, answer);
      if (::send(connection->fd.get(), &answer, sizeof(answer), MSG_DONTWAIT | MSG_NOSIGNAL) !=
          static_cast<ssize_t>(sizeof(answer))) {
        return false;
      }
      connection->client = std::make_shared<const ClientInfo>(connection->pid, connection->uid, request.dumpType,
                                                               std::move(request.entries));
      if (connectCallback != nullptr) {
        auto client = connection->client;
        Post([this, client] { connectCallback(connectContext, client.get()); });
      }
      return true;
    }

    CrashInfo info;
    if (!protocol::ParseDumpRequest(buffer.data(), size, info)) return false;
    // The connection leaves the poll set until the dump is answered.
    auto busy = connection;
    connections.erase(connection->fd.get());
    Post([this, busy, info] { ServeDump(busy, info); });
    return true;
  }

  void ServeDump(const std::shared_ptr<Connection>& connection, const CrashInfo& info) {
    const protocol::DumpResult result = Dump(*connection, info);
    CollectKilledTracees();
    protocol::DumpAnswer answer{};
    protocol::FillDumpAnswer(result, answer);
    if (::send(connection->fd.get(), &answer, sizeof(answer), MSG_DONTWAIT | MSG_NOSIGNAL) ==
        static_cast<ssize_t>(sizeof(answer))) {
      HandBack(connection);
    } else {
      ClientGone(connection);
    }
  }

  protocol::DumpResult Dump(const Connection& connection, const CrashInfo& info) {
    // Only the peer process itself is dumped, and only while it is still the
    // process the kernel named at connect time.
    if (ProcessEnded(connection.pidfd) || !ThreadOfProcess(connection.pid, info.tid)) {
      return protocol::DumpResult::Refused;
    }
    if (!generateDumps) return protocol::DumpResult::Failed;
    std::string guid;
    if (!NewGuidText(guid)) return protocol::DumpResult::Failed;
    std::string folder = KLLib::strings::toAstr(dumpFolder);
    if (folder.empty() || folder.back() != '/') folder += '/';
    const std::string path = folder + guid + ".dmp";
    if (!WriteDumpFile(path, connection.pid, info, false)) return protocol::DumpResult::Failed;
    if (connection.client->dumpType() == protocol::DumpType::FullMemory) {
      WriteDumpFile(folder + guid + "-full.dmp", connection.pid, info, true);
    }
    if (dumpCallback != nullptr) {
      const std::wstring widePath = KLLib::strings::toWstr(path);
      dumpCallback(dumpContext, connection.client.get(), &widePath);
    }
    return protocol::DumpResult::Written;
  }

  void ClientGone(const std::shared_ptr<Connection>& connection) {
    if (exitCallback != nullptr && connection->client) {
      auto client = connection->client;
      Post([this, client] { exitCallback(exitContext, client.get()); });
    }
  }

  void PollLoop() {
    std::vector<pollfd> fds;
    for (;;) {
      fds.clear();
      fds.push_back({listenFd.get(), static_cast<short>(connections.size() < kMaxConnections ? POLLIN : 0), 0});
      fds.push_back({wakeFd.get(), POLLIN, 0});
      auto nearest = Clock::time_point::max();
      for (const auto& entry : connections) {
        fds.push_back({entry.first, POLLIN, 0});
        if (!entry.second->client && entry.second->registerDeadline < nearest) {
          nearest = entry.second->registerDeadline;
        }
      }
      int timeoutMs = -1;
      if (nearest != Clock::time_point::max()) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(nearest - Clock::now()).count();
        timeoutMs = left < 0 ? 0 : static_cast<int>(left) + 1;
      }
      if (::poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) return;

      if (fds[1].revents != 0) {
        std::uint64_t count = 0;
        (void)!::read(wakeFd.get(), &count, sizeof(count));
        std::lock_guard<std::mutex> lock(mutex);
        if (stopping) return;
        for (auto& connection : handedBack) {
          const int key = connection->fd.get();
          connections[key] = std::move(connection);
        }
        handedBack.clear();
      }
      for (std::size_t i = 2; i < fds.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto found = connections.find(fds[i].fd);
        if (found == connections.end()) continue;
        auto connection = found->second;
        const bool keep = (fds[i].revents & POLLIN) != 0 ? Receive(connection)
                                                          : false;  // hang-up or error without data
        if (!keep) {
          connections.erase(fds[i].fd);
          ClientGone(connection);
        }
      }
      const auto now = Clock::now();
      for (auto it = connections.begin(); it != connections.end();) {
        if (!it->second->client && it->second->registerDeadline <= now) {
          it = connections.erase(it);
        } else {
          ++it;
        }
      }
      if (fds[0].revents != 0) Accept();
    }
  }
};

CrashGenerationServer::CrashGenerationServer(const std::string& socketName, OnClientConnectedCallback connectCallback,
                                             void* connectContext, OnClientDumpRequestCallback dumpCallback,
                                             void* dumpContext, OnClientExitedCallback exitCallback,
                                             void* exitContext, bool generateDumps, const std::wstring& dumpFolder)
    : impl_(new Impl) {
  impl_->socketName = socketName;
  impl_->connectCallback = connectCallback;
  impl_->connectContext = connectContext;
  impl_->dumpCallback = dumpCallback;
  impl_->dumpContext = dumpContext;
  impl_->exitCallback = exitCallback;
  impl_->exitContext = exitContext;
  impl_->generateDumps = generateDumps;
  impl_->dumpFolder = dumpFolder;
}

CrashGenerationServer::~CrashGenerationServer() {
  if (!impl_->started) return;
  if (impl_->ownerPid != ::getpid()) {
    // A forked child holds a copy without the threads: nothing to stop or join.
    impl_.release();
    return;
  }
  {
    std::lock_guard<std::mutex> lock(impl_->mutex);
    impl_->stopping = true;
  }
  impl_->workAvailable.notify_all();
  impl_->Wake();
  if (impl_->pollThread.joinable()) impl_->pollThread.join();
  for (std::thread& worker : impl_->workers) worker.join();
}

bool CrashGenerationServer::Start() {
  Impl& impl = *impl_;
  if (impl.started) {
    errno = EALREADY;
    return false;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (impl.socketName.empty() || impl.socketName.size() + 1 > sizeof(address.sun_path)) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(address.sun_path + 1, impl.socketName.data(), impl.socketName.size());
  const auto length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + impl.socketName.size());

  platform::ScopedFd listenFd(::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!listenFd.valid()) return false;
  if (::bind(listenFd.get(), reinterpret_cast<const sockaddr*>(&address), length) != 0) return false;
  if (::listen(listenFd.get(), SOMAXCONN) != 0) return false;
  platform::ScopedFd wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  if (!wakeFd.valid()) return false;

  impl.listenFd = std::move(listenFd);
  impl.wakeFd = std::move(wakeFd);
  impl.ownerPid = ::getpid();

  // The server's threads take no process signals: the program handles those on its own threads.
  sigset_t all;
  sigset_t previous;
  ::sigfillset(&all);
  ::pthread_sigmask(SIG_SETMASK, &all, &previous);
  bool ok = true;
  try {
    impl.started = true;
    impl.pollThread = std::thread([&impl] { impl.PollLoop(); });
    for (int i = 0; i < kWorkerThreads; ++i) impl.workers.emplace_back([&impl] { impl.WorkerLoop(); });
  } catch (const std::system_error&) {
    ok = false;
  }
  ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (!ok) {
    // The destructor stops whatever did start.
    errno = EAGAIN;
    return false;
  }
  return true;
}

}  // namespace crash
