#include "config/CSettings.h"

#include <iostream>
#include <new>

#include <ace/Guard_T.h>
#include <ace/Thread_Mutex.h>

#include "kllib/KLLib.h"
#include "platform/AppDataFolder.h"

std::atomic<CSettings*> CSettings::instance{nullptr};

namespace {

// Guards creation only; lives from static initialisation to process exit.
ACE_Thread_Mutex creationLock;

}  // namespace

CSettings* CSettings::Instance() {
  // Acquire pairs with the release below: a thread that sees the pointer also
  // sees the fully built object.
  CSettings* settings = instance.load(std::memory_order_acquire);
  if (settings != nullptr) return settings;

  ACE_Guard<ACE_Thread_Mutex> guard(creationLock);
  settings = instance.load(std::memory_order_relaxed);
  if (settings == nullptr) {
    // A throwing constructor frees the memory and leaves the pointer null.
    settings = new (std::nothrow) CSettings();
    instance.store(settings, std::memory_order_release);
  }
  return settings;
}

void CSettings::DestroyInstance() {
  delete instance.exchange(nullptr, std::memory_order_acq_rel);
}

CSettings::CSettings() {
  std::wstring appData;
  if (!platform::GetAppDataFolder(appData)) {
    std::cerr << "common data " << std::endl;
    return;
  }
  dataFolder = appData + L"/Orvanta/Keldra 7";

  std::wstring redirected;
  if (KLLib::system::GetWow64FsRedirectedFilePath(dataFolder, redirected)) dataFolder = redirected;

  tempFolder = KLLib::filesystem::GetTempFolderPath();
  coordinatorHost = L"localhost";
  coordinatorPort = L"1755";
  debugLevel = L"1";
  isSecure = false;
  computerNetworkName = KLLib::strings::toAstr(KLLib::system::GetComputerNetworkName());
}

std::wstring CSettings::GetSettingsFilePath() const { return dataFolder + L"/Settings/Services/update.kll"; }

std::wstring CSettings::GetLogFilePath() const { return dataFolder + L"/logs/update.log"; }

std::wstring CSettings::GetCrashDumpsFolder() const { return tempFolder + L"kl_crashdumps"; }

std::wstring CSettings::GetCoordinatorHost() const { return coordinatorHost; }

std::wstring CSettings::GetCoordinatorPort() const { return coordinatorPort; }

std::wstring CSettings::GetDebugLevel() const { return debugLevel; }

std::string CSettings::GetComputerNetworkNameA() const { return computerNetworkName; }
