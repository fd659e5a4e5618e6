#include "ui/cli/cli_signals.h"

#include <atomic>
#include <condition_variable>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <pthread.h>
#include <signal.h>
#endif

namespace vqr::cli {

namespace {

constexpr int kExitInterrupted = 3;

std::atomic<int> g_signals{0};
std::atomic<bool> g_critical{false};
std::atomic<bool> g_held{false};

// The actions and their lock. A signal's thread may take them while exit() destroys the
// program's static objects after main has returned, so they live on the heap and are never
// destroyed.
struct Actions {
  std::mutex mutex;
  std::function<void()> notice;
  std::function<void()> endNow;
};
Actions* const g_actions = new Actions;

// Runs on the thread that takes the signals. Returns only when the signal is held.
void OnInterrupt() {
  std::function<void()> notice;
  std::function<void()> endNow;
  {
    std::lock_guard lock(g_actions->mutex);
    notice = g_actions->notice;
    endNow = g_actions->endNow;
  }
  if (g_signals.fetch_add(1) == 0 && g_critical.load()) {
    g_held.store(true);
    if (notice) notice();
    return;
  }
  if (endNow) endNow();
  std::_Exit(kExitInterrupted);
}

#if defined(_WIN32)
BOOL WINAPI OnConsoleEvent(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
    case CTRL_CLOSE_EVENT:
      OnInterrupt();
      // Held. A closed console ends the process once this handler returns (or a few seconds
      // later at most): waiting here gives the image that time to be finished.
      if (event == CTRL_CLOSE_EVENT) Sleep(INFINITE);
      return TRUE;
    default:
      return FALSE;
  }
}
#else
sigset_t InterruptSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  return set;
}
#endif

}  // namespace

void InstallInterruptHandling() {
#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
#else
  std::signal(SIGPIPE, SIG_IGN);
  const sigset_t set = InterruptSignals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  std::thread([set] {
    for (;;) {
      int signal = 0;
      if (sigwait(&set, &signal) == 0) OnInterrupt();
    }
  }).detach();
#endif
}

void SetInterruptActions(std::function<void()> notice, std::function<void()> endNow) {
  std::lock_guard lock(g_actions->mutex);
  g_actions->notice = std::move(notice);
  g_actions->endNow = std::move(endNow);
}

void SetCriticalPhase(bool critical) {
  g_critical.store(critical);
}

bool InterruptHeld() {
  return g_held.load();
}

bool RunWithin(std::chrono::milliseconds bound, std::function<void()> work) {
  // Shared with the thread, which may outlive this call when it is stuck.
  struct Done {
    std::mutex mutex;
    std::condition_variable changed;
    bool done = false;
  };
  const auto done = std::make_shared<Done>();
  std::thread([done, work = std::move(work)] {
    work();
    {
      std::lock_guard lock(done->mutex);
      done->done = true;
    }
    done->changed.notify_all();
  }).detach();
  std::unique_lock lock(done->mutex);
  return done->changed.wait_for(lock, bound, [&] { return done->done; });
}

}  // namespace vqr::cli
