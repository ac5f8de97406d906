#include "crash/minidump/ProcessMaps.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

#include "platform/ScopedFd.h"

namespace crash {

std::vector<Mapping> ParseProcessMaps(const std::string& text) {
  std::vector<Mapping> maps;
  std::size_t pos = 0;
  while (pos < text.size()) {
    std::size_t eol = text.find('\n', pos);
    if (eol == std::string::npos) eol = text.size();
    const std::string line = text.substr(pos, eol - pos);
    pos = eol + 1;

    Mapping m;
    char perms[5] = {};
    unsigned devMajor = 0, devMinor = 0;
    int pathStart = -1;
    if (std::sscanf(line.c_str(), "%" SCNx64 "-%" SCNx64 " %4s %" SCNx64 " %x:%x %" SCNu64 " %n",
                    &m.start, &m.end, perms, &m.offset, &devMajor, &devMinor, &m.inode,
                    &pathStart) < 7 ||
        m.end <= m.start) {
      continue;
    }
    m.readable = perms[0] == 'r';
    m.writable = perms[1] == 'w';
    m.executable = perms[2] == 'x';
    m.shared = perms[3] == 's';
    if (pathStart > 0 && static_cast<std::size_t>(pathStart) < line.size())
      m.path = line.substr(static_cast<std::size_t>(pathStart));
    maps.push_back(m);
  }
  return maps;
}

const Mapping* FindMapping(const std::vector<Mapping>& maps, std::uint64_t address) {
  for (const Mapping& m : maps) {
    if (address >= m.start && address < m.end) return &m;
  }
  return nullptr;
}

bool ReadWholeFile(const std::string& path, std::string& text) {
  platform::ScopedFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd.valid()) return false;
  std::string data;
  char buffer[16384];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  text.swap(data);
  return true;
}

}  // namespace crash
