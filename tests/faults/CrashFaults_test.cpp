// A crash client killed while the crash server writes its dump: the server
// serves the next client, leaves no torn file behind and lets go of the
// killed process.
#include <dirent.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/host/ServiceFixture.h"

namespace faulttest {
namespace {

constexpr int kWaitMs = 30000;

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator(folder, ignored))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

std::uint32_t U32(const std::string& bytes, std::size_t at) {
  std::uint32_t v = 0;
  std::memcpy(&v, bytes.data() + at, 4);
  return v;
}

// Empty when `path` is a whole minidump: the header, its stream directory and
// every stream lie inside the file. Otherwise what is wrong.
std::string MinidumpDefect(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream content;
  content << in.rdbuf();
  const std::string bytes = content.str();
  if (bytes.size() < 32) return "shorter than a header: " + std::to_string(bytes.size()) + " bytes";
  if (bytes.compare(0, 4, "MDMP") != 0) return "no MDMP signature";
  if ((U32(bytes, 4) & 0xffff) != 0xa793) return "wrong version";
  const std::uint64_t streams = U32(bytes, 8);
  const std::uint64_t directory = U32(bytes, 12);
  if (streams == 0 || directory + streams * 12 > bytes.size()) return "stream directory outside the file";
  for (std::uint64_t i = 0; i < streams; ++i) {
    const std::size_t entry = static_cast<std::size_t>(directory + i * 12);
    const std::uint64_t size = U32(bytes, entry + 4);
    const std::uint64_t rva = U32(bytes, entry + 8);
    if (rva + size > bytes.size()) return "stream " + std::to_string(U32(bytes, entry)) + " outside the file";
  }
  return "";
}

// Pids of the processes that `tracer` traces, from every process's status.
std::vector<int> TracedBy(int tracer) {
  std::vector<int> traced;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/proc", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    for (const std::string& line : hosttest::ReadLines(entry.path().string() + "/status")) {
      if (line.rfind("TracerPid:", 0) == 0 && std::stoi(line.substr(10)) == tracer) traced.push_back(std::stoi(name));
    }
  }
  return traced;
}

class CrashFaultsTest : public ::testing::Test {
 protected:
  // The crash socket's name is fixed: a network of the test's own.
  static void SetUpTestSuite() { hosttest::EnterPrivateNetwork(); }

  void SetUp() override {
    std::string base = std::filesystem::temp_directory_path().string() + "/ovupdate-faults-XXXXXX";
    ASSERT_NE(mkdtemp(base.data()), nullptr);
    root_ = base;
    env_ = testsupport::EnvironmentWithout({"TMPDIR"});
    env_.push_back("TMPDIR=" + root_);
    dumps_ = root_ + "/kl_crashdumps";
  }

  void TearDown() override {
    server_.Terminate(0, SIGKILL);
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  std::string root_;
  std::string dumps_;
  std::vector<std::string> env_;
  testsupport::ChildProcess server_;
};

// The kill comes once the dump file ending in `fileEnd` holds at least
// `bytes`: the threads are held while the full dump copies memory.
struct KillCase {
  const char* label;
  const char* fileEnd;
  std::uintmax_t bytes;
};

TEST_F(CrashFaultsTest, ClientKilledInMidDumpLeavesNoTornFileAndTheNextClientIsServed) {
  const KillCase cases[] = {
      {"as the normal dump file appears", ".dmp", 0},
      {"while the full-memory dump copies memory", "-full.dmp", 16u << 20},
  };
  for (const KillCase& c : cases) {
    SCOPED_TRACE(c.label);
    ASSERT_TRUE(server_.Start({CRASHHOST_PATH}, env_)) << server_.Error();
    ASSERT_TRUE(server_.WaitForOutput("ready", kWaitMs)) << server_.Output();

    testsupport::ChildProcess client;
    ASSERT_TRUE(client.Start({BIGDUMP_CLIENT_PATH, "128"}, env_)) << client.Error();
    ASSERT_TRUE(client.WaitForOutput("filled", kWaitMs)) << client.Output() << server_.Output();
    const std::string fileEnd = c.fileEnd;
    const bool seen = hosttest::WaitForChangeIn(dumps_, kWaitMs, [&] {
      for (const std::string& name : FilesIn(dumps_)) {
        if (!EndsWith(name, fileEnd) || (fileEnd == ".dmp" && EndsWith(name, "-full.dmp"))) continue;
        std::error_code ignored;
        const std::uintmax_t size = std::filesystem::file_size(dumps_ + "/" + name, ignored);
        if (!ignored && size >= c.bytes) return true;
      }
      return false;
    });
    ASSERT_TRUE(client.Signal(SIGKILL));
    ASSERT_TRUE(seen) << client.Output() << server_.Output();
    // Its parent reaps it at once: the server must not keep the dead threads
    // traced (only the end of their tracer would free them then).
    const bool reaped = client.WaitForExit(kWaitMs);
    if (!reaped) server_.Terminate(0, SIGKILL);
    ASSERT_TRUE(reaped) << "the killed client stayed traced by the server";
    EXPECT_EQ(client.TermSignal(), SIGKILL) << client.Output();

    std::string output;
    EXPECT_EQ(testsupport::RunProgram({CRASHDEMO_PATH, "--appname", "next", "--dump"}, env_, output, kWaitMs), 0)
        << output << server_.Output();
    EXPECT_TRUE(TracedBy(server_.Pid()).empty()) << "the server still traces a process";

    // The server's stop waits for the dumps in progress: then the folder is final.
    ASSERT_TRUE(server_.Terminate(kWaitMs, SIGTERM)) << server_.Output();
    std::vector<std::string> files = FilesIn(dumps_);
    EXPECT_FALSE(files.empty());
    for (const std::string& name : files) {
      SCOPED_TRACE(name);
      EXPECT_TRUE(EndsWith(name, ".dmp"));
      EXPECT_EQ(MinidumpDefect(dumps_ + "/" + name), "");
    }
    std::error_code ignored;
    std::filesystem::remove_all(dumps_, ignored);
  }
}

}  // namespace
}  // namespace faulttest
