#include "config/CSettings.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kllib/KLLib.h"
#include "tests/config/TestEnvironment.h"

namespace {

using CSettingsTest = SettingsTest;

std::string Narrow(const std::wstring& text) { return KLLib::strings::toAstr(text); }

TEST_F(CSettingsTest, DefaultsAndPathsUnderTheUsersFolders) {
  CSettings* settings = CSettings::Instance();
  ASSERT_NE(settings, nullptr);

  const std::string dataFolder = root_ + "/config/Orvanta/Keldra 7";
  EXPECT_EQ(Narrow(settings->GetSettingsFilePath()), dataFolder + "/Settings/Services/update.kll");
  EXPECT_EQ(Narrow(settings->GetLogFilePath()), dataFolder + "/logs/update.log");
  EXPECT_EQ(Narrow(settings->GetCrashDumpsFolder()), root_ + "/tmp/kl_crashdumps");
  EXPECT_EQ(settings->GetCoordinatorHost(), L"localhost");
  EXPECT_EQ(settings->GetCoordinatorPort(), L"1755");
  EXPECT_EQ(settings->GetDebugLevel(), L"1");
  EXPECT_FALSE(CSettingsInspector::IsSecure(*settings));
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  EXPECT_EQ(settings->GetComputerNetworkNameA(), host);

  // The application-data folder is made; the store's own folders are left to their users.
  EXPECT_TRUE(std::filesystem::is_directory(root_ + "/config"));
  EXPECT_FALSE(std::filesystem::exists(dataFolder));
  EXPECT_FALSE(std::filesystem::exists(root_ + "/tmp"));
}

TEST_F(CSettingsTest, FoldersFollowTheEnvironment) {
  // "ROOT" stands for the test's own temporary tree.
  const struct {
    const char* name;
    std::optional<std::string> xdg;
    std::optional<std::string> tmp;
    std::string dataFolder;
    std::string dumps;
  } cases[] = {
      {"XDG_CONFIG_HOME wins", "ROOT/config", "ROOT/tmp/", "ROOT/config/Orvanta/Keldra 7",
       "ROOT/tmp/kl_crashdumps"},
      {"no XDG_CONFIG_HOME: HOME/.config", std::nullopt, "ROOT/tmp/", "ROOT/home/.config/Orvanta/Keldra 7",
       "ROOT/tmp/kl_crashdumps"},
      {"relative XDG_CONFIG_HOME is ignored", "relative/config", "ROOT/tmp/", "ROOT/home/.config/Orvanta/Keldra 7",
       "ROOT/tmp/kl_crashdumps"},
      {"TMPDIR without a trailing slash", "ROOT/config", "ROOT/tmp", "ROOT/config/Orvanta/Keldra 7",
       "ROOT/tmp/kl_crashdumps"},
      {"no TMPDIR", "ROOT/config", std::nullopt, "ROOT/config/Orvanta/Keldra 7", "/tmp/kl_crashdumps"},
  };
  const auto expand = [&](std::string path) {
    if (path.compare(0, 4, "ROOT") == 0) path.replace(0, 4, root_);
    return path;
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CSettings::DestroyInstance();
    xdg_.Set(c.xdg ? std::optional<std::string>(expand(*c.xdg)) : std::nullopt);
    tmp_.Set(c.tmp ? std::optional<std::string>(expand(*c.tmp)) : std::nullopt);

    CSettings* settings = CSettings::Instance();
    EXPECT_EQ(Narrow(settings->GetSettingsFilePath()), expand(c.dataFolder) + "/Settings/Services/update.kll");
    EXPECT_EQ(Narrow(settings->GetLogFilePath()), expand(c.dataFolder) + "/logs/update.log");
    EXPECT_EQ(Narrow(settings->GetCrashDumpsFolder()), expand(c.dumps));
  }
}

TEST_F(CSettingsTest, ConcurrentFirstCallsShareOneObject) {
  constexpr int kThreads = 8;
  for (int round = 0; round < 20; ++round) {
    SCOPED_TRACE(round);
    CSettings::DestroyInstance();
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    std::vector<std::future<CSettings*>> results;
    for (int i = 0; i < kThreads; ++i) {
      results.push_back(std::async(std::launch::async, [start] {
        start.wait();
        return CSettings::Instance();
      }));
    }
    go.set_value();
    std::vector<CSettings*> seen;
    for (auto& result : results) seen.push_back(result.get());
    CSettings* const settings = CSettings::Instance();
    ASSERT_NE(settings, nullptr);
    for (CSettings* s : seen) EXPECT_EQ(s, settings);
  }
}

TEST_F(CSettingsTest, FreshInstanceAfterDestroyHasDefaults) {
  WriteFile(SettingsFilePath(), "<link><parameters>"
                                "<param name=\"CoordinatorHost\">hub</param>"
                                "<param name=\"CoordinatorPort\">2000</param>"
                                "<param name=\"DebugLevel\">9</param>"
                                "<param name=\"IsSecure\">1</param>"
                                "</parameters></link>");
  CSettings::Instance()->Load();
  ASSERT_EQ(CSettings::Instance()->GetCoordinatorHost(), L"hub");
  ASSERT_TRUE(CSettingsInspector::IsSecure(*CSettings::Instance()));

  CSettings::DestroyInstance();
  CSettings::DestroyInstance();  // harmless when already absent
  CSettings* settings = CSettings::Instance();
  EXPECT_EQ(settings->GetCoordinatorHost(), L"localhost");
  EXPECT_EQ(settings->GetCoordinatorPort(), L"1755");
  EXPECT_EQ(settings->GetDebugLevel(), L"1");
  EXPECT_FALSE(CSettingsInspector::IsSecure(*settings));
}

// What a child saw of the store when no application-data folder could be had.
struct FailedLookup {
  int exitStatus = -1;
  std::string stderrText;
  std::vector<std::string> values;
};

std::string ReadAll(int fd) {
  std::string text;
  char buffer[4096];
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(got));
  return text;
}

