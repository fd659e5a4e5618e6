// The Qt main window of vqr03: the seven controls, the one-second device search, the start and
// exit buttons, the about box and the reaction to the device going away.
//
// Controls. Each child control's object name is its control id written as "0x" and two
// upper-case hexadecimal digits ("0x74" is the device label, "0x7D" the image list); see
// ControlObjectName(). Rectangles are client coordinates of a 400 x 400 client area. The image
// list's rectangle is 280 pixels wide as given, but only as tall as one line of a closed combo
// box: the 400-pixel height of the native control is the extent of its drop-down list, which
// Qt sizes by itself.
//
// No close box. The window has a title bar and a sizing border but no system menu and no close,
// minimise or maximise button (Qt::CustomizeWindowHint | Qt::WindowTitleHint, the counterpart
// of WS_CAPTION | WS_THICKFRAME). A close request from the window manager (Alt+F4 and the like)
// is ignored; only the exit button closes the window, which ends the event loop with code 0.
//
// How workers reach the controls. The two workers never touch a widget. They go through the
// window port (QtWindowPort), which carries every call out on the GUI thread in call order while
// the worker waits, so the visible order of texts and states is the order of the calls. There is
// no shared status-text buffer: the search tick and each worker format their texts into local
// strings, so no text is written by two threads. The device-present flag, the search counter
// and the timer are touched only on the GUI thread (tick, unplug handler, start button).
//
// How removal is noticed. On Linux there is no device-change broadcast to the window. Two
// sources call OnInterfaceRemoved(): a libudev monitor of hidraw removals (UdevMonitor, wired
// up by main()), which reads the removed interface's vendor ID from its HID parent, and the
// removal listener of the HID backend in use (the simulated backend raises notices itself).
// Backend notices may come from any thread; they are relayed to the GUI thread.
//
// A device of the family that is plugged in but cannot be opened (no permission, held by
// another program) is not found: the search goes on and the device label keeps counting, and a
// non-modal notice (object name "deviceNotice") beside the window says why, once per arrival;
// it goes when a device is found.
#pragma once

#include <QIcon>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

#include "ui/shell/controller.h"
#include "workflow/context.h"

#include "vqr_version.h"

namespace vqr::hid {
class HidBackend;
}

class QComboBox;
class QDialog;
class QGroupBox;
class QLabel;
class QMessageBox;
class QPushButton;

namespace vqr::ui::qt {

class QtWindowPort;

// The program version shown in the title (the project's version).
inline constexpr int kProgramMajor = VQR_VERSION_MAJOR;
inline constexpr int kProgramMinor = VQR_VERSION_MINOR;

// "0x" followed by the id in two (or more) upper-case hexadecimal digits: 0x74 -> "0x74".
QString ControlObjectName(int id);

// The window title: " VQR03   [%2d.%2d ]" with the version's major and minor.
QString WindowTitle();

// The program's icon (the drawings of the Windows icon, 16 to 128 pixels), built into the
// program as a Qt resource: the window's icon and the about box's picture.
QIcon ProgramIcon();

struct WindowOptions {
  // Period of the device search.
  std::chrono::milliseconds tickPeriod{1000};
  // What the workers start with: the HTTP backend (the platform's when null), the update
  // server, a progress observer. The window fills in its own port.
  WorkerContext context;
  // Replaces how workers are started (tests that only look at the window); by default they
  // run on threads the window owns and joins when it is destroyed.
  std::function<bool(WorkerEntry)> startWorker;
};

class MainWindow final : public QWidget, private SearchTimer {
 public:
  explicit MainWindow(WindowOptions options = {});
  // Stops serving the port, then waits for the workers (an update run is finished first).
  ~MainWindow() override;

  // The control with `id` (a vqr::ui::ControlId), or null.
  QWidget* Control(int id) const;

  // One tick of the device search: probes for the device; on success stops the timer, sets the
  // device-present flag and starts the identification worker; otherwise counts the tick in the
  // device label. The timer calls it; tests call it directly.
  void Tick();

  // A HID interface of `vendor` went away. Acts only while the device is present and the vendor
  // is the device's: empties and disables the image list, puts the start button back to its
  // searching state and restarts the search. GUI thread only.
  void OnInterfaceRemoved(std::uint16_t vendor);

  // Registers this window for the removal notices of `backend` (any thread may raise them).
  // The constructor registers with the backend the device link uses at that moment.
  void ListenForRemovals(hid::HidBackend& backend);

  // Shows the about box modally and returns when it is closed.
  void ShowAbout();

  bool DevicePresent() const { return m_controller->DevicePresent(); }
  int SearchCount() const { return m_controller->SearchCount(); }
  const QTimer& Timer() const { return m_timer; }
  // The port the window's workers use, and the controller that starts them.
  QtWindowPort& Port() { return *m_port; }
  WindowController& Controller() { return *m_controller; }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void OnStart();
  void OnExit();
  void StartSearchTimer() override;
  void StopSearchTimer() override;
  void ShowDeviceNotice(const std::u16string& text);

  WindowOptions m_options;
  QTimer m_timer;
  bool m_exitRequested = false;
  std::unique_ptr<QtWindowPort> m_port;
  std::unique_ptr<WindowController> m_controller;

  QGroupBox* m_deviceGroup = nullptr;
  QLabel* m_deviceLabel = nullptr;
  QGroupBox* m_versionGroup = nullptr;
  QLabel* m_blankLabel = nullptr;
  QPushButton* m_startButton = nullptr;
  QPushButton* m_exitButton = nullptr;
  QComboBox* m_imageList = nullptr;
  QMessageBox* m_notice = nullptr;
};

// The about box, owned by `owner`: caption, the program's icon, program text ("VQR03, ", the
// version and " 版") and a default OK button (object name "0x01"). Enter closes it through the OK
// button, Escape as a cancel. Sized from dialog units of its 9-point font, as the native dialog is.
QDialog* CreateAboutBox(QWidget* owner);

}  // namespace vqr::ui::qt
