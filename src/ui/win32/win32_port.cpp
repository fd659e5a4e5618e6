#include "ui/win32/win32_port.h"

#include <cstdlib>
#include <cwchar>

namespace vqr::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 texts are UTF-16");

std::wstring Wide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(const wchar_t* text) {
  return std::u16string(text, text + std::wcslen(text));
}

std::u16string LoadTableString(HINSTANCE instance, int id) {
  wchar_t buffer[100];
  const int length = LoadStringW(instance, static_cast<UINT>(id), buffer, 100);
  if (length <= 0) return {};
  return std::u16string(buffer, buffer + length);
}

void Win32Port::SetText(int control, const std::u16string& text) {
  SetWindowTextW(Control(control), Wide(text).c_str());
}

void Win32Port::Enable(int control, bool enabled) {
  EnableWindow(Control(control), enabled ? TRUE : FALSE);
}

void Win32Port::AppendListItem(const std::u16string& text) {
  const std::wstring item = Wide(text);
  SendMessageW(Control(ui::kImageList), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

void Win32Port::SelectListItem(int index) {
  SendMessageW(Control(ui::kImageList), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32Port::ListSelection() {
  const LRESULT selection = SendMessageW(Control(ui::kImageList), CB_GETCURSEL, 0, 0);
  return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

void Win32Port::ClearList() {
  SendMessageW(Control(ui::kImageList), CB_RESETCONTENT, 0, 0);
}

std::u16string Win32Port::LoadString(int id) {
  return LoadTableString(m_instance, id);
}

void Win32Port::MessageBox(const std::u16string& text, const std::u16string& caption,
                           ui::MessageIcon icon) {
  MessageBoxW(m_main, Wide(text).c_str(), Wide(caption).c_str(), MB_OK | static_cast<UINT>(icon));
}

void Win32Port::EndProcess(int code) {
  // The runtime's normal exit: static objects, g_hidCmd among them, are destroyed.
  std::exit(code);
}

}  // namespace vqr::win32
