// The two workers the window starts on threads of their own: the identification of a device
// that was just opened, and the update run started by the start button; and Workers, which
// owns those threads.
//
// Both talk to the window only through the window port of their context. They never run
// against the device at the same time: each holds the device for its whole run, so an
// identification started by a device found again during an update waits until the update has
// ended, and a second press of the start button while a run is under way is ignored.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "workflow/context.h"

namespace vqr {

// A worker's entry: its argument is the WorkerContext it runs with.
using WorkerEntry = std::uint32_t (*)(void* context);

// Reads the device's information page, loads and lists its catalog, enables the start
// button. Returns 1 when the catalog is listed. Every failure ends the process through the
// window port (and returns 0). When the device is unplugged while it runs, it lists nothing:
// the list, the catalog rows it stands for and the start button change together, in one step
// on the window's thread that an unplug cannot split (returns 0 then). A null or incomplete
// context does nothing and returns 0.
std::uint32_t IdentifyThread(void* context);

// Downloads every image the run installs and checks each (its signature when signatures are
// required, the package check, its header, and against the others of the run: no two overlap,
// none leaves an information page the updater would refuse), all before the first command
// that changes the device; then programs them in row order and sends the closing command.
// Returns 1 when the run completed; every failure ends the process through the window port
// (and returns 0).
std::uint32_t UpdateThread(void* context);

// Owns the worker threads of one window: starts each with its own copy of the context and
// joins every one of them before it is destroyed, so no worker outlives the objects it uses.
class Workers {
 public:
  explicit Workers(WorkerContext context);
  // Stop().
  ~Workers();
  Workers(const Workers&) = delete;
  Workers& operator=(const Workers&) = delete;

  // The context the next workers start with (window thread, between starts).
  WorkerContext& Context() { return m_context; }
  WorkerShared& Shared() { return m_shared; }

  // Starts `entry` on a new thread. False when no thread could be started (nothing is
  // reported). Threads that have ended are joined here.
  bool Start(WorkerEntry entry);

  // The window's unplug handler calls this on the window's thread.
  void NoteDeviceRemoved() { m_shared.removals.fetch_add(1); }
  bool UpdateRunning() const { return m_shared.updateRunning.load(); }

  // Asks the workers to stop (see WorkerShared::stopping) and waits for every one of them,
  // calling `whileWaiting` (when given) every 20 ms until they have ended. Call it once the
  // window port has stopped serving, so that no worker waits for a window that is no longer
  // there. Idempotent.
  void Stop(const std::function<void()>& whileWaiting = {});

 private:
  struct Running {
    std::thread thread;
    std::unique_ptr<WorkerContext> context;
    std::shared_ptr<std::atomic<bool>> done;
  };
  void JoinEnded();

  WorkerShared m_shared;
  WorkerContext m_context;
  std::mutex m_mutex;
  std::vector<Running> m_running;
};

}  // namespace vqr
