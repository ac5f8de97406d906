// The family's utility library: the six functions the update service calls.
// None of them throws for bad input; failures show only in the result.
#pragma once

#include <cstdint>
#include <string>

namespace KLLib {
namespace strings {

// UTF-8 to wide text. Bytes that are not valid UTF-8 become U+DC80..U+DCFF,
// so toAstr(toWstr(s)) == s for any byte string.
std::wstring toWstr(const std::string& text);

// Wide text to UTF-8; U+DC80..U+DCFF give back the raw bytes toWstr kept.
// Other surrogates and values beyond U+10FFFF become U+FFFD.
std::string toAstr(const std::wstring& text);

}  // namespace strings

namespace system {

// The system's text for an error number (errno value); never empty.
std::wstring GetErrorMsgById(std::uint32_t code);

// No file-system redirection exists here: always false, `redirected` untouched.
bool GetWow64FsRedirectedFilePath(const std::wstring& path, std::wstring& redirected);

// This computer's host name; empty when the system cannot tell it.
std::wstring GetComputerNetworkName();

}  // namespace system

namespace filesystem {

// $TMPDIR when set and not empty, else /tmp; always ends with '/'.
std::wstring GetTempFolderPath();

}  // namespace filesystem
}  // namespace KLLib
