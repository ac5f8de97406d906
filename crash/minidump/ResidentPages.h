// Which pages of another process hold data of their own, so a full dump can
// leave out reserved but never touched memory (sanitizer shadows, thread
// stacks, arenas), which would otherwise cost its whole size in zeros.
#pragma once

#include <cstdint>
#include <vector>

#include "platform/ScopedFd.h"

namespace crash {

struct PageRange {
  std::uint64_t start = 0;
  std::uint64_t end = 0;  // one past the last byte
};

class ResidentPages {
 public:
  // Opens the page tables of `pid` (any live thread of the process); the
  // caller must be allowed to trace it.
  explicit ResidentPages(std::int32_t pid);
  ResidentPages(const ResidentPages&) = delete;
  ResidentPages& operator=(const ResidentPages&) = delete;

  // The runs of [start, end) whose pages are in memory or swapped out, in
  // order. true with `ranges` filled; false when the kernel cannot tell (older
  // than Linux 6.7, or the process is gone), `ranges` untouched.
  bool Find(std::uint64_t start, std::uint64_t end, std::vector<PageRange>& ranges) const;

 private:
  platform::ScopedFd pagemap_;
};

}  // namespace crash
