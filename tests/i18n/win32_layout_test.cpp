// The Win32 window holds every caption in every language: each text a control can show fits
// its client rectangle, measured with GetTextExtentPoint32 in the control's own font. Run in a
// Wine prefix whose dialog and system fonts have CJK glyphs (run_windowed_cjk.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>
#include <string>

#include "control_texts.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "language_param.h"
#include "text/text_format.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "win32_window.h"

namespace {

using vqr::text::Language;

struct Extent {
  int width = 0;
  int height = 0;
  int averageCharWidth = 0;
};

// The size `text` takes in `control`'s font (the system font when it has none), line by line.
Extent Measure(HWND control, const std::u16string& text) {
  HDC dc = GetDC(control);
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(dc, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
  TEXTMETRICW metrics{};
  GetTextMetricsW(dc, &metrics);
  Extent extent;
  extent.averageCharWidth = metrics.tmAveCharWidth;
  std::size_t start = 0;
  for (;;) {
    const std::size_t end = std::min(text.find(u'\n', start), text.size());
    const std::wstring line(text.begin() + static_cast<std::ptrdiff_t>(start),
                            text.begin() + static_cast<std::ptrdiff_t>(end));
    SIZE size{};
    GetTextExtentPoint32W(dc, line.c_str(), static_cast<int>(line.size()), &size);
    extent.width = std::max(extent.width, static_cast<int>(size.cx));
    extent.height += metrics.tmHeight;
    if (end == text.size()) break;
    start = end + 1;
  }
  SelectObject(dc, old);
  ReleaseDC(control, dc);
  return extent;
}

bool IsButton(int id) {
  return id == vqr::ui::kStartButton || id == vqr::ui::kExitButton;
}
bool IsGroupBox(int id) {
  return id == vqr::ui::kDeviceGroup || id == vqr::ui::kVersionGroup;
}

class Win32LayoutTest : public ::testing::TestWithParam<Language> {
 protected:
  void SetUp() override {
    vqr::text::SetLanguage(GetParam());
    vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend());
    m_window = vqr::win32::CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ASSERT_NE(m_window, nullptr);
  }
  void TearDown() override {
    vqr::testing::CloseMainWindow(m_window);
    vqr::text::SetLanguage(Language::kZhTw);
  }
  HWND m_window = nullptr;
};

TEST_P(Win32LayoutTest, EveryTextEachControlCanShowFitsIt) {
  for (const vqr::testing::ControlTexts& control : vqr::testing::TextsOfControls(GetParam())) {
    HWND handle = GetDlgItem(m_window, control.id);
    ASSERT_NE(handle, nullptr) << control.id;
    RECT client{};
    GetClientRect(handle, &client);
    for (const std::u16string& text : control.texts) {
      const Extent needed = Measure(handle, text);
      // A button's caption keeps clear of its 3-D border and focus rectangle; a group box's
      // title is indented by a character from each side of the frame.
      int room = client.right - client.left;
      if (IsButton(control.id)) room -= 2 * (2 * GetSystemMetrics(SM_CXEDGE) + 2);
      if (IsGroupBox(control.id)) room -= 2 * needed.averageCharWidth;
      EXPECT_GT(needed.width, 0) << "nothing measured";
      EXPECT_LE(needed.width, room)
          << "control 0x" << std::hex << control.id << std::dec << ": \""
          << vqr::text::Utf16ToUtf8(text) << "\" needs " << needed.width << " of " << room;
      if (!IsGroupBox(control.id)) {
        EXPECT_LE(needed.height, client.bottom - client.top) << vqr::text::Utf16ToUtf8(text);
      }
    }
  }
}

// The captions the window was made with are the language's.
TEST_P(Win32LayoutTest, TheControlsStartWithTheLanguagesCaptions) {
  wchar_t buffer[128];
  GetWindowTextW(GetDlgItem(m_window, vqr::ui::kExitButton), buffer, 128);
  EXPECT_EQ(vqr::text::Utf16ToUtf8(std::u16string(buffer, buffer + std::wcslen(buffer))),
            vqr::text::Utf16ToUtf8(vqr::text::StringTableEntry(vqr::text::kStrExit, GetParam())));
}

INSTANTIATE_TEST_SUITE_P(EveryLanguage, Win32LayoutTest, ::testing::ValuesIn(vqr::text::kLanguages),
                         vqr::testing::LanguageParamName());

}  // namespace
