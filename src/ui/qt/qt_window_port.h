// The window port of the Qt window. Every call is carried out on the GUI thread, in call order:
// from another thread it is posted to the GUI thread and the caller waits until it has been
// done (a blocking queued call); on the GUI thread it runs at once. A message box therefore
// blocks the calling worker until the user closes it, and the texts and states appear in the
// order the worker set them.
//
// Shutting down. Close() (also run by the destructor, on the GUI thread) stops serving: calls
// made afterwards return at once without touching the window, and calls already waiting for the
// GUI thread are released without being carried out. A worker that is still running when the
// program leaves its event loop can thus neither hang nor reach a destroyed window.
#pragma once

#include <QObject>
#include <atomic>
#include <functional>

#include "port/window_port.h"

class QMessageBox;

namespace vqr::ui::qt {

class MainWindow;

class QtWindowPort final : public WindowPort {
 public:
  // Create on the GUI thread; `window` must outlive the port or the port's Close().
  explicit QtWindowPort(MainWindow& window);
  ~QtWindowPort() override;
  QtWindowPort(const QtWindowPort&) = delete;
  QtWindowPort& operator=(const QtWindowPort&) = delete;

  void SetText(int control, const std::u16string& text) override;
  void Enable(int control, bool enabled) override;
  void AppendListItem(const std::u16string& text) override;
  void SelectListItem(int index) override;
  int ListSelection() override;
  void ClearList() override;
  void Batch(const std::function<void()>& work) override;
  std::u16string LoadString(int id) override;
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  MessageIcon icon) override;
  // Ends the event loop with `code` (QCoreApplication::exit), so main() returns it.
  void EndProcess(int code) override;

  // Stops serving (see above). GUI thread only; idempotent.
  void Close();

  // For tests: called on the GUI thread with each message box just before it is shown.
  void SetMessageBoxHook(std::function<void(QMessageBox&)> hook);
  // For tests: the number of calls from other threads that have not yet returned.
  int CallsInFlight() const { return m_inFlight.load(); }

 private:
  struct Call;
  class CallEvent;
  // Lives on the GUI thread; the target of the posted calls.
  class Receiver final : public QObject {
   public:
    explicit Receiver(QtWindowPort& port) : m_port(port) {}
    bool event(QEvent* event) override;

   private:
    QtWindowPort& m_port;
  };

  // Runs `work` on the GUI thread and waits for it; returns false when the port is closed and
  // `work` did not run.
  bool OnGuiThread(const std::function<void()>& work);
  // A posted call, on the GUI thread.
  void Run(Call& call);

  MainWindow& m_window;
  Receiver m_receiver;
  std::atomic<bool> m_closed{false};
  std::atomic<int> m_inFlight{0};
  std::atomic<unsigned> m_handoff{0};
  std::function<void(QMessageBox&)> m_boxHook;
};

}  // namespace vqr::ui::qt
