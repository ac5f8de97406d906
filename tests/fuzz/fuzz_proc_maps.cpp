// libFuzzer target: the reader of /proc/PID/maps text, which the minidump
// writer trusts for every address range it copies. Whatever the text, each
// mapping it yields is a non-empty range on one line, FindMapping finds it,
// and writing the mappings back out in the kernel's format reads back the same.
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "crash/minidump/ProcessMaps.h"
#include "tests/fuzz/FuzzCheck.h"

namespace {

std::string Format(const std::vector<crash::Mapping>& maps) {
  std::string text;
  for (const crash::Mapping& m : maps) {
    char fields[128];
    std::snprintf(fields, sizeof fields, "%" PRIx64 "-%" PRIx64 " %c%c%c%c %08" PRIx64 " 00:00 %" PRIu64 " ",
                  m.start, m.end, m.readable ? 'r' : '-', m.writable ? 'w' : '-', m.executable ? 'x' : '-',
                  m.shared ? 's' : 'p', m.offset, m.inode);
    text += fields;
    text += m.path;  // may hold a NUL: append as bytes
    text += '\n';
  }
  return text;
}

bool Same(const crash::Mapping& a, const crash::Mapping& b) {
  return a.start == b.start && a.end == b.end && a.readable == b.readable && a.writable == b.writable &&
         a.executable == b.executable && a.shared == b.shared && a.offset == b.offset && a.inode == b.inode &&
         a.path == b.path;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const std::vector<crash::Mapping> maps = crash::ParseProcessMaps(text);

  std::size_t lines = 0;
  for (char c : text) lines += c == '\n';
  if (!text.empty() && text.back() != '\n') ++lines;
  FUZZ_CHECK(maps.size() <= lines);

  for (const crash::Mapping& m : maps) {
    FUZZ_CHECK(m.start < m.end);
    FUZZ_CHECK(m.path.find('\n') == std::string::npos);
    const crash::Mapping* found = crash::FindMapping(maps, m.start);
    FUZZ_CHECK(found != nullptr && found->start <= m.start && m.start < found->end);
    found = crash::FindMapping(maps, m.end - 1);
    FUZZ_CHECK(found != nullptr && found->start <= m.end - 1 && m.end - 1 < found->end);
  }

  const std::vector<crash::Mapping> again = crash::ParseProcessMaps(Format(maps));
  FUZZ_CHECK(again.size() == maps.size());
  for (std::size_t i = 0; i < maps.size(); ++i) FUZZ_CHECK(Same(maps[i], again[i]));
  return 0;
}
