// The system's service manager (systemd) seen as a service control manager:
// a service's installation, control and status reporting, the dispatcher that
// runs a service's main function, and the registration of its control handler.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace platform {

// Service states, as report_status takes them.
enum ServiceState : std::uint32_t {
  SERVICE_STOPPED = 1,
  SERVICE_START_PENDING = 2,
  SERVICE_STOP_PENDING = 3,
  SERVICE_RUNNING = 4,
};

// Control codes, as a control handler receives them.
enum ServiceControlCode : std::uint32_t {
  SERVICE_CONTROL_STOP = 1,
  SERVICE_CONTROL_INTERROGATE = 4,
  SERVICE_CONTROL_SHUTDOWN = 5,
};

constexpr std::uint32_t SERVICE_AUTO_START = 2;
constexpr std::uint32_t SERVICE_DEMAND_START = 3;

// The exit code of a process whose dispatcher ran (its result, nonzero);
// the unit declares it a success, so an orderly stop is not a failure.
constexpr int kDispatcherExitCode = 1;

// Opaque token from RegisterServiceCtrlHandler; 0 is none.
using ServiceStatusHandle = std::uintptr_t;

using ServiceMainFunction = void (*)(std::uint32_t argc, wchar_t** argv);
using ServiceCtrlHandlerFunction = void (*)(std::uint32_t control);

struct ServiceTableEntry {
  const wchar_t* serviceName;
  ServiceMainFunction serviceMain;
};

// A service as systemd knows it: the unit "<name>.service" in the unit
// folder (/etc/systemd/system, or $ORVANTA_SYSTEMD_UNIT_DIR when set),
// driven through the `systemctl` found on PATH. Results are 0 on success and
// -1 on failure; nothing is printed.
class ServiceControl {
 public:
  ServiceControl(std::uint32_t startTimeoutMs, std::uint32_t serviceType, std::uint32_t controlsAccepted);
  virtual ~ServiceControl();
  ServiceControl(const ServiceControl&) = delete;
  ServiceControl& operator=(const ServiceControl&) = delete;

  // Sets the service's name (the unit is "<name>.service") and description.
  void name(const wchar_t* serviceName, const wchar_t* description = nullptr);
  const std::wstring& name() const { return name_; }
  // The unit's Description=; kept by a later name() without one.
  void description(const wchar_t* text) { description_ = text != nullptr ? text : L""; }

  // Writes the unit, reloads systemd and, for SERVICE_AUTO_START, enables it.
  // A null `exePath` registers the running executable. Group, tag,
  // dependencies, account, password and access have no counterpart in a unit
  // and are ignored. -1 when the unit exists already or a step failed; then
  // no unit file is left behind.
  int insert(std::uint32_t startType = SERVICE_DEMAND_START, std::uint32_t errorControl = 0,
             const wchar_t* exePath = nullptr, const wchar_t* groupName = nullptr,
             std::uint32_t* tagId = nullptr, const wchar_t* dependencies = nullptr,
             const wchar_t* accountName = nullptr, const wchar_t* password = nullptr,
             std::uint32_t desiredAccess = 0xF01FF);
  // Disables the unit, deletes it and reloads systemd. -1 when not installed
  // or a step failed.
  int remove();
  // `systemctl start|stop --no-block`: asks and does not wait. The wait time,
  // state output and start arguments are accepted and unused.
  int start_svc(const void* waitTime = nullptr, std::uint32_t* state = nullptr, std::uint32_t argc = 0,
                const wchar_t** argv = nullptr);
  int stop_svc(const void* waitTime = nullptr, std::uint32_t* state = nullptr);

  // Tells the service manager the new state: running sends "READY=1",
  // stop pending "STOPPING=1", each with a STATUS= text. -1 without a
  // registered status handle or when the message could not be sent.
  int report_status(std::uint32_t newState, std::uint32_t waitHint = 0);
  std::uint32_t current_state() const { return state_; }

  // Reports start pending, runs svc() on the calling thread, reports
  // stopped; returns svc()'s result.
  virtual int open(void* args = nullptr);
  // No thread of the service is left to wait for: 0.
  virtual int wait();
  virtual int init(int argc, wchar_t** argv);
  virtual int fini();
  // The service's work; runs on the thread of open(). The base does nothing.
  virtual int svc();
  // Stop and shutdown report stop pending; interrogate reports the current
  // state again; other codes are ignored.
  virtual void handle_control(std::uint32_t controlCode);

  void svc_handle(ServiceStatusHandle handle) { statusHandle_ = handle; }
  ServiceStatusHandle svc_handle() const { return statusHandle_; }

 private:
  std::wstring name_;
  std::wstring description_;
  std::uint32_t startTimeoutMs_;
  std::uint32_t serviceType_;
  std::uint32_t controlsAccepted_;
  // Both are set on the service thread and read by the control handler on the
  // dispatcher thread, which may run at the same moment.
  std::atomic<std::uint32_t> state_{SERVICE_STOPPED};
  std::atomic<ServiceStatusHandle> statusHandle_{0};
};

// The text of the unit file for `exePath` (UTF-8): Type=notify, the path
// quoted for ExecStart, the dispatcher's exit code as a success, and
// WantedBy=multi-user.target when `autoStart`.
std::string BuildUnitText(const std::string& description, const std::string& exePath, bool autoStart);

// Registers the control handler of the running service; the dispatcher calls
// it on the main thread with SERVICE_CONTROL_STOP when SIGTERM arrives. The
// name is only a label here. A nonzero status handle; 0 when `handler` is null.
ServiceStatusHandle RegisterServiceCtrlHandler(const wchar_t* serviceName, ServiceCtrlHandlerFunction handler);

// Runs the first service of `table` when a service manager started this
// process (NOTIFY_SOCKET set): its main function on a thread of its own,
// while the calling thread waits for signals and turns SIGTERM into
// SERVICE_CONTROL_STOP for the registered handler. SIGTERM must already be
// blocked in every thread (BlockConsoleSignals at the start of main).
// Returns nonzero once the service's main function has returned; 0 at once,
// with nothing run, when no service manager started the process or the
// thread could not be made.
int StartServiceCtrlDispatcher(const ServiceTableEntry* table);

// Lowers every thread of the process to below-normal priority (nice 5);
// threads created later inherit it from their creator. False when a thread
// could not be lowered.
bool SetPriorityBelowNormal();

}  // namespace platform
