// Reads the memory of another process that the caller may trace.
#pragma once

#include <cstddef>
#include <cstdint>

namespace crash {

class ProcessMemory {
 public:
  // `pid` may name any live thread of the process.
  explicit ProcessMemory(std::int32_t pid) : pid_(pid) {}

  // Reads `size` bytes at `address` into `out`. true only when all were read.
  bool Read(std::uint64_t address, std::size_t size, void* out) const;

  // Reads `size` bytes at `address` into `out`, putting zeros where a page
  // cannot be read. Returns how many bytes were really read.
  std::size_t ReadFilling(std::uint64_t address, std::size_t size, void* out) const;

 private:
  // Bytes read from the start of the range (stops at the first unreadable page).
  std::size_t ReadPrefix(std::uint64_t address, std::size_t size, void* out) const;

  std::int32_t pid_;
};

}  // namespace crash
