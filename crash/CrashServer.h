// The update service's crash collection: the crash server on the crash socket
// and its two callbacks, which write their records to std::wcerr.
#pragma once

#include <string>

namespace crash {
class ClientInfo;
}

// Starts the process's crash server on the crash socket, with its dumps in
// CSettings::GetCrashDumpsFolder (created with its parents, mode 0700, when
// missing). Call once, first thing, on the main thread. Never fails the program:
// a folder it cannot use or a socket it cannot bind is reported on std::wcerr and
// the process goes on without crash collection. The server runs until the
// process exits.
void StartCrashServer();

// "app attached". Runs on a crash server thread.
void OnCrashClientConnected(void* context, const crash::ClientInfo* clientInfo);

// "Application crash handled", then the client's appname and the dump's path.
// Runs on a crash server thread, only after the dump was written.
void OnCrashDumpRequest(void* context, const crash::ClientInfo* clientInfo, const std::wstring* dumpPath);
