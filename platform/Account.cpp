#include "platform/Account.h"

#include <cerrno>
#include <climits>
#include <cwctype>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>
#include <vector>

#include "kllib/KLLib.h"

namespace platform {
namespace {

bool SameNameIgnoringCase(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (std::towlower(static_cast<wint_t>(a[i])) != std::towlower(static_cast<wint_t>(b[i]))) return false;
  }
  return true;
}

// getpwnam_r / getgrnam_r with a buffer that grows on ERANGE.
template <typename Entry, typename Lookup>
bool FindEntry(const std::string& name, Lookup lookup, Entry& entry, std::vector<char>& buffer) {
  buffer.resize(1024);
  for (;;) {
    Entry* found = nullptr;
    const int err = lookup(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (err == ERANGE && buffer.size() < (1u << 20)) {
      buffer.resize(buffer.size() * 4);
      continue;
    }
    return err == 0 && found != nullptr;
  }
}

}  // namespace

std::wstring GetLocalSystemName() {
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof(host) - 1) != 0) host[0] = '\0';
  return L"\\\\" + KLLib::strings::toWstr(host);
}

bool LookupAccountSid(const std::wstring& systemName, const std::wstring& accountName, std::wstring& sid) {
  std::wstring name = accountName;
  const size_t slash = accountName.find(L'\\');
  if (slash != std::wstring::npos) {
    const std::wstring computer = systemName.compare(0, 2, L"\\\\") == 0 ? systemName.substr(2) : systemName;
    if (computer.empty() || !SameNameIgnoringCase(accountName.substr(0, slash), computer)) return false;
    name = accountName.substr(slash + 1);
  }
  if (name.empty() || name.find(L'\\') != std::wstring::npos) return false;

  const std::string narrow = KLLib::strings::toAstr(name);
  std::vector<char> buffer;
  passwd user{};
  if (FindEntry(narrow, getpwnam_r, user, buffer)) {
    sid = L"S-1-22-1-" + std::to_wstring(user.pw_uid);
    return true;
  }
  group grp{};
  if (FindEntry(narrow, getgrnam_r, grp, buffer)) {
    sid = L"S-1-22-2-" + std::to_wstring(grp.gr_gid);
    return true;
  }
  return false;
}

}  // namespace platform
