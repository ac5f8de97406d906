// The process-wide store of the update service's configuration: folders,
// paths, the Coordinator's address, the ORB debug level and this computer's
// network name. Created on first use; loaded from the settings file by each
// server object.
#pragma once

#include <atomic>
#include <string>

class CSettings {
 public:
  // The one object, created with the defaults on the first call; null only when
  // the allocation failed. Any thread.
  static CSettings* Instance();
  // Deletes the object, if any; the next Instance() builds a fresh one. Call only
  // when no other thread uses the store.
  static void DestroyInstance();

  virtual ~CSettings() = default;
  CSettings(const CSettings&) = delete;
  CSettings& operator=(const CSettings&) = delete;

  // Reads the settings file; overrides host, port, debug level and IsSecure with
  // the non-empty values it finds. Silent on every failure.
  void Load();

  std::wstring GetSettingsFilePath() const;  // data folder + "/Settings/Services/update.kll"
  std::wstring GetLogFilePath() const;       // data folder + "/logs/update.log"
  std::wstring GetCrashDumpsFolder() const;  // temporary folder + "kl_crashdumps"
  std::wstring GetCoordinatorHost() const;
  std::wstring GetCoordinatorPort() const;
  std::wstring GetDebugLevel() const;
  std::string GetComputerNetworkNameA() const;

 private:
  CSettings();
  friend class CSettingsInspector;  // lets tests read IsSecure, which nothing else hands out

  // Read without the creation lock on the fast path of Instance(), so atomic.
  static std::atomic<CSettings*> instance;

  std::wstring dataFolder;
  std::wstring tempFolder;
  std::wstring coordinatorHost;
  std::wstring coordinatorPort;
  std::wstring debugLevel;
  std::string computerNetworkName;
  bool isSecure = false;
};