// Runs the store in a child that has dropped to nobody (whose home,
// /nonexistent, it cannot create), with no XDG_CONFIG_HOME and a HOME below a
// regular file. `threads` threads make the first Instance() call together.
FailedLookup RunWithoutAppDataFolder(const std::string& regularFile, int threads) {
  FailedLookup result;
  int errPipe[2];
  int outPipe[2];
  if (pipe2(errPipe, O_CLOEXEC) != 0 || pipe2(outPipe, O_CLOEXEC) != 0) return result;
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);  // a hung child dies, so the parent's reads end
    dup2(errPipe[1], STDERR_FILENO);
    close(errPipe[0]);
    close(outPipe[0]);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    unsetenv("XDG_CONFIG_HOME");
    setenv("HOME", (regularFile + "/home").c_str(), 1);
    CSettings::DestroyInstance();

    std::vector<std::thread> workers;
    std::promise<void> go;
    std::shared_future<void> start = go.get_future().share();
    for (int i = 0; i < threads; ++i) workers.emplace_back([start] {
      start.wait();
      CSettings::Instance();
    });
    go.set_value();
    for (auto& worker : workers) worker.join();

    CSettings* settings = CSettings::Instance();
    if (settings == nullptr) _exit(4);
    settings->Load();
    const std::string values = Narrow(settings->GetSettingsFilePath()) + "\n" + Narrow(settings->GetLogFilePath()) +
                               "\n" + Narrow(settings->GetCrashDumpsFolder()) + "\n" +
                               Narrow(settings->GetCoordinatorHost()) + "\n" +
                               Narrow(settings->GetCoordinatorPort()) + "\n" + Narrow(settings->GetDebugLevel()) +
                               "\n" + settings->GetComputerNetworkNameA() + "\n" +
                               (CSettingsInspector::IsSecure(*settings) ? "secure" : "plain") + "\n";
    if (write(outPipe[1], values.data(), values.size()) != static_cast<ssize_t>(values.size())) _exit(5);
    _exit(0);
  }
  close(errPipe[1]);
  close(outPipe[1]);
  if (pid < 0) {
    close(errPipe[0]);
    close(outPipe[0]);
    return result;
  }
  const std::string out = ReadAll(outPipe[0]);
  result.stderrText = ReadAll(errPipe[0]);
  close(outPipe[0]);
  close(errPipe[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  result.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  for (size_t begin = 0, end; (end = out.find('\n', begin)) != std::string::npos; begin = end + 1) {
    result.values.push_back(out.substr(begin, end - begin));
  }
  return result;
}

TEST_F(CSettingsTest, FailedFolderLookupLeavesEveryTextEmpty) {
  struct stat st;
  if (stat("/nonexistent", &st) == 0) GTEST_SKIP() << "nobody's home exists on this machine";
  const std::string regularFile = root_ + "/file";
  WriteFile(regularFile, "not a folder");
  chmod(root_.c_str(), 0755);

  for (int threads : {1, 4}) {
    SCOPED_TRACE(std::to_string(threads) + " thread(s)");
    const FailedLookup seen = RunWithoutAppDataFolder(regularFile, threads);
    ASSERT_EQ(seen.exitStatus, 0);
    EXPECT_EQ(seen.stderrText, "common data \n");  // once, however many first callers
    const std::vector<std::string> expected = {
        "/Settings/Services/update.kll", "/logs/update.log", "kl_crashdumps", "", "", "", "", "plain"};
    EXPECT_EQ(seen.values, expected);
  }
}

}  // namespace
