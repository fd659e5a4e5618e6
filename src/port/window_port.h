// The window port: everything FetchUrl and the two workers see of the main window, and what the
// search and unplug controller drives on the window's own thread. No toolkit include here.
// Implementations: Win32 (direct calls), Qt (each call carried out on the GUI thread, in call
// order, the caller waiting until it is done), the command-line front end (prints), and the
// recorder of the tests.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace vqr::ui {

// Control ids of the main window.
enum ControlId : int {
  kStartButton = 0x70,
  kExitButton = 0x71,
  kDeviceGroup = 0x72,
  kVersionGroup = 0x73,
  kDeviceLabel = 0x74,
  kBlankLabel = 0x75,
  kImageList = 0x7D,
};

// The two icons a message box can carry, with the platform's values.
enum class MessageIcon : std::uint32_t { kError = 0x10, kInformation = 0x40 };

class WindowPort {
 public:
  virtual ~WindowPort() = default;

  // Sets the text of the device label, the start button or the exit button.
  virtual void SetText(int control, const std::u16string& text) = 0;
  // Enables or disables the device label, one of the two buttons or the image list.
  virtual void Enable(int control, bool enabled) = 0;
  // Appends one line to the image list.
  virtual void AppendListItem(const std::u16string& text) = 0;
  // Selects item `index` of the image list (-1: none).
  virtual void SelectListItem(int index) = 0;
  // The image list's current selection, -1 when nothing is selected.
  virtual int ListSelection() = 0;
  // Empties the image list, deleting its items from the last one down to the first.
  virtual void ClearList() = 0;
  // Runs `work` on the window's thread as one step: none of the window's own handlers (the
  // search tick, the unplug handler, a click) runs while it does, so everything `work` does
  // through this port appears at once with respect to them. Blocks until `work` has run.
  // Does not run `work` once the front end has stopped serving the port (program exit).
  virtual void Batch(const std::function<void()>& work) = 0;
  // String-table entry `id`, at most 100 UTF-16 units (terminator included, as the table
  // is read into 100-unit buffers); empty when there is no such entry.
  virtual std::u16string LoadString(int id) = 0;
  // Shows a modal message box owned by the main window with one OK button and waits until
  // the user has closed it.
  virtual void MessageBox(const std::u16string& text, const std::u16string& caption,
                          MessageIcon icon) = 0;
  // Ends the process with `code` through the front end's normal exit path. A worker that
  // calls it returns at once afterwards and touches nothing more.
  virtual void EndProcess(int code) = 0;
};

// A port that goes nowhere: texts are dropped, the list is empty, message boxes return at once
// and nothing ends. For workers that must run without a window.
WindowPort& NullPort();

}  // namespace vqr::ui
