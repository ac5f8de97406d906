#include "launcher/GrantServiceLogonRight.h"

#include <iostream>
#include <string>

#include "kllib/KLLib.h"
#include "platform/Account.h"
#include "platform/RightsStore.h"

namespace {
constexpr const wchar_t kServiceLogonRight[] = L"SeServiceLogonRight";
}

bool GrantServiceLogonRight(const wchar_t* accountName) {
  const std::wstring account = accountName != nullptr ? accountName : L"";
  const std::wstring systemName = platform::GetLocalSystemName();

  platform::RightsStore policy;
  if (const int err = policy.Open(); err != 0) {
    std::wcerr << L"Open policy error: " << KLLib::system::GetErrorMsgById(static_cast<std::uint32_t>(err))
               << std::endl;
    return false;
  }
  std::wstring sid;
  if (!platform::LookupAccountSid(systemName, account, sid)) {
    std::wcerr << L"Can't get user SID for '" << account << L"'" << std::endl;
    return false;
  }
  if (const int err = policy.AddAccountRight(sid, kServiceLogonRight); err != 0) {
    std::wcerr << L"Set privilege on account error: "
               << KLLib::system::GetErrorMsgById(static_cast<std::uint32_t>(err)) << std::endl;
    return false;
  }
  return true;
}
