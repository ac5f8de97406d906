// A command line is one string, program first, as the family's service
// executables are called on their home system. This unit splits it into the
// program and its argument vector by that system's rules.
#pragma once

#include <string>
#include <vector>

namespace platform {

// Splits `commandLine` into an argument vector whose first element is the
// program:
// - a program that starts with a quotation mark runs to the closing one (or to
//   the end); the arguments start right after it;
// - an unquoted program is the shortest space-separated prefix that names an
//   existing file that is not a folder (names without '/' are looked up in
//   $PATH), trying successively longer prefixes; when none does, it is the
//   first space-separated word, and running it will fail;
// - the rest is split by the C runtime rules of SplitArguments.
// A line that starts with a space or tab has an empty program.
// Never fails; any thread (reads the file system and $PATH).
std::vector<std::wstring> SplitCommandLine(const std::wstring& commandLine);

// The C runtime rules for the arguments after the program: spaces and tabs
// separate arguments outside quotation marks; 2n backslashes before a
// quotation mark give n backslashes and the mark toggles quoting; 2n+1 give n
// backslashes and a literal quotation mark; two quotation marks inside quotes
// give one literal mark and quoting goes on; other backslashes are literal;
// "" outside quotes is an empty argument.
std::vector<std::wstring> SplitArguments(const std::wstring& arguments);

}  // namespace platform
