// The crash client that the family's programs link: registers the program
// with the update service's crash server and has a minidump written when the
// program crashes, or on demand.
#pragma once

#include <vector>

#include "crash/CrashProtocol.h"

namespace crash {

// Connects to the crash server, registers `customInfo` (an "appname" entry
// names the program in the server's log) and the kind of dump wanted, lets
// the server trace this process, and installs the crash handlers for SIGSEGV,
// SIGBUS, SIGFPE, SIGILL, SIGABRT and SIGTRAP on an alternate stack of the
// calling thread (other threads handle crashes on their own stacks, so a stack
// overflow there dies undumped). The connection stays open for the life of the process.
// true on success; false when there is no crash server, it does not answer in
// time, the information breaks a limit, or the client is already started: the
// program then runs on without crash collection. Call once, on the main
// thread, before other threads start.
bool StartCrashClient(const std::vector<protocol::CustomInfoEntry>& customInfo, protocol::DumpType dumpType);

// Has the crash server write a dump of this process now; the process goes on.
// true when the server reports the dump written; false when not started, the
// server refuses or fails, or no answer comes in time. Any thread;
// async-signal-safe.
bool RequestDump();

}  // namespace crash
