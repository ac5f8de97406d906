#include "platform/RightsStore.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "tests/platform/ForkedChild.h"
#include "tests/support/TempFolder.h"

namespace {

using testing_support::ReadFile;
using testing_support::WriteFile;

// Points the store into a fresh folder for the length of one test.
class RightsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(dir_.Path().empty());
    store_ = dir_ / "lsa/policy";
    ASSERT_EQ(setenv("ORVANTA_LSA_POLICY_PATH", store_.c_str(), 1), 0);
  }
  void TearDown() override { unsetenv("ORVANTA_LSA_POLICY_PATH"); }

  testing_support::TempFolder dir_;
  std::string store_;
};

TEST_F(RightsStoreTest, PathComesFromTheVariableElseTheMachineDefault) {
  EXPECT_EQ(platform::RightsStore::Path(), store_);
  setenv("ORVANTA_LSA_POLICY_PATH", "", 1);
  EXPECT_EQ(platform::RightsStore::Path(), "/var/lib/orvanta/lsa/policy");
  unsetenv("ORVANTA_LSA_POLICY_PATH");
  EXPECT_EQ(platform::RightsStore::Path(), "/var/lib/orvanta/lsa/policy");
}

TEST_F(RightsStoreTest, OpenCreatesTheFolderAndAnEmptyStore) {
  store_ = dir_ / "a/b/c/policy";
  setenv("ORVANTA_LSA_POLICY_PATH", store_.c_str(), 1);
  platform::RightsStore store;
  ASSERT_EQ(store.Open(), 0);
  struct stat st;
  ASSERT_EQ(stat(store_.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_size, 0);
  EXPECT_EQ(ReadFile(store_), "");
}

TEST_F(RightsStoreTest, AddsEachRightOnceAndKeepsWhatWasThere) {
  std::filesystem::create_directories(dir_ / "lsa");
  ASSERT_TRUE(WriteFile(store_, "S-1-22-1-7 SeBackupPrivilege"));  // no final newline
  platform::RightsStore store;
  ASSERT_EQ(store.Open(), 0);
  EXPECT_EQ(store.AddAccountRight(L"S-1-22-1-0", L"SeServiceLogonRight"), 0);
  EXPECT_EQ(store.AddAccountRight(L"S-1-22-1-0", L"SeServiceLogonRight"), 0);
  EXPECT_EQ(store.AddAccountRight(L"S-1-22-2-4", L"SeServiceLogonRight"), 0);
  EXPECT_EQ(store.AddAccountRight(L"S-1-22-1-7", L"SeBackupPrivilege"), 0);
  const std::string expected =
      "S-1-22-1-7 SeBackupPrivilege\n"
      "S-1-22-1-0 SeServiceLogonRight\n"
      "S-1-22-2-4 SeServiceLogonRight\n";
  EXPECT_EQ(ReadFile(store_), expected);

  // A second handle sees the same store and changes nothing.
  platform::RightsStore again;
  ASSERT_EQ(again.Open(), 0);
  EXPECT_EQ(again.AddAccountRight(L"S-1-22-2-4", L"SeServiceLogonRight"), 0);
  EXPECT_EQ(ReadFile(store_), expected);

  // Only whole lines count: a longer SID holding the right is another account.
  EXPECT_EQ(again.AddAccountRight(L"S-1-22-1-", L"SeServiceLogonRight"), 0);
  EXPECT_EQ(ReadFile(store_), expected + "S-1-22-1- SeServiceLogonRight\n");

  // Nothing of the temporary files is left beside the store.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir_ / "lsa")) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
}

TEST_F(RightsStoreTest, AddBeforeOpenFails) {
  platform::RightsStore store;
  EXPECT_EQ(store.AddAccountRight(L"S-1-22-1-0", L"SeServiceLogonRight"), EBADF);
}

TEST_F(RightsStoreTest, OpenFailuresGiveTheErrorNumber) {
  ASSERT_TRUE(WriteFile(dir_ / "file", "x"));
  std::filesystem::create_directories(dir_ / "folder/policy");
  struct Case {
    const char* label;
    std::string path;
    int error;
  } cases[] = {
      {"under a regular file", dir_ / "file/policy", ENOTDIR},
      {"folder deeper under a regular file", dir_ / "file/lsa/policy", ENOTDIR},
      {"store is a folder", dir_ / "folder/policy", EISDIR},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    setenv("ORVANTA_LSA_POLICY_PATH", c.path.c_str(), 1);
    platform::RightsStore store;
    EXPECT_EQ(store.Open(), c.error);
    EXPECT_EQ(store.AddAccountRight(L"S-1-22-1-0", L"SeServiceLogonRight"), EBADF);
  }
}

// Root owns the store; an unprivileged caller may read it but not open it
// with full access, nor change it through a store file it could write.
TEST_F(RightsStoreTest, UnprivilegedCallerCannotChangeTheStore) {
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  std::filesystem::create_directories(dir_ / "lsa");
  ASSERT_EQ(chmod((dir_ / "lsa").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(store_, "S-1-22-1-0 SeServiceLogonRight\n"));
  ASSERT_EQ(chmod(store_.c_str(), 0644), 0);

  auto tryAdd = [](std::string& report) {
    platform::RightsStore store;
    const int openError = store.Open();
    report = std::to_string(openError);
    if (openError != 0) return 0;
    report += " " + std::to_string(store.AddAccountRight(L"S-1-22-1-65534", L"SeServiceLogonRight"));
    return 0;
  };
  auto child = testing_support::RunInChild(tryAdd, /*asNobody=*/true);
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.output, std::to_string(EACCES));

  // Writable store file, folder still root's: the open works, the change does not.
  ASSERT_EQ(chmod(store_.c_str(), 0666), 0);
  child = testing_support::RunInChild(tryAdd, /*asNobody=*/true);
  ASSERT_TRUE(child.finished);
  EXPECT_EQ(child.output, "0 " + std::to_string(EACCES));
  EXPECT_EQ(ReadFile(store_), "S-1-22-1-0 SeServiceLogonRight\n");
}

// Writers in several processes at once: every line arrives, none twice.
TEST_F(RightsStoreTest, ConcurrentWritersLoseNothing) {
  constexpr int kWriters = 4;
  constexpr int kLines = 25;
  std::vector<pid_t> pids;
  // Start them all before waiting for any, so they overlap.
  std::vector<int> reads;
  for (int w = 0; w < kWriters; ++w) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      close(fds[0]);
      platform::RightsStore store;
      int failures = store.Open() != 0;
      for (int i = 0; i < kLines; ++i) {
        // Both writers also add a shared line, which must appear once.
        failures += store.AddAccountRight(L"S-1-22-1-" + std::to_wstring(w * 1000 + i), L"SeServiceLogonRight") != 0;
        failures += store.AddAccountRight(L"S-1-22-2-0", L"SeServiceLogonRight") != 0;
      }
      _exit(failures == 0 ? 0 : 1);
    }
    close(fds[1]);
    reads.push_back(fds[0]);
    pids.push_back(pid);
  }
  for (size_t i = 0; i < pids.size(); ++i) {
    // The pipe's write end closes when the writer ends: a bounded wait for it.
    pollfd p{reads[i], POLLIN, 0};
    if (poll(&p, 1, 60000) <= 0) kill(pids[i], SIGKILL);
    close(reads[i]);
    int status = 0;
    ASSERT_EQ(waitpid(pids[i], &status, 0), pids[i]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "writer " << i;
  }
  const std::string text = ReadFile(store_);
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  EXPECT_EQ(lines, static_cast<size_t>(kWriters * kLines + 1));
  for (int w = 0; w < kWriters; ++w) {
    for (int i = 0; i < kLines; ++i) {
      const std::string line = "S-1-22-1-" + std::to_string(w * 1000 + i) + " SeServiceLogonRight\n";
      EXPECT_NE(text.find(line), std::string::npos) << line;
    }
  }
}

}  // namespace
