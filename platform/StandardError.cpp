#include "platform/StandardError.h"

#include <cerrno>
#include <iostream>
#include <streambuf>
#include <string>
#include <unistd.h>

#include "kllib/KLLib.h"

namespace platform {
namespace {

// Unbuffered: each call converts whole characters (UTF-32 has no pairs to
// split), so the text reaches fd 2 in the order it was written.
class WideStandardErrorBuffer : public std::wstreambuf {
 protected:
  int_type overflow(int_type ch) override {
    if (traits_type::eq_int_type(ch, traits_type::eof())) return traits_type::not_eof(ch);
    wchar_t c = traits_type::to_char_type(ch);
    return xsputn(&c, 1) == 1 ? ch : traits_type::eof();
  }

  std::streamsize xsputn(const wchar_t* text, std::streamsize count) override {
    std::string bytes = KLLib::strings::toAstr(std::wstring(text, static_cast<size_t>(count)));
    const char* p = bytes.data();
    size_t left = bytes.size();
    while (left > 0) {
      ssize_t n = ::write(STDERR_FILENO, p, left);
      if (n < 0) {
        if (errno == EINTR) continue;
        return 0;
      }
      p += n;
      left -= static_cast<size_t>(n);
    }
    return count;
  }
};

}  // namespace

void InstallWideStandardError() {
  // Lives to the end of the process: std::wcerr may be used by static destructors.
  static WideStandardErrorBuffer* buffer = new WideStandardErrorBuffer;
  std::wcerr.rdbuf(buffer);
}

}  // namespace platform
