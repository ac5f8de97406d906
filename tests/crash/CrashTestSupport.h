// Fixtures for the crash tests: child processes with captured output, a
// private network namespace (the crash socket's name is fixed), temporary
// folders and lldb.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

#include "platform/ScopedFd.h"
#include "tests/support/TempFolder.h"

namespace crashtest {

constexpr int kWaitMs = 30000;  // bound of every wait for a process or a line

// Collects the lines that a child writes to one pipe.
class LineReader {
 public:
  LineReader() = default;
  explicit LineReader(int fd) : fd_(fd) {}
  // Reads until a line containing `text` has arrived `count` times in all, or
  // the pipe closes, or `timeoutMs` passed. true when found.
  bool WaitFor(const std::string& text, int count = 1, int timeoutMs = kWaitMs);
  // Reads whatever is there without waiting.
  void Drain();
  int Count(const std::string& text) const;
  const std::vector<std::string>& Lines() const { return lines_; }
  std::string Text() const;

 private:
  bool ReadSome(int timeoutMs);  // false on end of file or timeout
  platform::ScopedFd fd_;
  std::string partial_;
  std::vector<std::string> lines_;
  bool closed_ = false;
};

// A child process that is killed and reaped when the holder goes.
class Child {
 public:
  Child() = default;
  ~Child();
  Child& operator=(const Child&) = delete;
  Child(const Child&) = delete;

  // Runs `argv` with `extraEnv` ("NAME=value") added; standard output and error
  // are captured. false when it could not start.
  bool Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv = {});
  // Adopts a forked child.
  void Adopt(pid_t pid);
  // Waits up to `timeoutMs` for the child to end; its wait status, or -1 when it did not end.
  int Wait(int timeoutMs = kWaitMs);
  bool Signal(int signo);
  pid_t pid() const { return pid_; }
  LineReader& out() { return out_; }
  LineReader& err() { return err_; }

 private:
  pid_t pid_ = -1;
  platform::ScopedFd pidfd_;
  bool reaped_ = false;
  LineReader out_;
  LineReader err_;
};

// A new folder under the temporary folder, removed with its contents at the end.
using TempDir = testing_support::TempFolder;

std::string CrashHostPath();
std::string CrashDemoPath();

// lldb's "thread list" and "bt" of a dump; empty when lldb did not finish.
std::string LldbReport(const std::string& dumpFile);
std::string ReadFileBytes(const std::string& path);
// Names of the files in `folder`, sorted.
std::vector<std::string> FilesIn(const std::string& folder);
// Number of open descriptors of `pid`.
int OpenDescriptors(pid_t pid);

}  // namespace crashtest
