// A child process that a test starts, owns and always reaps: the destructor kills
// and reaps a child that is still running. Output (stdout and stderr together)
// can be captured through a pipe that the holder reads.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

// The current environment as NAME=VALUE entries.
std::vector<std::string> CurrentEnvironment();

// The current environment less every variable whose name starts with one of
// `prefixes` (e.g. {"ORB", "OMNIORB"} so a child ORB keeps its own endpoints).
std::vector<std::string> EnvironmentWithout(const std::vector<std::string>& prefixes);

// Full path of `name` searched in PATH (a name with '/' is taken as it is);
// empty when not found.
std::string FindProgram(const std::string& name);

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts argv[0] (searched in PATH) with `env`. With `capture` its stdout and
  // stderr go into one pipe read by Output/WaitForOutput, else they are the
  // test's own. Standard input is /dev/null. False when it could not be started
  // (Error() says why) or a child is already held.
  bool Start(const std::vector<std::string>& argv, const std::vector<std::string>& env,
             bool capture = true);

  // -1 when no child is held.
  int Pid() const { return pid_; }
  bool Running() const { return pid_ > 0; }

  // Waits up to timeoutMs for the child to end and reaps it. True once reaped.
  bool WaitForExit(int timeoutMs);
  // Sends `signal` (SIGTERM by default), waits up to timeoutMs, then SIGKILL;
  // always reaps. True when the child ended before the SIGKILL (or none held).
  bool Terminate(int timeoutMs = 5000, int signal = 15);
  // Sends a signal without waiting. False when no child is held.
  bool Signal(int signal);

  // Exit status of the reaped child: exit code, or -1 when it died by a signal.
  int ExitCode() const { return exitCode_; }
  // The signal that ended the child, 0 when it exited.
  int TermSignal() const { return termSignal_; }

  // Reads captured output until `text` appears in it, the output is closed or
  // timeoutMs passes. True when the text was seen.
  bool WaitForOutput(const std::string& text, int timeoutMs);
  // Everything captured so far (reads what is available without blocking).
  const std::string& Output();
  // Reads captured output until the child closes it, at most timeoutMs.
  void ReadOutputToEnd(int timeoutMs);

  const std::string& Error() const { return error_; }

 private:
  void Reap(int status);
  // Reads what the pipe has; waits up to timeoutMs for data first. False on EOF.
  bool ReadSome(int timeoutMs);

  int pid_ = -1;
  int pidfd_ = -1;
  int outFd_ = -1;
  int exitCode_ = -1;
  int termSignal_ = 0;
  std::string output_;
  std::string error_;
};

// Runs a program to its end (bounded by timeoutMs, then killed) and returns its
// exit code (-1 on a signal or a failure to start) with its output in `output`.
int RunProgram(const std::vector<std::string>& argv, const std::vector<std::string>& env,
               std::string& output, int timeoutMs = 20000);

}  // namespace testsupport
