#include "platform/Account.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <climits>
#include <cwctype>
#include <string>

#include "kllib/KLLib.h"

namespace {

std::wstring HostName() {
  char host[HOST_NAME_MAX + 1] = {};
  gethostname(host, sizeof(host) - 1);
  return KLLib::strings::toWstr(host);
}

std::wstring Upper(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(c)));
  return text;
}

TEST(Account, LocalSystemNameIsTheHostNameAfterTwoBackslashes) {
  EXPECT_EQ(platform::GetLocalSystemName(), L"\\\\" + HostName());
}

TEST(Account, ResolvesUsersThenGroups) {
  const std::wstring host = HostName();
  const std::wstring system = platform::GetLocalSystemName();
  struct Case {
    std::wstring name;
    const wchar_t* sid;  // nullptr: not resolved
  } cases[] = {
      {L"root", L"S-1-22-1-0"},  // a user and a group: the user wins
      {L"nobody", L"S-1-22-1-65534"},
      {L"adm", L"S-1-22-2-4"},  // a group only
      {L"nogroup", L"S-1-22-2-65534"},
      {host + L"\\root", L"S-1-22-1-0"},
      {Upper(host) + L"\\nobody", L"S-1-22-1-65534"},
      {host + L"\\adm", L"S-1-22-2-4"},
      {L"not-" + host + L"\\root", nullptr},
      {L"\\root", nullptr},
      {host + L"\\", nullptr},
      {host + L"\\" + host + L"\\root", nullptr},
      {L"ovupdate-no-such-account", nullptr},
      {L"", nullptr},
      {L"Root", nullptr},  // account names keep their letter case
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(KLLib::strings::toAstr(c.name));
    std::wstring sid = L"untouched";
    EXPECT_EQ(platform::LookupAccountSid(system, c.name, sid), c.sid != nullptr);
    EXPECT_EQ(sid, c.sid != nullptr ? c.sid : L"untouched");
  }
}

}  // namespace
