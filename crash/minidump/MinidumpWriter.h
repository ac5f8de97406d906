// Writes a standard minidump (MDMP) of a live process that the caller may trace.
#pragma once

#include <cstdint>

#include "crash/CrashInfo.h"

namespace crash {

// Stops every thread of `pid` with ptrace, writes the dump into `fd` (from its
// current offset), then lets every thread go on. `fullMemory` adds every
// readable mapping. true on success; false when the process could not be
// attached or the file could not be written (errno tells why: ESRCH for a
// process that is not there). Does not take ownership of `fd`. Any thread; not
// async-signal-safe.
//
// The dump holds the threads with their registers and stacks, the modules with
// their build ids, system and process information and the process's maps,
// status, cmdline and auxv, never its environment. For info.tid with
// info.hasContext, the registers at the signal replace those ptrace sees.
// info.signo != 0 adds the exception stream (the crash); a dump on demand
// (signo 0) has none. A thread that does not stop within a short bound, or
// that ends meanwhile, is left out.
bool WriteMinidump(std::int32_t pid, const CrashInfo& info, bool fullMemory, int fd);

}  // namespace crash
