#include "launcher/GrantServiceLogonRight.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <filesystem>
#include <string>

#include "tests/launcher/LauncherFixture.h"
#include "tests/platform/ForkedChild.h"

namespace {

using testing_support::WcerrCapture;

using GrantServiceLogonRightTest = testing_support::LauncherFixture;

std::wstring HostName() {
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof(host) - 1);
  return KLLib::strings::toWstr(host);
}

TEST_F(GrantServiceLogonRightTest, GrantsUsersAndGroupsOnce) {
  struct Case {
    std::wstring account;
    const char* line;
  } cases[] = {
      {L"nobody", "S-1-22-1-65534 SeServiceLogonRight\n"},
      {L"adm", "S-1-22-2-4 SeServiceLogonRight\n"},
      {HostName() + L"\\root", "S-1-22-1-0 SeServiceLogonRight\n"},
  };
  std::string expected;
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.account));
    WcerrCapture log;
    EXPECT_TRUE(GrantServiceLogonRight(c.account.c_str()));
    expected += c.line;
    EXPECT_EQ(Store(), expected);
    // A second grant is a success and leaves the store as it was.
    EXPECT_TRUE(GrantServiceLogonRight(c.account.c_str()));
    EXPECT_EQ(Store(), expected);
    EXPECT_EQ(log.Text(), L"");
  }
  // The same account by its other name holds the right already.
  WcerrCapture log;
  EXPECT_TRUE(GrantServiceLogonRight(L"root"));
  EXPECT_EQ(Store(), expected);
}

TEST_F(GrantServiceLogonRightTest, UnknownAccountIsNotGranted) {
  const std::wstring cases[] = {
      L"ovupdate-no-such-account",
      L"not-" + HostName() + L"\\root",
      L"",
      L"B\u00E9nutzer \u673A",
  };
  for (const auto& account : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(account));
    WcerrCapture log;
    EXPECT_FALSE(GrantServiceLogonRight(account.c_str()));
    EXPECT_EQ(log.Text(), L"Can't get user SID for '" + account + L"'\n");
  }
  EXPECT_EQ(Store(), "");
}

TEST_F(GrantServiceLogonRightTest, StoreThatCannotBeOpened) {
  ASSERT_TRUE(testing_support::WriteFile(dir_ / "file", "x"));
  setenv("ORVANTA_LSA_POLICY_PATH", (dir_ / "file/lsa/policy").c_str(), 1);
  WcerrCapture log;
  EXPECT_FALSE(GrantServiceLogonRight(L"root"));
  EXPECT_EQ(log.Text(), L"Open policy error: Not a directory\n");
}

// Runs the grant as nobody and reports its result and log line.
std::string GrantAsNobody(const wchar_t* account) {
  auto child = testing_support::RunInChild(
      [account](std::string& report) {
        WcerrCapture log;
        const bool granted = GrantServiceLogonRight(account);
        report = KLLib::strings::toAstr(log.Text());
        return granted ? 0 : 1;
      },
      /*asNobody=*/true);
  if (!child.finished) return "child did not finish";
  return std::to_string(child.exitCode) + " " + child.output;
}

TEST_F(GrantServiceLogonRightTest, UnprivilegedCallerIsRefused) {
  // A store root owns: nobody may read it but not open it with full access.
  ASSERT_EQ(chmod(dir_.Path().c_str(), 0755), 0);
  std::filesystem::create_directories(dir_ / "lsa");
  ASSERT_TRUE(testing_support::WriteFile(store_, ""));
  ASSERT_EQ(chmod(store_.c_str(), 0644), 0);
  EXPECT_EQ(GrantAsNobody(L"nobody"), "1 Open policy error: Permission denied\n");

  // No store yet and no right to create its folder.
  setenv("ORVANTA_LSA_POLICY_PATH", (dir_ / "lsa/new/policy").c_str(), 1);
  EXPECT_EQ(GrantAsNobody(L"nobody"), "1 Open policy error: Permission denied\n");

  // A store file nobody may write, in a folder it may not: open works, the grant not.
  setenv("ORVANTA_LSA_POLICY_PATH", store_.c_str(), 1);
  ASSERT_EQ(chmod(store_.c_str(), 0666), 0);
  EXPECT_EQ(GrantAsNobody(L"nobody"), "1 Set privilege on account error: Permission denied\n");
  // The lookup comes before the write.
  EXPECT_EQ(GrantAsNobody(L"ovupdate-no-such-account"), "1 Can't get user SID for 'ovupdate-no-such-account'\n");
  EXPECT_EQ(Store(), "");
}

}  // namespace
