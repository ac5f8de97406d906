// Accounts of this computer, named as the family's services name them, and
// the security identifiers that stand for them in the rights store.
#pragma once

#include <string>

namespace platform {

// This computer's name in the form that names a system: "\\" followed by the
// host name. Any thread.
std::wstring GetLocalSystemName();

// Resolves `accountName` on the system `systemName` ("\\" + host name, as
// GetLocalSystemName gives it). Accepted forms: "name" and "COMPUTER\name",
// where COMPUTER is that system's host name in any letter case. The name is
// looked up in the password database, then in the group database: a user is
// "S-1-22-1-<uid>", a group "S-1-22-2-<gid>".
// true: `sid` holds the identifier. false: no such account or another form
// (a foreign computer, an empty name); `sid` untouched. Any thread.
bool LookupAccountSid(const std::wstring& systemName, const std::wstring& accountName, std::wstring& sid);

}  // namespace platform
