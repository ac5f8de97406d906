// Shared set-up of the launcher tests: a fresh folder holding a copy of the
// recording stand-in under a name with a space (as family executables have),
// the recording file and the rights store, plus a trap for the wide log.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "kllib/KLLib.h"
#include "tests/support/TempFolder.h"

namespace testing_support {

using Argv = std::vector<std::string>;

// Sends std::wcerr into a string while it lives.
class WcerrCapture {
 public:
  WcerrCapture() : old_(std::wcerr.rdbuf(buffer_.rdbuf())) {}
  ~WcerrCapture() { std::wcerr.rdbuf(old_); }
  WcerrCapture(const WcerrCapture&) = delete;
  WcerrCapture& operator=(const WcerrCapture&) = delete;
  std::wstring Text() const { return buffer_.str(); }

 private:
  std::wostringstream buffer_;
  std::wstreambuf* old_;
};

class LauncherFixture : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    program_ = dir_ / "family service";
    std::filesystem::copy_file(RECORDING_SERVICE_PATH, program_);
    record_ = dir_ / "record";
    store_ = dir_ / "lsa/policy";
    ASSERT_EQ(setenv("RECORDING_SERVICE_LOG", record_.c_str(), 1), 0);
    ASSERT_EQ(setenv("ORVANTA_LSA_POLICY_PATH", store_.c_str(), 1), 0);
    unsetenv("RECORDING_SERVICE_REMOVE_SELF_ON");
    exe_ = KLLib::strings::toWstr(program_);
  }
  void TearDown() override {
    unsetenv("RECORDING_SERVICE_LOG");
    unsetenv("ORVANTA_LSA_POLICY_PATH");
    unsetenv("RECORDING_SERVICE_REMOVE_SELF_ON");
  }

  // Every run of the stand-in so far, each as its argument vector.
  std::vector<Argv> Runs() const {
    std::vector<Argv> runs;
    std::istringstream text(ReadFile(record_));
    Argv current;
    for (std::string line; std::getline(text, line);) {
      if (line == "----") {
        runs.push_back(current);
        current.clear();
      } else {
        current.push_back(line);
      }
    }
    return runs;
  }

  std::string Store() const { return ReadFile(store_); }
  bool StoreExists() const { return std::filesystem::exists(store_); }

  TempFolder dir_;
  std::string program_;  // the stand-in's copy, "<dir>/family service"
  std::wstring exe_;     // the same, as executablePath
  std::string record_;
  std::string store_;
};

}  // namespace testing_support
