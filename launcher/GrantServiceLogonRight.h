// Gives a service account the right to log on as a service, in this
// computer's rights store.
#pragma once

// Grants "SeServiceLogonRight" to `accountName` ("name" or "COMPUTER\name",
// a user or a group, as received).
// true: the account holds the right now (also when it held it before).
// false: one line was written to std::wcerr: "Open policy error: " and the
// system's text, "Can't get user SID for '<name>'", or "Set privilege on
// account error: " and the system's text. Any thread; takes the store's lock
// for the write.
bool GrantServiceLogonRight(const wchar_t* accountName);
