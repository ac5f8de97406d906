// The update server: logs to its log file, publishes the Launcher object in
// the Coordinator's naming service, waits for the stop signal and withdraws.
#pragma once

#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

#include <fstream>

#include "corba/CCorbaWrapper.h"
#include "launcher/Launcher_impl.h"

class CBackupServer : public CCorbaWrapper {
 public:
  // Loads the settings file into the settings singleton (creating it).
  CBackupServer();
  // Closes the log, gives std::wcerr its buffer back, deletes the settings
  // singleton; the tie then deletes the servant.
  ~CBackupServer() override;
  CBackupServer(const CBackupServer&) = delete;
  CBackupServer& operator=(const CBackupServer&) = delete;

  // The whole life of the server, once per object, on the thread that will
  // wait. With argc > 1 and argv set, only starts the ORB from them (the
  // result of InitOrb). Otherwise connects with the settings, publishes and
  // waits for the stop: 0 after an orderly stop, 1 when the start failed.
  int Run(int argc, wchar_t** argv);

  // Writes each non-null argument as a line of the log.
  void ReportError(const char* message, const char* exceptionName, const char* exceptionInfo) override;

  // Blocks until the stop signal; returns at once when a stop was raised
  // before the wait began. Ends the process's one wait: later calls and
  // later stop requests do nothing.
  static void WaitForStop();
  // Raises the process-wide stop signal. Any thread; not from a signal handler.
  static void SignalStop();
  // Empties the log file (creating it when its folder exists). Silent.
  static void ResetLogFile();

 private:
  // Writes one line to std::wcerr and flushes it.
  static void WriteLine(const wchar_t* text);

  LauncherTie launcherTie;
  std::wofstream logStream;
  std::wstreambuf* savedWcerrBuffer = nullptr;

  // The stop signal is process-wide, so is its mutex: SignalStop must take the
  // same lock as the wait, or a stop raised just before the wait is lost.
  // Never destroyed: a late stop from another thread may come during exit.
  static boost::mutex& stopMutex;
  static boost::condition_variable& stopCondition;
  static bool stopDone;       // the wait has ended; under stopMutex
  static bool stopRequested;  // a stop was raised; under stopMutex
};
