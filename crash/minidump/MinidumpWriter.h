// Writes a standard minidump (MDMP) of a live process that the caller may trace.
#pragma once

#include <cstdint>

#include "crash/CrashInfo.h"

namespace crash {

// Stops every thread of `pid` with ptrace, writes the dump into `fd` (from its
// current offset), then lets every thread go on. `fullMemory` adds every
// readable mapping. true on success; false when the process could not be
// attached or the file could not be written (errno tells why). Does not take
// ownership of `fd`. Any thread; not async-signal-safe.
bool WriteMinidump(std::int32_t pid, const CrashInfo& info, bool fullMemory, int fd);

}  // namespace crash
