// The process runner: the only place where the update service starts other
// programs.
#pragma once

#include <string>

// Runs `commandLine` (program first, split by the home system's rules) and
// waits, with no time limit, until the process has ended; its exit code is
// not read. The child gets this process's environment and current folder and
// none of its descriptors beyond standard input, output and error.
// true: the process was created and has ended. false: it could not be created;
// "Can't execute: " and the line, then "Reason: " and the system's text, were
// written to std::wcerr. Blocks the calling thread.
bool ExecuteCommandLine(std::wstring& commandLine);

// As above, but a failure is logged with `lineToLog` in place of the command
// line, so a secret in it stays out of the log.
bool ExecuteCommandLine(std::wstring& commandLine, const std::wstring& lineToLog);
