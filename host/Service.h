// The update service as a service of the system's service manager: the
// service object and the entry functions the dispatcher calls.
#pragma once

#include <cstdint>
#include <memory>

#include "platform/ServiceControl.h"

class CBackupServer;

class Service : public platform::ServiceControl {
 public:
  // Start timeout 5000 ms, own process, accepts stop only; no server.
  Service();
  // Deletes a server still owned.
  ~Service() override;

  // Lowers the priority, builds the server, reports running, runs the server
  // with runArgc/runArgv and deletes it. The result of CBackupServer::Run.
  int svc() override;
  // Stop and shutdown: reports stop pending and raises the stop signal.
  // Other codes go to the base.
  void handle_control(std::uint32_t controlCode) override;

  std::unique_ptr<CBackupServer> server;
  int runArgc = 0;
  wchar_t** runArgv = nullptr;  // not owned
};

// The service object the entry functions work on; null at process start.
extern Service* processService;

// Registered as the control handler's name.
extern const wchar_t* const kServiceDisplayName;

// The service's main function, run by the dispatcher on a thread of its own.
void ServiceMain(std::uint32_t argc, wchar_t** argv);
// The control handler, called by the dispatcher on the main thread.
void ServiceCtrlHandler(std::uint32_t controlCode);
