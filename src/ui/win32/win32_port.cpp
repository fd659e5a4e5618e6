#include "ui/win32/win32_port.h"

#include <cwchar>

#include "text/text_format.h"

namespace vqr::win32 {

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 texts are UTF-16");

std::wstring Wide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

std::u16string FromWide(const wchar_t* text) {
  return std::u16string(text, text + std::wcslen(text));
}

namespace {

// The whole text of entry `id` in the STRINGTABLE block of `langId`; empty when absent.
std::u16string LoadBlockString(HINSTANCE instance, int id, WORD langId) {
  if (id < 0 || id > 0xFFFF) return {};
  // Strings are kept in blocks of 16: block id / 16 + 1 holds entry id at index id % 16, each
  // entry a count of UTF-16 units followed by that many units.
  const auto block = static_cast<WORD>(id / 16 + 1);
  HRSRC found = FindResourceExW(instance, MAKEINTRESOURCEW(6) /* RT_STRING */,
                                MAKEINTRESOURCEW(block), langId);
  if (found == nullptr) return {};
  HGLOBAL loaded = LoadResource(instance, found);
  const auto* units = static_cast<const WORD*>(loaded != nullptr ? LockResource(loaded) : nullptr);
  if (units == nullptr) return {};
  const std::size_t total = SizeofResource(instance, found) / sizeof(WORD);
  std::size_t at = 0;
  for (int index = 0; index < id % 16; ++index) {
    if (at >= total) return {};
    at += 1 + std::size_t{units[at]};
  }
  if (at >= total) return {};
  const std::size_t length = units[at];
  ++at;
  if (length > total - at) return {};  // a block that ends inside its own entry
  return std::u16string(units + at, units + at + length);
}

}  // namespace

std::u16string LoadTableString(HINSTANCE instance, int id) {
  return LoadTableString(instance, id, text::CurrentLanguage());
}

std::u16string LoadTableString(HINSTANCE instance, int id, text::Language language) {
  constexpr std::size_t kBufferUnits = 100;
  const std::u16string original =
      LoadBlockString(instance, id, text::WindowsLangId(text::Language::kZhTw));
  const std::u16string translation =
      language == text::Language::kZhTw
          ? original
          : LoadBlockString(instance, id, text::WindowsLangId(language));
  // Judged whole, before the buffer cuts it, as the other front ends judge the table's texts.
  const std::u16string_view shown = text::AcceptTranslation(original, translation);
  return std::u16string(shown.substr(0, kBufferUnits - 1));
}

void Win32Port::SetText(int control, const std::u16string& text) {
  if (Closed()) return;
  SetWindowTextW(Control(control), Wide(text).c_str());
}

void Win32Port::Enable(int control, bool enabled) {
  if (Closed()) return;
  EnableWindow(Control(control), enabled ? TRUE : FALSE);
}

void Win32Port::AppendListItem(const std::u16string& text) {
  if (Closed()) return;
  const std::wstring item = Wide(text);
  SendMessageW(Control(ui::kImageList), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(item.c_str()));
}

void Win32Port::SelectListItem(int index) {
  if (Closed()) return;
  SendMessageW(Control(ui::kImageList), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int Win32Port::ListSelection() {
  if (Closed()) return -1;
  const LRESULT selection = SendMessageW(Control(ui::kImageList), CB_GETCURSEL, 0, 0);
  return selection == CB_ERR ? -1 : static_cast<int>(selection);
}

void Win32Port::ClearList() {
  if (Closed()) return;
  HWND list = Control(ui::kImageList);
  const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
  for (LRESULT index = count - 1; index >= 0; --index)
    SendMessageW(list, CB_DELETESTRING, static_cast<WPARAM>(index), 0);
}

void Win32Port::Batch(const std::function<void()>& work) {
  if (Closed()) return;
  if (GetWindowThreadProcessId(m_main, nullptr) == GetCurrentThreadId()) {
    work();
    return;
  }
  SendMessageW(m_main, kBatchMessage, 0,
               reinterpret_cast<LPARAM>(const_cast<std::function<void()>*>(&work)));
}

std::u16string Win32Port::LoadString(int id) {
  return LoadTableString(m_instance, id);
}

void Win32Port::MessageBox(const std::u16string& text, const std::u16string& caption,
                           ui::MessageIcon icon) {
  if (Closed()) return;
  MessageBoxW(m_main, Wide(text).c_str(), Wide(caption).c_str(), MB_OK | static_cast<UINT>(icon));
}

void Win32Port::EndProcess(int code) {
  if (Closed()) return;
  PostMessageW(m_main, kEndMessage, static_cast<WPARAM>(code), 0);
}

}  // namespace vqr::win32
