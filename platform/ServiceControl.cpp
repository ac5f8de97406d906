#include "platform/ServiceControl.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "kllib/KLLib.h"
#include "platform/Process.h"
#include "platform/ScopedFd.h"
#include "platform/ServiceNotify.h"

namespace platform {
namespace {

constexpr int kBelowNormalNice = 5;

std::string UnitFolder() {
  const char* folder = std::getenv("ORVANTA_SYSTEMD_UNIT_DIR");
  if (folder != nullptr && folder[0] != '\0') return folder;
  return "/etc/systemd/system";
}

// `systemctl --quiet ARGS...` from PATH; true when it ran and exited 0.
bool RunSystemctl(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"systemctl", "--quiet"};
  argv.insert(argv.end(), args.begin(), args.end());
  ChildProcess child;
  if (ChildProcess::Spawn(argv, child) != 0) return false;
  int status = 0;
  if (!child.Wait(status)) return false;
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string RunningExecutable() {
  std::vector<char> buffer(4096);
  for (;;) {
    ssize_t n = ::readlink("/proc/self/exe", buffer.data(), buffer.size());
    if (n < 0) return std::string();
    if (static_cast<size_t>(n) < buffer.size()) return std::string(buffer.data(), static_cast<size_t>(n));
    buffer.resize(buffer.size() * 2);
  }
}

bool WriteAll(int fd, const std::string& text) {
  const char* p = text.data();
  size_t left = text.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += n;
    left -= static_cast<size_t>(n);
  }
  return true;
}

// systemd expands specifiers (%) and variables ($) in ExecStart, and splits
// it at white space unless quoted.
std::string QuoteForExecStart(const std::string& path) {
  bool needsQuotes = path.find_first_of(" \t\"'\\") != std::string::npos;
  std::string quoted;
  if (needsQuotes) quoted += '"';
  for (char c : path) {
    if (c == '%') {
      quoted += "%%";
    } else if (c == '$') {
      quoted += "$$";
    } else if (needsQuotes && (c == '"' || c == '\\')) {
      quoted += '\\';
      quoted += c;
    } else {
      quoted += c;
    }
  }
  if (needsQuotes) quoted += '"';
  return quoted;
}

std::atomic<ServiceCtrlHandlerFunction> registeredHandler{nullptr};
// The eventfd the dispatcher's wait also watches; -1 while no dispatcher runs.
std::atomic<int> dispatcherWakeFd{-1};

void WakeDispatcher() {
  int fd = dispatcherWakeFd.load();
  if (fd < 0) return;
  std::uint64_t one = 1;
  ssize_t n;
  do {
    n = ::write(fd, &one, sizeof one);
  } while (n < 0 && errno == EINTR);
}

}  // namespace

ServiceControl::ServiceControl(std::uint32_t startTimeoutMs, std::uint32_t serviceType,
                               std::uint32_t controlsAccepted)
    : startTimeoutMs_(startTimeoutMs), serviceType_(serviceType), controlsAccepted_(controlsAccepted) {}

ServiceControl::~ServiceControl() = default;

void ServiceControl::name(const wchar_t* serviceName, const wchar_t* description) {
  name_ = serviceName != nullptr ? serviceName : L"";
  if (description != nullptr) {
    description_ = description;
  } else if (description_.empty()) {
    description_ = name_;
  }
}

std::string BuildUnitText(const std::string& description, const std::string& exePath, bool autoStart) {
  std::string text;
  text += "[Unit]\n";
  text += "Description=" + description + "\n";
  text += "\n[Service]\n";
  text += "Type=notify\n";
  text += "ExecStart=" + QuoteForExecStart(exePath) + "\n";
  text += "SuccessExitStatus=" + std::to_string(kDispatcherExitCode) + "\n";
  if (autoStart) {
    text += "\n[Install]\n";
    text += "WantedBy=multi-user.target\n";
  }
  return text;
}

