// ovupdate: the update service's process entry. One argument selects a
// switch; anything else hands the process to the service dispatcher.
#include <cerrno>
#include <cwctype>
#include <string>
#include <vector>

#include "crash/CrashServer.h"
#include "host/CBackupServer.h"
#include "host/Service.h"
#include "kllib/KLLib.h"
#include "platform/ConsoleControl.h"
#include "platform/ServiceControl.h"
#include "platform/StandardError.h"

namespace {

// Whole-argument comparison, letter case ignored: "-N" is "-n", "-nx" and "/n" are nothing.
bool IsSwitch(const wchar_t* argument, const wchar_t* name) {
  for (; *argument != L'\0' && *name != L'\0'; ++argument, ++name) {
    if (std::towlower(static_cast<wint_t>(*argument)) != std::towlower(static_cast<wint_t>(*name))) return false;
  }
  return *argument == L'\0' && *name == L'\0';
}

bool ConsoleCtrlHandler(unsigned /*eventCode*/) {
  CBackupServer::SignalStop();
  return true;
}

int RunMain(int argc, wchar_t** argv) {
  Service service;
  service.runArgc = argc;
  service.runArgv = argv;
  service.name(L"OVUpdate", nullptr);

  if (argc == 2) {
    const wchar_t* argument = argv[1];
    if (IsSwitch(argument, L"-s")) {
      platform::UnblockConsoleSignals();
      return service.start_svc(nullptr, nullptr, 0, nullptr);
    }
    if (IsSwitch(argument, L"-k")) {
      platform::UnblockConsoleSignals();
      return service.stop_svc(nullptr, nullptr);
    }
    if (IsSwitch(argument, L"-i")) {
      platform::UnblockConsoleSignals();
      return service.insert(platform::SERVICE_AUTO_START, 0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                            0xF01FF);
    }
    if (IsSwitch(argument, L"-n")) {
      CBackupServer server;
      // A console signal that came while the server was being built is still
      // pending (blocked since the start of main) and reaches the handler now.
      platform::SetConsoleCtrlHandler(ConsoleCtrlHandler, true);
      return server.Run(0, nullptr);
    }
    if (IsSwitch(argument, L"-r")) {
      platform::UnblockConsoleSignals();
      return service.remove();
    }
  }

  // Service mode: SIGTERM stays blocked for the dispatcher; the other console
  // signals keep their default actions.
  platform::UnblockConsoleSignals(1u << platform::CTRL_SHUTDOWN_EVENT);
  processService = &service;
  errno = 0;
  static const platform::ServiceTableEntry table[] = {
      {L"_service", ServiceMain},
      {nullptr, nullptr},
  };
  int result = platform::StartServiceCtrlDispatcher(table);
  processService = nullptr;
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // Before anything writes to standard error or starts a thread.
  platform::InstallWideStandardError();
  platform::BlockConsoleSignals();

  std::vector<std::wstring> arguments;
  arguments.reserve(static_cast<size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(KLLib::strings::toWstr(argv[i]));
  std::vector<wchar_t*> wideArgv;
  for (std::wstring& argument : arguments) wideArgv.push_back(&argument[0]);
  wideArgv.push_back(nullptr);

  StartCrashServer();
  return RunMain(argc, wideArgv.data());
}
