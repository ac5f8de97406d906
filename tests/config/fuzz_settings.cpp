// libFuzzer target: any bytes as the settings file. Loading must not crash,
// and host, port and debug level never become empty.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>


#include "config/CSettings.h"
#include "kllib/KLLib.h"

namespace {
std::string root;
std::string settingsFile;

void RemoveRoot() {
  std::error_code ignored;
  std::filesystem::remove_all(root, ignored);
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  char pattern[] = "/tmp/ovupdate-fuzz-settings-XXXXXX";
  if (mkdtemp(pattern) == nullptr) std::abort();
  root = pattern;
  std::atexit(RemoveRoot);
  setenv("XDG_CONFIG_HOME", pattern, 1);
  std::filesystem::create_directories(root + "/Orvanta/Keldra 7/Settings/Services");
  settingsFile = KLLib::strings::toAstr(CSettings::Instance()->GetSettingsFilePath());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
  std::FILE* file = std::fopen(settingsFile.c_str(), "wb");
  if (file == nullptr) std::abort();
  if (size > 0 && std::fwrite(bytes, 1, size, file) != size) std::abort();
  std::fclose(file);

  CSettings::DestroyInstance();
  CSettings* settings = CSettings::Instance();
  settings->Load();
  if (settings->GetCoordinatorHost().empty() || settings->GetCoordinatorPort().empty() ||
      settings->GetDebugLevel().empty()) {
    std::abort();
  }
  return 0;
}
