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

// Ends, from now on, every command line run by this process: the one in
// progress is killed with everything it started (its process group), and any
// later one as soon as it has been created, so a runner blocked in a program
// that never ends lets the service stop. Called once the service stops; any
// thread. Never undone for the life of the process.
void StopCommandLines();
