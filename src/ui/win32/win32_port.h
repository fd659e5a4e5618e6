// The window port of the Windows program: every call goes straight to the window system.
// Win32 window calls are safe from any thread (a call on another thread's window is carried
// out by that thread while the caller waits), so the visible order is the order of the calls.
#pragma once

#include <string>

#include "ui/win32/win32_api.h"
#include "ui/window_port.h"

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
  std::u16string LoadString(int id) override;
  void MessageBox(const std::u16string& text, const std::u16string& caption,
                  ui::MessageIcon icon) override;
  void EndProcess(int code) override;

 private:
  HWND Control(int id) const { return GetDlgItem(m_main, id); }

  HINSTANCE m_instance;
  HWND m_main;
};

// A string-table entry read as LoadStringW reads it into a 100-unit buffer (at most 99 units
// and the terminator); empty when there is no such entry.
std::u16string LoadTableString(HINSTANCE instance, int id);

// UTF-16 texts as the window system takes them, and back (wchar_t is 16 bits on Windows).
std::wstring Wide(const std::u16string& text);
std::u16string FromWide(const wchar_t* text);

}  // namespace vqr::win32
