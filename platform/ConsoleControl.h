// Console control events: the signals that end a program run from a terminal
// (SIGINT, SIGTERM, SIGHUP, SIGQUIT) delivered as events to a handler.
#pragma once

namespace platform {

// Event codes, as a console delivers them.
enum ConsoleEvent : unsigned {
  CTRL_C_EVENT = 0,         // SIGINT
  CTRL_BREAK_EVENT = 1,     // SIGQUIT
  CTRL_CLOSE_EVENT = 2,     // SIGHUP
  CTRL_SHUTDOWN_EVENT = 6,  // SIGTERM
};

// Returns true when it handled the event; false lets the signal's default
// action end the process.
using ConsoleCtrlHandlerRoutine = bool (*)(unsigned eventCode);

// Blocks the four console signals in the calling thread. Call first in main,
// before any thread exists: every later thread inherits the block, so none of
// them is ever ended by these signals, and one that arrives before a handler
// is installed stays pending and goes to that handler.
void BlockConsoleSignals();

// Undoes BlockConsoleSignals in the calling thread, except for the signals
// in `keepBlocked` (a combination of ConsoleEvent bits: 1u << event code).
// A signal already pending takes its default action at once.
void UnblockConsoleSignals(unsigned keepBlocked = 0);

// Adds `handler` (add == true) or removes it. On the first add a thread starts
// that waits for the console signals and calls the handlers, newest first,
// until one returns true; none does: the signal's default action ends the
// process. Handlers run on that thread, never inside a signal handler.
// True on success; false when the thread could not be started or, on removal,
// the handler was not installed.
bool SetConsoleCtrlHandler(ConsoleCtrlHandlerRoutine handler, bool add);

}  // namespace platform
