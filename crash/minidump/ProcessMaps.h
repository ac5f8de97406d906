// The memory mappings of a process as /proc/PID/maps lists them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crash {

struct Mapping {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // one past the last byte
  bool readable = false;
  bool writable = false;
  bool executable = false;
  bool shared = false;
  std::uint64_t offset = 0;
  std::uint64_t inode = 0;
  std::string path;  // file path, "[stack]"-like name, or empty
};

// Parses the text of a maps file; lines that do not parse are skipped.
std::vector<Mapping> ParseProcessMaps(const std::string& text);

// The mapping that contains `address`, or null.
const Mapping* FindMapping(const std::vector<Mapping>& maps, std::uint64_t address);

// Reads a whole /proc (or any) file into `text`. true on success; false with
// errno otherwise, `text` untouched.
bool ReadWholeFile(const std::string& path, std::string& text);

}  // namespace crash
