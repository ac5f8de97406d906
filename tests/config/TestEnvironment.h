// A private data folder for each test: $XDG_CONFIG_HOME, $HOME and $TMPDIR
// point into a fresh temporary tree, and the settings store starts absent.
// Everything is restored and removed afterwards, whatever the outcome.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "config/CSettings.h"
#include "kllib/KLLib.h"
#include "tests/support/ScopedEnv.h"

class CSettingsInspector {
 public:
  static bool IsSecure(const CSettings& settings) { return settings.isSecure; }
};

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The tree goes where the caller's own $TMPDIR says, before the test moves it.
    std::string pattern = (std::filesystem::temp_directory_path() / "ovupdate-config-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    xdg_.Set(root_ + "/config");
    home_.Set(root_ + "/home");
    tmp_.Set(root_ + "/tmp/");
    CSettings::DestroyInstance();
  }

  void TearDown() override {
    CSettings::DestroyInstance();
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // Where the store will look for the settings file, given $XDG_CONFIG_HOME.
  std::string SettingsFilePath(const std::string& configHome) const {
    return configHome + "/Orvanta/Keldra 7/Settings/Services/update.kll";
  }
  std::string SettingsFilePath() const { return SettingsFilePath(root_ + "/config"); }

  static void WriteFile(const std::string& path, const std::string& bytes) {
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good()) << path;
  }

  std::string root_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv home_{"HOME", std::nullopt};
  ScopedEnv tmp_{"TMPDIR", Current("TMPDIR")};

 private:
  static std::optional<std::string> Current(const char* name) {
    const char* value = std::getenv(name);
    return value ? std::optional<std::string>(value) : std::nullopt;
  }
};
