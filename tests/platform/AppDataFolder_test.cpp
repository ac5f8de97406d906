#include "platform/AppDataFolder.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <pwd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "kllib/KLLib.h"
#include "tests/support/ScopedEnv.h"

namespace {

class AppDataFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = (std::filesystem::temp_directory_path() / "ovupdate-appdata-XXXXXX").string();
    ASSERT_NE(mkdtemp(pattern.data()), nullptr);
    root_ = pattern;
    std::filesystem::create_directories(root_ + "/existing");
    std::ofstream(root_ + "/file") << "a regular file";
    std::filesystem::create_directory_symlink(root_ + "/existing", root_ + "/link");
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }

  // "ROOT" at the start stands for the test's temporary tree.
  std::string Expand(std::string path) const {
    if (path.compare(0, 4, "ROOT") == 0) path.replace(0, 4, root_);
    return path;
  }

  std::string root_;
  ScopedEnv xdg_{"XDG_CONFIG_HOME", std::nullopt};
  ScopedEnv home_{"HOME", std::nullopt};
};

TEST_F(AppDataFolderTest, PicksAndCreatesTheFirstUsableCandidate) {
  const struct {
    const char* name;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
    std::string expected;
  } cases[] = {
      {"existing XDG_CONFIG_HOME", "ROOT/existing", "ROOT/home", "ROOT/existing"},
      {"missing XDG_CONFIG_HOME is created with its parents", "ROOT/a/b/c", "ROOT/home", "ROOT/a/b/c"},
      {"trailing slashes dropped", "ROOT/existing//", "ROOT/home", "ROOT/existing"},
      {"XDG_CONFIG_HOME through a symbolic link kept as given", "ROOT/link", "ROOT/home", "ROOT/link"},
      {"relative XDG_CONFIG_HOME ignored", "relative/config", "ROOT/home", "ROOT/home/.config"},
      {"empty XDG_CONFIG_HOME ignored", "", "ROOT/home", "ROOT/home/.config"},
      {"no XDG_CONFIG_HOME", std::nullopt, "ROOT/home", "ROOT/home/.config"},
      {"HOME with a trailing slash", std::nullopt, "ROOT/home/", "ROOT/home/.config"},
      {"XDG_CONFIG_HOME is a regular file", "ROOT/file", "ROOT/home", "ROOT/home/.config"},
      {"XDG_CONFIG_HOME below a regular file", "ROOT/file/config", "ROOT/home", "ROOT/home/.config"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(root_ + "/home");
    std::filesystem::remove_all(root_ + "/a");
    xdg_.Set(c.xdg ? std::optional<std::string>(Expand(*c.xdg)) : std::nullopt);
    home_.Set(c.home ? std::optional<std::string>(Expand(*c.home)) : std::nullopt);

    std::wstring folder;
    ASSERT_TRUE(platform::GetAppDataFolder(folder));
    EXPECT_EQ(KLLib::strings::toAstr(folder), Expand(c.expected));
    EXPECT_TRUE(std::filesystem::is_directory(Expand(c.expected)));
  }
  EXPECT_FALSE(std::filesystem::exists("relative"));
}

TEST_F(AppDataFolderTest, CreatedFoldersArePrivate) {
  xdg_.Set(root_ + "/new/config");
  std::wstring folder;
  ASSERT_TRUE(platform::GetAppDataFolder(folder));
  for (const char* created : {"/new", "/new/config"}) {
    SCOPED_TRACE(created);
    struct stat st;
    ASSERT_EQ(stat((root_ + created).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
  }
}

// With neither variable set, the account's home from the password database.
TEST_F(AppDataFolderTest, FallsBackToTheAccountsHome) {
  const struct passwd* account = getpwuid(geteuid());
  ASSERT_NE(account, nullptr);
  const std::string expected = std::string(account->pw_dir) + "/.config";
  const bool existed = std::filesystem::exists(expected);

  std::wstring folder;
  const bool found = platform::GetAppDataFolder(folder);
  if (!existed) rmdir(expected.c_str());  // leave the account as it was
  ASSERT_TRUE(found);
  EXPECT_EQ(KLLib::strings::toAstr(folder), expected);
}

// Exit code of a child, run as nobody (whose home /nonexistent it cannot
// create): 0 when the lookup failed and left its output alone.
int LookupAsNobody(const std::optional<std::string>& xdg, const std::optional<std::string>& home) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(30);
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(3);
    if (xdg) setenv("XDG_CONFIG_HOME", xdg->c_str(), 1); else unsetenv("XDG_CONFIG_HOME");
    if (home) setenv("HOME", home->c_str(), 1); else unsetenv("HOME");
    std::wstring folder = L"untouched";
    if (platform::GetAppDataFolder(folder)) _exit(1);
    _exit(folder == L"untouched" ? 0 : 2);
  }
  if (pid < 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

TEST_F(AppDataFolderTest, FailsWhenNoCandidateCanBeMade) {
  struct stat st;
  if (stat("/nonexistent", &st) == 0) GTEST_SKIP() << "nobody's home exists on this machine";
  chmod(root_.c_str(), 0755);
  const struct {
    const char* name;
    std::optional<std::string> xdg;
    std::optional<std::string> home;
  } cases[] = {
      {"nothing set", std::nullopt, std::nullopt},
      {"everything below a regular file", "ROOT/file/config", "ROOT/file/home"},
      {"only relative paths", "config", "home"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(LookupAsNobody(c.xdg ? std::optional<std::string>(Expand(*c.xdg)) : std::nullopt,
                             c.home ? std::optional<std::string>(Expand(*c.home)) : std::nullopt),
              0);
  }
}

}  // namespace
