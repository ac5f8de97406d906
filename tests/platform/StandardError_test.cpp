#include "platform/StandardError.h"

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <iostream>
#include <string>

namespace {

// Runs `write` in a forked child whose fd 2 is a pipe, after installing the
// wide standard error; returns everything the child wrote there.
std::string StandardErrorOf(const std::function<void()>& write) {
  int fds[2];
  if (pipe(fds) != 0) return "<pipe failed>";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    platform::InstallWideStandardError();
    write();
    std::cerr.flush();
    std::wcerr.flush();
    _exit(0);
  }
  close(fds[1]);
  std::string text;
  char buffer[256];
  for (;;) {
    pollfd pfd{fds[0], POLLIN, 0};
    if (poll(&pfd, 1, 10000) <= 0) break;  // bounded: a stuck child fails the test
    ssize_t n = read(fds[0], buffer, sizeof buffer);
    if (n <= 0) break;
    text.append(buffer, static_cast<size_t>(n));
  }
  close(fds[0]);
  int status = 0;
  if (pid > 0) {
    kill(pid, SIGKILL);
    waitpid(pid, &status, 0);
  }
  return text;
}

struct Case {
  const char* name;
  std::function<void()> write;
  std::string expected;
};

TEST(StandardErrorTest, NarrowAndWideTextAllArriveInOrder) {
  const Case cases[] = {
      {"wide first, then narrow",
       [] {
         std::wcerr << L"wide one" << std::endl;
         std::cerr << "narrow two" << std::endl;
       },
       "wide one\nnarrow two\n"},
      {"narrow first, then wide",
       [] {
         std::cerr << "narrow one" << std::endl;
         std::wcerr << L"wide two" << std::endl;
       },
       "narrow one\nwide two\n"},
      {"interleaved without line ends",
       [] {
         std::wcerr << L"a";
         std::cerr << "b";
         std::wcerr << L"c" << 42;
         std::cerr << "d\n";
       },
       "abc42d\n"},
      {"non-ASCII wide and narrow text",
       [] {
         std::wcerr << L"Gr\u00fc\u00dfe \u20ac \U0001F600" << std::endl;
         std::cerr << "\xc3\xa4 narrow" << std::endl;
         std::wcerr << L"after" << std::endl;
       },
       "Gr\xc3\xbc\xc3\x9f" "e \xe2\x82\xac \xf0\x9f\x98\x80\n\xc3\xa4 narrow\nafter\n"},
      {"bytes kept from invalid UTF-8 come back as they were",
       [] { std::wcerr << L"raw \xDCFF end" << std::endl; },
       "raw \xff end\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(StandardErrorOf(c.write), c.expected);
  }
}

}  // namespace
