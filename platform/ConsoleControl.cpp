#include "platform/ConsoleControl.h"

#include <algorithm>
#include <csignal>
#include <mutex>
#include <system_error>
#include <pthread.h>
#include <thread>
#include <vector>

namespace platform {
namespace {

struct SignalEvent {
  int signal;
  unsigned event;
};

constexpr SignalEvent kSignalEvents[] = {
    {SIGINT, CTRL_C_EVENT},
    {SIGQUIT, CTRL_BREAK_EVENT},
    {SIGHUP, CTRL_CLOSE_EVENT},
    {SIGTERM, CTRL_SHUTDOWN_EVENT},
};

sigset_t ConsoleSignals(unsigned except = 0) {
  sigset_t set;
  sigemptyset(&set);
  for (const SignalEvent& entry : kSignalEvents) {
    if ((except & (1u << entry.event)) == 0) sigaddset(&set, entry.signal);
  }
  return set;
}

std::mutex handlersMutex;
std::vector<ConsoleCtrlHandlerRoutine> handlers;
bool waiterStarted = false;

void EndWithDefaultAction(int signal) {
  struct sigaction action = {};
  action.sa_handler = SIG_DFL;
  sigemptyset(&action.sa_mask);
  sigaction(signal, &action, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  // Directed at this thread, which no longer blocks it: the default action runs now.
  pthread_kill(pthread_self(), signal);
}

void WaitForConsoleSignals() {
  sigset_t set = ConsoleSignals();
  for (;;) {
    int signal = 0;
    if (sigwait(&set, &signal) != 0) continue;
    unsigned event = 0;
    for (const SignalEvent& entry : kSignalEvents) {
      if (entry.signal == signal) event = entry.event;
    }
    std::vector<ConsoleCtrlHandlerRoutine> current;
    {
      std::lock_guard<std::mutex> lock(handlersMutex);
      current = handlers;
    }
    bool handled = false;
    for (auto it = current.rbegin(); it != current.rend() && !handled; ++it) handled = (*it)(event);
    if (!handled) EndWithDefaultAction(signal);
  }
}

}  // namespace

void BlockConsoleSignals() {
  sigset_t set = ConsoleSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void UnblockConsoleSignals(unsigned keepBlocked) {
  sigset_t set = ConsoleSignals(keepBlocked);
  pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

bool SetConsoleCtrlHandler(ConsoleCtrlHandlerRoutine handler, bool add) {
  std::lock_guard<std::mutex> lock(handlersMutex);
  if (!add) {
    auto it = std::find(handlers.begin(), handlers.end(), handler);
    if (it == handlers.end()) return false;
    handlers.erase(it);
    return true;
  }
  if (!waiterStarted) {
    // The waiter must block the signals itself for sigwait to take them, even
    // when the caller never called BlockConsoleSignals.
    sigset_t set = ConsoleSignals();
    sigset_t previous;
    pthread_sigmask(SIG_BLOCK, &set, &previous);
    try {
      std::thread(WaitForConsoleSignals).detach();
    } catch (const std::system_error&) {
      pthread_sigmask(SIG_SETMASK, &previous, nullptr);
      return false;
    }
    waiterStarted = true;
  }
  handlers.push_back(handler);
  return true;
}

}  // namespace platform
