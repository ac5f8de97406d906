#include "CrashTestSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

extern char** environ;

namespace crashtest {
namespace {

// The crash socket's name is fixed: each test process gets a network
// namespace of its own, so parallel tests and a running update service never meet.
class PrivateNetwork : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_EQ(::unshare(CLONE_NEWNET), 0) << "unshare(CLONE_NEWNET): " << std::strerror(errno);
  }
};

const auto* const gPrivateNetwork = ::testing::AddGlobalTestEnvironment(new PrivateNetwork);

using Clock = std::chrono::steady_clock;

int MsLeft(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace

bool LineReader::ReadSome(int timeoutMs) {
  if (closed_ || !fd_.valid()) return false;
  pollfd p{fd_.get(), POLLIN, 0};
  const int ready = ::poll(&p, 1, timeoutMs);
  if (ready <= 0) return ready < 0 && errno == EINTR;
  char buffer[4096];
  const ssize_t n = ::read(fd_.get(), buffer, sizeof(buffer));
  if (n <= 0) {
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) return true;
    closed_ = true;
    if (!partial_.empty()) lines_.push_back(partial_), partial_.clear();
    return false;
  }
  partial_.append(buffer, static_cast<std::size_t>(n));
  std::size_t end;
  while ((end = partial_.find('\n')) != std::string::npos) {
    lines_.push_back(partial_.substr(0, end));
    partial_.erase(0, end + 1);
  }
  return true;
}

bool LineReader::WaitFor(const std::string& text, int count, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Count(text) < count) {
    if (!ReadSome(MsLeft(deadline)) && (closed_ || MsLeft(deadline) == 0)) return Count(text) >= count;
  }
  return true;
}

void LineReader::Drain() {
  while (ReadSome(0)) {
  }
}

int LineReader::Count(const std::string& text) const {
  return static_cast<int>(
      std::count_if(lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(text) != std::string::npos; }));
}

std::string LineReader::Text() const {
  std::string all;
  for (const std::string& line : lines_) all += line + "\n";
  return all + partial_;
}

Child::~Child() {
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    int status = 0;
    ::waitpid(pid_, &status, 0);
  }
}

bool Child::Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& extraEnv) {
  int outPipe[2];
  int errPipe[2];
  if (::pipe2(outPipe, O_CLOEXEC) != 0) return false;
  if (::pipe2(errPipe, O_CLOEXEC) != 0) {
    ::close(outPipe[0]);
    ::close(outPipe[1]);
    return false;
  }
  platform::ScopedFd outRead(outPipe[0]), outWrite(outPipe[1]), errRead(errPipe[0]), errWrite(errPipe[1]);

  std::vector<std::string> env;
  for (char** e = environ; *e != nullptr; ++e) {
    const std::string entry = *e;
    const std::string name = entry.substr(0, entry.find('='));
    const bool overridden = std::any_of(extraEnv.begin(), extraEnv.end(), [&](const std::string& x) {
      return x.compare(0, name.size() + 1, name + "=") == 0;
    });
    if (!overridden) env.push_back(entry);
  }
  env.insert(env.end(), extraEnv.begin(), extraEnv.end());
  std::vector<char*> envp;
  for (std::string& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);
  std::vector<std::string> args = argv;
  std::vector<char*> argp;
  for (std::string& a : args) argp.push_back(a.data());
  argp.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, outWrite.get(), STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, errWrite.get(), STDERR_FILENO);
  pid_t pid = -1;
  const int rc = ::posix_spawn(&pid, argp[0], &actions, nullptr, argp.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return false;
  Adopt(pid);
  out_ = LineReader(outRead.release());
  err_ = LineReader(errRead.release());
  return true;
}

void Child::Adopt(pid_t pid) {
  pid_ = pid;
  reaped_ = false;
  pidfd_.reset(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

int Child::Wait(int timeoutMs) {
  if (pid_ <= 0 || reaped_) return -1;
  pollfd p{pidfd_.get(), POLLIN, 0};
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    const int ready = ::poll(&p, 1, MsLeft(deadline));
    if (ready > 0) break;
    if (ready == 0 || errno != EINTR) return -1;
  }
  int status = 0;
  if (::waitpid(pid_, &status, 0) != pid_) return -1;
  reaped_ = true;
  return status;
}

bool Child::Signal(int signo) { return pid_ > 0 && !reaped_ && ::kill(pid_, signo) == 0; }

std::string CrashHostPath() { return CRASHHOST_PATH; }
std::string CrashDemoPath() { return CRASHDEMO_PATH; }

std::string LldbReport(const std::string& dumpFile) {
  Child lldb;
  if (!lldb.Spawn({"/usr/bin/lldb", "--batch", "-c", dumpFile, "-o", "thread list", "-o", "bt"})) return {};
  lldb.out().WaitFor("\x01 never", 1, 120000);  // reads until lldb closes its output
  lldb.Wait(10000);
  return lldb.out().Text();
}

std::string ReadFileBytes(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

std::vector<std::string> FilesIn(const std::string& folder) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return names;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

int OpenDescriptors(pid_t pid) {
  return static_cast<int>(FilesIn("/proc/" + std::to_string(pid) + "/fd").size());
}

}  // namespace crashtest
