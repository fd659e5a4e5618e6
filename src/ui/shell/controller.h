// The main window's behaviour without a toolkit: the once-a-second device search, the start
// button, the reaction to the device going away, and the workers it starts. Each front end
// (Win32, Qt, the command line, the tests) drives one controller from its window's thread and
// gives it the window through the window port and a search timer it can start and stop.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <utility>

#include "device/hid_backend.h"
#include "ui/shell/device_notice.h"
#include "workflow/workers.h"

namespace vqr::ui {

class WindowPort;

// The front end's one-second search timer.
class SearchTimer {
 public:
  virtual ~SearchTimer() = default;
  virtual void StartSearchTimer() = 0;
  virtual void StopSearchTimer() = 0;
};

// A search timer that never fires, for a front end that drives the search itself (the command
// line) and for tests that call Probe() and the unplug handler by hand.
class NoSearchTimer final : public SearchTimer {
 public:
  void StartSearchTimer() override {}
  void StopSearchTimer() override {}
};

class WindowController {
 public:
  // `context` is the prototype of every worker's context; its port must be `port`. Starts in
  // the searching state; the front end starts its timer (the controller does not).
  WindowController(WindowPort& port, SearchTimer& timer, WorkerContext context);
  // Stops the workers (Shutdown).
  ~WindowController();
  WindowController(const WindowController&) = delete;
  WindowController& operator=(const WindowController&) = delete;

  // The timer's tick: probes for the device; on success stops the timer, sets the
  // device-present flag and starts the identification worker; otherwise counts the tick in
  // the device label (entry 136 with the count).
  void Tick();
  // The device half of a tick: true when the device was found (and the identification
  // started); false otherwise. A device of the family that is plugged in but cannot be opened
  // is not found; the notice handler then hears why, once per arrival (see SetNoticeHandler).
  bool Probe();

  // A HID interface of `vendor` went away. Acts only while the device is present and the
  // vendor is the device's: disables the start button and puts its caption back, empties and
  // disables the image list, and starts searching again from 0. An identification still
  // running lists nothing afterwards. (While searching, a removal of the vendor's interface
  // only ends the arrival of a device that could not be opened.)
  void OnInterfaceRemoved(std::uint16_t vendor);

  // Tells the user why a device that is plugged in cannot be opened (device_notice.h has the
  // texts): the handler runs on the searching thread with the notice's text once per arrival
  // of such a device: not again on every tick while the same interface stays plugged in and
  // fails the same way, again once it was away (a tick found no device of the family, or its
  // vendor's interface was removed) and came back, or when it fails another way. When a
  // device is found after a notice, the handler runs with an empty text: the notice is stale.
  // The search and the device label are not affected. `foreign`, when given, is how the front
  // end shows the notice's texts that come from the platform (the interface's path, the
  // error's text): they go into the notice through it.
  void SetNoticeHandler(std::function<void(const std::u16string& text)> handler,
                        ForeignText foreign = {}) {
    m_notice = std::move(handler);
    m_foreign = std::move(foreign);
  }

  // The start button: starts the update worker.
  void OnStart();

  // The program is ending. Call after the port has stopped serving: asks the workers to stop
  // and waits for them (an update run is finished first), calling `whileWaiting` every 20 ms
  // meanwhile. Idempotent.
  void Shutdown(const std::function<void()>& whileWaiting = {});

  bool DevicePresent() const { return m_devicePresent; }
  int SearchCount() const { return m_searchCount; }
  Workers& WorkerThreads() { return m_workers; }

  // Replaces how workers are started (tests that only look at the window); by default they
  // run on threads owned by WorkerThreads().
  void SetWorkerStarter(std::function<bool(WorkerEntry)> start) { m_start = std::move(start); }

 private:
  WindowPort& m_port;
  SearchTimer& m_timer;
  Workers m_workers;
  std::function<bool(WorkerEntry)> m_start;
  void NoteOpenFailure();

  int m_searchCount = 0;
  bool m_devicePresent = false;
  std::function<void(const std::u16string&)> m_notice;
  ForeignText m_foreign;
  // The interface and kind of failure of the arrival the user was last told about.
  std::optional<std::pair<std::u16string, hid::OpenError>> m_toldOf;
  bool m_noticeShown = false;
};

}  // namespace vqr::ui