int ServiceControl::insert(std::uint32_t startType, std::uint32_t errorControl, const wchar_t* exePath,
                           const wchar_t* groupName, std::uint32_t* tagId, const wchar_t* dependencies,
                           const wchar_t* accountName, const wchar_t* password, std::uint32_t desiredAccess) {
  if (name_.empty()) return -1;
  std::string executable = exePath != nullptr ? KLLib::strings::toAstr(exePath) : RunningExecutable();
  if (executable.empty()) return -1;
  std::string unit = KLLib::strings::toAstr(name_) + ".service";
  std::string unitPath = UnitFolder() + "/" + unit;
  bool autoStart = startType == SERVICE_AUTO_START;

  // O_EXCL: an installed service is never overwritten.
  ScopedFd fd(::open(unitPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
  if (!fd.valid()) return -1;
  bool written = WriteAll(fd.get(), BuildUnitText(KLLib::strings::toAstr(description_), executable, autoStart));
  fd.reset();
  if (!written || !RunSystemctl({"daemon-reload"}) || (autoStart && !RunSystemctl({"enable", unit}))) {
    ::unlink(unitPath.c_str());
    return -1;
  }
  return 0;
}

int ServiceControl::remove() {
  if (name_.empty()) return -1;
  std::string unit = KLLib::strings::toAstr(name_) + ".service";
  std::string unitPath = UnitFolder() + "/" + unit;
  struct stat info;
  if (::lstat(unitPath.c_str(), &info) != 0) return -1;
  if (!RunSystemctl({"disable", unit})) return -1;
  if (::unlink(unitPath.c_str()) != 0) return -1;
  return RunSystemctl({"daemon-reload"}) ? 0 : -1;
}

int ServiceControl::start_svc(const void*, std::uint32_t*, std::uint32_t, const wchar_t**) {
  if (name_.empty()) return -1;
  return RunSystemctl({"start", "--no-block", KLLib::strings::toAstr(name_) + ".service"}) ? 0 : -1;
}

int ServiceControl::stop_svc(const void*, std::uint32_t*) {
  if (name_.empty()) return -1;
  return RunSystemctl({"stop", "--no-block", KLLib::strings::toAstr(name_) + ".service"}) ? 0 : -1;
}

int ServiceControl::report_status(std::uint32_t newState, std::uint32_t waitHint) {
  state_ = newState;
  if (statusHandle_ == 0) return -1;
  const char* message = nullptr;
  switch (newState) {
    case SERVICE_START_PENDING:
      message = "STATUS=Starting";
      break;
    case SERVICE_RUNNING:
      message = "READY=1\nSTATUS=Running";
      break;
    case SERVICE_STOP_PENDING:
      message = "STOPPING=1\nSTATUS=Stopping";
      break;
    case SERVICE_STOPPED:
      message = "STATUS=Stopped";
      break;
    default:
      return -1;
  }
  return NotifyServiceManager(message) == 1 ? 0 : -1;
}

int ServiceControl::open(void*) {
  report_status(SERVICE_START_PENDING, 0);
  int result = svc();
  report_status(SERVICE_STOPPED, 0);
  return result;
}

int ServiceControl::wait() { return 0; }

int ServiceControl::init(int, wchar_t**) { return 0; }

int ServiceControl::fini() { return 0; }

int ServiceControl::svc() { return 0; }

void ServiceControl::handle_control(std::uint32_t controlCode) {
  switch (controlCode) {
    case SERVICE_CONTROL_STOP:
    case SERVICE_CONTROL_SHUTDOWN:
      report_status(SERVICE_STOP_PENDING, 0);
      break;
    case SERVICE_CONTROL_INTERROGATE:
      report_status(state_, 0);
      break;
    default:
      break;
  }
}

ServiceStatusHandle RegisterServiceCtrlHandler(const wchar_t*, ServiceCtrlHandlerFunction handler) {
  if (handler == nullptr) return 0;
  registeredHandler.store(handler);
  // A SIGTERM that came before the handler existed is delivered now.
  WakeDispatcher();
  return 1;
}

int StartServiceCtrlDispatcher(const ServiceTableEntry* table) {
  if (!HasServiceManager() || table == nullptr || table[0].serviceMain == nullptr) return 0;

  sigset_t term;
  sigemptyset(&term);
  sigaddset(&term, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &term, nullptr);
  ScopedFd signalFd(::signalfd(-1, &term, SFD_CLOEXEC));
  ScopedFd wakeFd(::eventfd(0, EFD_CLOEXEC));
  if (!signalFd.valid() || !wakeFd.valid()) return 0;
  dispatcherWakeFd.store(wakeFd.get());

  std::wstring serviceName = table[0].serviceName != nullptr ? table[0].serviceName : L"";
  ServiceMainFunction serviceMain = table[0].serviceMain;
  std::atomic<bool> finished{false};
  std::thread serviceThread;
  try {
    serviceThread = std::thread([&serviceName, serviceMain, &finished] {
      wchar_t* argv[] = {&serviceName[0], nullptr};
      serviceMain(1, argv);
      finished.store(true);
      WakeDispatcher();
    });
  } catch (const std::system_error&) {
    dispatcherWakeFd.store(-1);
    return 0;
  }

  bool stopPending = false;
  while (!finished.load()) {
    pollfd fds[2] = {{signalFd.get(), POLLIN, 0}, {wakeFd.get(), POLLIN, 0}};
    // No bound: the service runs until it is stopped or ends by itself.
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    if (fds[0].revents & POLLIN) {
      signalfd_siginfo info;
      if (::read(signalFd.get(), &info, sizeof info) == static_cast<ssize_t>(sizeof info)) stopPending = true;
    }
    if (fds[1].revents & POLLIN) {
      std::uint64_t count;
      (void)::read(wakeFd.get(), &count, sizeof count);
    }
    ServiceCtrlHandlerFunction handler = registeredHandler.load();
    if (stopPending && handler != nullptr) {
      stopPending = false;
      handler(SERVICE_CONTROL_STOP);
    }
  }
  serviceThread.join();
  dispatcherWakeFd.store(-1);
  return kDispatcherExitCode;
}

bool SetPriorityBelowNormal() {
  DIR* tasks = ::opendir("/proc/self/task");
  if (tasks == nullptr) return false;
  bool allLowered = true;
  while (dirent* entry = ::readdir(tasks)) {
    char* end = nullptr;
    long tid = std::strtol(entry->d_name, &end, 10);
    if (end == entry->d_name || *end != '\0') continue;
    // nice is a property of each thread on Linux, not of the process.
    if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), kBelowNormalNice) != 0 && errno != ESRCH) {
      allLowered = false;
    }
  }
  ::closedir(tasks);
  return allLowered;
}

}  // namespace platform
