#include "launcher/ExecuteCommandLine.h"

#include <iostream>
#include <mutex>
#include <vector>

#include "kllib/KLLib.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"

namespace {

// The process group of the command line in progress (-1 when none), and
// whether the service has stopped, under one lock: a stop either finds the
// group registered or is seen by the runner right after the spawn.
std::mutex runningMutex;
int runningGroup = -1;
bool commandLinesStopped = false;

}  // namespace

void StopCommandLines() {
  std::lock_guard<std::mutex> lock(runningMutex);
  commandLinesStopped = true;
  if (runningGroup > 0) platform::ChildProcess::KillProcessGroup(runningGroup);
}

bool ExecuteCommandLine(std::wstring& commandLine) { return ExecuteCommandLine(commandLine, commandLine); }

bool ExecuteCommandLine(std::wstring& commandLine, const std::wstring& lineToLog) {
  std::vector<std::string> argv;
  for (const auto& argument : platform::SplitCommandLine(commandLine)) {
    argv.push_back(KLLib::strings::toAstr(argument));
  }
  platform::ChildProcess child;
  const int err = platform::ChildProcess::Spawn(argv, child);
  if (err != 0) {
    std::wcerr << L"Can't execute: " << lineToLog << std::endl;
    std::wcerr << L"Reason: " << KLLib::system::GetErrorMsgById(static_cast<std::uint32_t>(err)) << std::endl;
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(runningMutex);
    runningGroup = child.Pid();
    if (commandLinesStopped) platform::ChildProcess::KillProcessGroup(runningGroup);
  }
  // Not reaped before it leaves the register, so the group id cannot be reused meanwhile.
  child.WaitForEnd();
  {
    std::lock_guard<std::mutex> lock(runningMutex);
    runningGroup = -1;
  }
  int status = 0;
  child.Wait(status);  // the exit code is not the runner's business
  return true;
}
