// The window port of the Windows program: every call goes straight to the window system.
// Win32 window calls are safe from any thread (a call on another thread's window is carried
// out by that thread while the caller waits), so the visible order is the order of the calls.
//
// Shutting down. Close() stops serving: calls made afterwards return at once. A call that
// raced past the check meets a destroyed main window, on which every window call (message
// boxes owned by it included) fails at once, so a worker can neither hang nor reach a window
// that is gone.
#pragma once

#include <atomic>
#include <string>

#include "port/window_port.h"
#include "text/string_table.h"
#include "ui/win32/win32_api.h"

namespace vqr::win32 {

class Win32Port final : public ui::WindowPort {
 public:
  Win32Port(HINSTANCE instance, HWND mainWindow) : m_instance(instance), m_main(mainWindow) {}

  void SetText(int control, const std::u16string& text) override;
  void Enable(int control, bool enabled) override;
  void AppendListItem(const std::u16string& text) override;
  void SelectListItem(int index) override;
  int ListSelection() override;
  void ClearList() override;
  // Sent to the main window as kBatchMessage, whose handler runs `work`; on the window's own
  // thread `work` runs at once.
  void Batch(const std::function<void()>& work) override;
  std::u16string LoadString(int id) override;
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  ui::MessageIcon icon) override;
  // Asks the window to close (kEndMessage): the message loop ends and the program leaves
  // through its normal exit path once its workers have returned.
  void EndProcess(int code) override;

  void Close() { m_closed.store(true); }
  bool Closed() const { return m_closed.load(); }

  // The main window's messages for Batch (lParam: the std::function to run) and EndProcess.
  static constexpr UINT kBatchMessage = WM_APP + 1;
  static constexpr UINT kEndMessage = WM_APP + 2;

 private:
  HWND Control(int id) const { return GetDlgItem(m_main, id); }

  HINSTANCE m_instance;
  HWND m_main;
  std::atomic<bool> m_closed{false};
};

// A string-table entry of the STRINGTABLE block for `language` (the program's language when
// not given), read as LoadStringW reads it into a 100-unit buffer: at most 99 units and the
// terminator. Empty when there is no such entry. The block is found by its LANGID, so every
// thread reads the same language whatever its own UI language. A translation whose format
// specifiers differ from those of the original (the zh-TW block's entry) is refused, judged on
// the whole entry: the original stands in for it, as text::TableText does.
std::u16string LoadTableString(HINSTANCE instance, int id);
std::u16string LoadTableString(HINSTANCE instance, int id, text::Language language);

// UTF-16 texts as the window system takes them, and back (wchar_t is 16 bits on Windows).
std::wstring Wide(const std::u16string& text);
std::u16string FromWide(const wchar_t* text);

}  // namespace vqr::win32
