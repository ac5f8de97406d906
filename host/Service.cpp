#include "host/Service.h"

#include <cerrno>
#include <new>

#include "host/CBackupServer.h"

Service* processService = nullptr;

const wchar_t* const kServiceDisplayName = L"Orvanta Update Service";

namespace {
constexpr std::uint32_t kStartTimeoutMs = 5000;
constexpr std::uint32_t kOwnProcess = 0x10;
constexpr std::uint32_t kAcceptStop = 1;
}  // namespace

Service::Service() : platform::ServiceControl(kStartTimeoutMs, kOwnProcess, kAcceptStop) {
  description(kServiceDisplayName);
}

Service::~Service() = default;

int Service::svc() {
  platform::SetPriorityBelowNormal();
  server = std::make_unique<CBackupServer>();
  report_status(platform::SERVICE_RUNNING, 0);
  int result = server->Run(runArgc, runArgv);
  server.reset();
  return result;
}

void Service::handle_control(std::uint32_t controlCode) {
  if (controlCode == platform::SERVICE_CONTROL_STOP || controlCode == platform::SERVICE_CONTROL_SHUTDOWN) {
    report_status(platform::SERVICE_STOP_PENDING, 0);
    CBackupServer::SignalStop();
    return;
  }
  platform::ServiceControl::handle_control(controlCode);
}

void ServiceMain(std::uint32_t argc, wchar_t** argv) {
  bool created = false;
  if (processService == nullptr) {
    Service* service = new (std::nothrow) Service;
    if (service == nullptr) {
      errno = ENOMEM;
      return;
    }
    processService = service;
    created = true;
  }
  Service* service = processService;
  service->init(static_cast<int>(argc), argv);
  service->svc_handle(platform::RegisterServiceCtrlHandler(kServiceDisplayName, ServiceCtrlHandler));
  service->open();
  service->wait();
  service->fini();
  if (created) {
    delete service;
    processService = nullptr;
  }
}

void ServiceCtrlHandler(std::uint32_t controlCode) {
  if (processService != nullptr) processService->handle_control(controlCode);
}
