#include "launcher/Launcher_impl.h"

#include "launcher/ExecuteCommandLine.h"
#include "launcher/GrantServiceLogonRight.h"
#include "launcher/LauncherCommands.h"

namespace {

bool IsEmpty(const wchar_t* text) { return text == nullptr || text[0] == L'\0'; }

// Values go in exactly as received: nothing is quoted, escaped or doubled.
std::wstring BuildCommandLine(const std::wstring& executablePath, wchar_t switchLetter,
                              const std::wstring& serviceName) {
  std::wstring line = executablePath;
  line += L" -";
  line += switchLetter;
  line += L" \"";
  line += serviceName;
  line += L'"';
  return line;
}

bool IsKnownKind(RuraduZezarev::KLServices kind) {
  return kind == RuraduZezarev::SERVER_SERVICE || kind == RuraduZezarev::WORKSTATION_SERVICE;
}

}  // namespace

std::wstring BuildInstallCommandLine(const std::wstring& serviceName, const std::wstring& accountName,
                                     const std::wstring& password, const std::wstring& executablePath) {
  std::wstring line = BuildCommandLine(executablePath, L'i', serviceName);
  line += L" \"";
  line += accountName;
  line += L"\" \"";
  line += password;
  line += L'"';
  return line;
}

std::wstring BuildRemoveCommandLine(const std::wstring& serviceName, const std::wstring& executablePath) {
  return BuildCommandLine(executablePath, L'r', serviceName);
}

std::wstring BuildStartCommandLine(const std::wstring& serviceName, const std::wstring& executablePath) {
  return BuildCommandLine(executablePath, L's', serviceName);
}

std::wstring BuildStopCommandLine(const std::wstring& serviceName, const std::wstring& executablePath) {
  return BuildCommandLine(executablePath, L'k', serviceName);
}

bool RunInstallCommand(const wchar_t* serviceName, const wchar_t* accountName, const wchar_t* password,
                       const std::wstring& executablePath) {
  if (IsEmpty(serviceName) || IsEmpty(accountName) || IsEmpty(password)) return false;
  if (!GrantServiceLogonRight(accountName)) return false;
  std::wstring line = BuildInstallCommandLine(serviceName, accountName, password, executablePath);
  // The log must never hold the account's password.
  const std::wstring logged = BuildInstallCommandLine(serviceName, accountName, kPasswordMask, executablePath);
  if (!ExecuteCommandLine(line, logged)) return false;
  return RunStartCommand(serviceName, executablePath);
}

bool RunRemoveCommand(const wchar_t* serviceName, const std::wstring& executablePath) {
  if (IsEmpty(serviceName)) return false;
  if (!RunStopCommand(serviceName, executablePath)) return false;
  std::wstring line = BuildRemoveCommandLine(serviceName, executablePath);
  return ExecuteCommandLine(line);
}

bool RunStartCommand(const wchar_t* serviceName, const std::wstring& executablePath) {
  if (IsEmpty(serviceName)) return false;
  std::wstring line = BuildStartCommandLine(serviceName, executablePath);
  return ExecuteCommandLine(line);
}

bool RunStopCommand(const wchar_t* serviceName, const std::wstring& executablePath) {
  if (IsEmpty(serviceName)) return false;
  std::wstring line = BuildStopCommandLine(serviceName, executablePath);
  return ExecuteCommandLine(line);
}

CORBA::Boolean Launcher_impl::CreateService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                                            const CORBA::WChar* accountName, const CORBA::WChar* password,
                                            const CORBA::WChar* executablePath) {
  if (!IsKnownKind(kind)) return false;
  const std::wstring path = executablePath != nullptr ? executablePath : L"";
  return RunInstallCommand(serviceName, accountName, password, path);
}

CORBA::Boolean Launcher_impl::RemoveService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                                            const CORBA::WChar* executablePath) {
  if (!IsKnownKind(kind)) return false;
  const std::wstring path = executablePath != nullptr ? executablePath : L"";
  return RunRemoveCommand(serviceName, path);
}

CORBA::Boolean Launcher_impl::StartService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                                           const CORBA::WChar* executablePath) {
  if (!IsKnownKind(kind)) return false;
  const std::wstring path = executablePath != nullptr ? executablePath : L"";
  return RunStartCommand(serviceName, path);
}

CORBA::Boolean Launcher_impl::StopService(RuraduZezarev::KLServices kind, const CORBA::WChar* serviceName,
                                          const CORBA::WChar* executablePath) {
  if (!IsKnownKind(kind)) return false;
  const std::wstring path = executablePath != nullptr ? executablePath : L"";
  return RunStopCommand(serviceName, path);
}
