#include "kllib/KLLib.h"

#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace KLLib {
namespace strings {
namespace {

constexpr wchar_t kReplacement = 0xFFFD;
constexpr wchar_t kEscapeBase = 0xDC00;  // raw byte b travels as U+DC00 + b (b >= 0x80)

// Length of the valid UTF-8 sequence at text[i], with its code point; 0 when invalid.
size_t DecodeOne(const std::string& text, size_t i, char32_t& cp) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  size_t len;
  char32_t min;
  if (b0 < 0x80) { cp = b0; return 1; }
  if ((b0 & 0xE0) == 0xC0) { len = 2; cp = b0 & 0x1F; min = 0x80; }
  else if ((b0 & 0xF0) == 0xE0) { len = 3; cp = b0 & 0x0F; min = 0x800; }
  else if ((b0 & 0xF8) == 0xF0) { len = 4; cp = b0 & 0x07; min = 0x10000; }
  else return 0;
  if (i + len > text.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const unsigned char b = byte(i + k);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

void Append(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

}  // namespace

std::wstring toWstr(const std::string& text) {
  std::wstring out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t len = DecodeOne(text, i, cp);
    if (len == 0) {
      out += static_cast<wchar_t>(kEscapeBase + static_cast<unsigned char>(text[i]));
      ++i;
    } else {
      out += static_cast<wchar_t>(cp);
      i += len;
    }
  }
  return out;
}

std::string toAstr(const std::wstring& text) {
  std::string out;
  out.reserve(text.size());
  for (const wchar_t wc : text) {
    const auto cp = static_cast<char32_t>(wc);
    if (cp >= kEscapeBase + 0x80 && cp <= kEscapeBase + 0xFF) {
      out += static_cast<char>(cp - kEscapeBase);
    } else if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      Append(out, kReplacement);
    } else {
      Append(out, cp);
    }
  }
  return out;
}

}  // namespace strings

namespace system {

std::wstring GetErrorMsgById(std::uint32_t code) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not live in buffer.
  const char* text = strerror_r(static_cast<int>(code), buffer, sizeof buffer);
  if (text == nullptr || *text == '\0') return L"Unknown error " + std::to_wstring(code);
  return strings::toWstr(text);
}

bool GetWow64FsRedirectedFilePath(const std::wstring& /*path*/, std::wstring& /*redirected*/) {
  return false;
}

std::wstring GetComputerNetworkName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return std::wstring();
  return strings::toWstr(name);
}

}  // namespace system

namespace filesystem {

std::wstring GetTempFolderPath() {
  const char* tmp = std::getenv("TMPDIR");
  std::string path = (tmp != nullptr && *tmp != '\0') ? tmp : "/tmp";
  if (path.back() != '/') path += '/';
  return strings::toWstr(path);
}

}  // namespace filesystem
}  // namespace KLLib
