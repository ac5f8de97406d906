// The GNU build id of an ELF module, which debuggers match against files.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace crash {

class ProcessMemory;

// Reads the build id of the ELF image whose header is mapped at `base` in the
// process behind `memory`. true with `id` filled on success; false when the
// image has no readable header or build-id note, `id` untouched.
bool ReadElfBuildIdFromMemory(const ProcessMemory& memory, std::uint64_t base,
                              std::vector<std::uint8_t>& id);

// Same, from the ELF file at `path`.
bool ReadElfBuildIdFromFile(const std::string& path, std::vector<std::uint8_t>& id);

}  // namespace crash
