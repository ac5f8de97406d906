#include "launcher/ExecuteCommandLine.h"

#include <iostream>
#include <vector>

#include "kllib/KLLib.h"
#include "platform/CommandLine.h"
#include "platform/Process.h"

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
  int status = 0;
  child.Wait(status);  // the exit code is not the runner's business
  return true;
}
