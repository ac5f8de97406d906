#include "crash/CrashServer.h"

#include <sys/stat.h>

#include <cerrno>
#include <iostream>
#include <memory>

#include <boost/filesystem.hpp>

#include "config/CSettings.h"
#include "crash/CrashGenerationServer.h"
#include "crash/CrashProtocol.h"
#include "kllib/KLLib.h"

namespace {

// The one crash server; destroyed at process exit, which closes the socket.
std::unique_ptr<crash::CrashGenerationServer> gCrashServer;

// Creates `folder` and each missing parent with mode 0700; an existing folder
// is used unchanged. false with the reason when it cannot be checked or made.
bool PrepareDumpsFolder(const std::wstring& folder, std::wstring& reason) {
  namespace fs = boost::filesystem;
  const fs::path path(KLLib::strings::toAstr(folder));
  if (path.empty() || !path.is_absolute()) {
    reason = L"not an absolute path";
    return false;
  }
  fs::path partial;
  for (const fs::path& part : path) {
    partial /= part;
    boost::system::error_code error;
    const fs::file_status status = fs::status(partial, error);
    if (fs::is_directory(status)) continue;
    if (status.type() != fs::file_not_found) {
      reason = error ? KLLib::strings::toWstr(error.message()) : L"exists and is not a folder";
      return false;
    }
    // umask would only narrow 0700, so the mode is exact.
    if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) {
      reason = KLLib::system::GetErrorMsgById(static_cast<std::uint32_t>(errno));
      return false;
    }
    if (!fs::is_directory(partial, error)) {
      reason = L"exists and is not a folder";
      return false;
    }
  }
  return true;
}

}  // namespace

void OnCrashClientConnected(void* /*context*/, const crash::ClientInfo* /*clientInfo*/) {
  std::wcerr << L"app attached" << std::endl;
}

void OnCrashDumpRequest(void* /*context*/, const crash::ClientInfo* clientInfo, const std::wstring* dumpPath) {
  std::wcerr << L"Application crash handled" << std::endl;
  std::wstring appName = L"unknown";
  if (clientInfo != nullptr) {
    for (const crash::protocol::CustomInfoEntry& entry : clientInfo->GetClientCustomInfo()) {
      if (entry.name == L"appname") appName = entry.value;  // the last one wins
    }
  }
  std::wcerr << L"    Name: " << appName << std::endl;
  std::wcerr << L"    Dump: " << (dumpPath != nullptr ? *dumpPath : std::wstring()) << std::endl;
}

void StartCrashServer() {
  CSettings* settings = CSettings::Instance();
  if (settings == nullptr) {
    std::wcerr << L"Crash collection is off: no settings" << std::endl;
    return;
  }
  const std::wstring folder = settings->GetCrashDumpsFolder();
  std::wstring reason;
  if (!PrepareDumpsFolder(folder, reason)) {
    std::wcerr << L"Crash collection is off: cannot use the crash dumps folder " << folder << L": " << reason
               << std::endl;
    return;
  }

  auto server = std::make_unique<crash::CrashGenerationServer>(crash::protocol::kSocketName, OnCrashClientConnected,
                                                               nullptr, OnCrashDumpRequest, nullptr, nullptr,
                                                               nullptr, true, folder);
  gCrashServer = std::move(server);
  if (!gCrashServer->Start()) std::wcerr << L"Unable to start crash server" << std::endl;
}
