// What a crashing client tells the crash server about the crash. The same
// layout travels over the crash socket and reaches the minidump writer.
#pragma once

#include <cstdint>

namespace crash {

struct CrashInfo {
  std::int32_t tid = 0;            // thread the exception stream describes
  std::int32_t signo = 0;          // 0: a dump on demand, no crash
  std::int32_t code = 0;           // si_code of the signal
  std::int32_t hasContext = 0;     // 1: gregs and fpregs hold that thread's registers at the signal
  std::uint64_t faultAddress = 0;  // si_addr
  std::uint64_t gregs[23] = {};    // ucontext_t::uc_mcontext.gregs, in glibc's REG_* order
  std::uint8_t fpregs[512] = {};   // the FXSAVE area that uc_mcontext.fpregs points to
};

static_assert(sizeof(CrashInfo) == 24 + 23 * 8 + 512, "CrashInfo travels as raw bytes");

}  // namespace crash
