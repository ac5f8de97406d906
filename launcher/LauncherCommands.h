// The command functions behind the Launcher operations and the command lines
// they give the family service's executable. Internal to launcher/.
#pragma once

#include <string>

// Shown in the log in place of the password of an install command line.
constexpr const wchar_t kPasswordMask[] = L"********";

// `executablePath` -i "serviceName" "accountName" "password"
std::wstring BuildInstallCommandLine(const std::wstring& serviceName, const std::wstring& accountName,
                                     const std::wstring& password, const std::wstring& executablePath);
// `executablePath` -r "serviceName"
std::wstring BuildRemoveCommandLine(const std::wstring& serviceName, const std::wstring& executablePath);
// `executablePath` -s "serviceName"
std::wstring BuildStartCommandLine(const std::wstring& serviceName, const std::wstring& executablePath);
// `executablePath` -k "serviceName"
std::wstring BuildStopCommandLine(const std::wstring& serviceName, const std::wstring& executablePath);

// Each returns false at once when a required string is empty (executablePath
// is never checked), false when a step fails (later steps are then not run),
// and true when every command line ran to the end of its process.
// Install: grant the logon right, run the install line (logged with the
// password masked), then RunStartCommand.
bool RunInstallCommand(const wchar_t* serviceName, const wchar_t* accountName, const wchar_t* password,
                       const std::wstring& executablePath);
// Remove: RunStopCommand, then the remove line.
bool RunRemoveCommand(const wchar_t* serviceName, const std::wstring& executablePath);
bool RunStartCommand(const wchar_t* serviceName, const std::wstring& executablePath);
bool RunStopCommand(const wchar_t* serviceName, const std::wstring& executablePath);
