// The Win32 window holds every caption in every language: each text a control can show fits
// its client rectangle, measured with GetTextExtentPoint32 in the control's own font, and so do
// the about box's texts; the window, its controls and the about box start with the language's
// texts. Run in a Wine prefix whose dialog and system fonts have CJK glyphs
// (run_windowed_cjk.sh).
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>

#include "control_texts.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "language_param.h"
#include "text/text_format.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "ui/win32/win32_port.h"
#include "vqr03_resources.h"
#include "vqr_version.h"
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

// The frame a control draws around its text: a button's caption keeps clear of its 3-D border
// and focus rectangle; a group box's title is indented by a character from each side.
enum class Frame { kNone, kButton, kGroupBox };

Frame FrameOf(int id) {
  if (id == vqr::ui::kStartButton || id == vqr::ui::kExitButton) return Frame::kButton;
  if (id == vqr::ui::kDeviceGroup || id == vqr::ui::kVersionGroup) return Frame::kGroupBox;
  return Frame::kNone;
}

// `text` fits the client rectangle of `control`, less what its frame takes.
void ExpectFits(HWND control, Frame frame, const std::u16string& text, const std::string& name) {
  RECT client{};
  GetClientRect(control, &client);
  const Extent needed = Measure(control, text);
  int room = client.right - client.left;
  if (frame == Frame::kButton) room -= 2 * (2 * GetSystemMetrics(SM_CXEDGE) + 2);
  if (frame == Frame::kGroupBox) room -= 2 * needed.averageCharWidth;
  EXPECT_GT(needed.width, 0) << name << ": nothing measured";
  EXPECT_LE(needed.width, room) << name << ": \"" << vqr::text::Utf16ToUtf8(text) << "\" needs "
                                << needed.width << " of " << room;
  if (frame != Frame::kGroupBox) {
    EXPECT_LE(needed.height, client.bottom - client.top)
        << name << ": " << vqr::text::Utf16ToUtf8(text);
  }
}

std::string WindowText(HWND window) {
  wchar_t buffer[256] = {};
  GetWindowTextW(window, buffer, 256);
  return vqr::text::Utf16ToUtf8(vqr::win32::FromWide(buffer));
}

std::string Utf8(const std::u16string& text) {
  return vqr::text::Utf16ToUtf8(text);
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
    std::ostringstream name;
    name << "control 0x" << std::hex << control.id;
    for (const std::u16string& text : control.texts)
      ExpectFits(handle, FrameOf(control.id), text, name.str());
  }
}

// The title and the captions the window was made with are the language's.
TEST_P(Win32LayoutTest, TheWindowAndEveryControlStartWithTheLanguagesCaptions) {
  EXPECT_EQ(WindowText(m_window), Utf8(vqr::testing::MainWindowTitle(GetParam())));
  for (const vqr::ui::ControlEntry& control : vqr::ui::kControls) {
    HWND handle = GetDlgItem(m_window, control.id);
    ASSERT_NE(handle, nullptr) << control.id;
    EXPECT_EQ(WindowText(handle), Utf8(vqr::testing::StartingCaption(control, GetParam())))
        << "control 0x" << std::hex << control.id;
  }
}

// The about box (dialog 103) as the user opens it: the main window's about command runs it
// modally, and a timer of this thread, served by the box's own message loop, looks at it and
// presses its OK button.
struct AboutBoxVisit {
  HWND owner = nullptr;
  Language language = Language::kZhTw;
  bool seen = false;
};
AboutBoxVisit g_visit;

BOOL CALLBACK FindAboutBox(HWND window, LPARAM found) {
  wchar_t name[8] = {};
  if (GetWindow(window, GW_OWNER) == g_visit.owner && GetClassNameW(window, name, 8) > 0 &&
      std::wstring(name) == L"#32770") {
    *reinterpret_cast<HWND*>(found) = window;
    return FALSE;
  }
  return TRUE;
}

void CALLBACK LookAtTheAboutBox(HWND, UINT, UINT_PTR timer, DWORD) {
  HWND box = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindAboutBox, reinterpret_cast<LPARAM>(&box));
  if (box == nullptr || g_visit.seen) return;
  g_visit.seen = true;
  KillTimer(nullptr, timer);
  using namespace vqr::text;
  const Language language = g_visit.language;
  EXPECT_EQ(WindowText(box), Utf8(StringTableEntry(kStrAboutCaption, language)));
  HWND text = GetDlgItem(box, VQR_IDC_ABOUT_TEXT);
  HWND ok = GetDlgItem(box, IDOK);
  if (text == nullptr || ok == nullptr) {
    ADD_FAILURE() << "the about box lacks its text or its OK button";
    SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    return;
  }
  const std::u16string about =
      FormatText(StringTableEntry(kStrAboutText, language), {VQR_VERSION_MAJOR, VQR_VERSION_MINOR});
  EXPECT_EQ(WindowText(text), Utf8(about));
  EXPECT_EQ(WindowText(ok), Utf8(StringTableEntry(kStrAboutOk, language)));
  ExpectFits(text, Frame::kNone, about, "the about text");
  ExpectFits(ok, Frame::kButton, StringTableEntry(kStrAboutOk, language), "the about box's OK");
  SendMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
}

TEST_P(Win32LayoutTest, TheAboutBoxSpeaksTheLanguageAndHoldsItsTexts) {
  g_visit = {m_window, GetParam(), false};
  const UINT_PTR timer = SetTimer(nullptr, 0, 50, LookAtTheAboutBox);
  ASSERT_NE(timer, 0u);
  // Returns once the box is closed.
  SendMessageW(m_window, WM_COMMAND, MAKEWPARAM(VQR_IDM_ABOUT, 0), 0);
  KillTimer(nullptr, timer);
  EXPECT_TRUE(g_visit.seen) << "the about box never opened";
  HWND left = nullptr;
  EnumThreadWindows(GetCurrentThreadId(), FindAboutBox, reinterpret_cast<LPARAM>(&left));
  EXPECT_EQ(left, nullptr) << "its OK button closes it";
}

INSTANTIATE_TEST_SUITE_P(EveryLanguage, Win32LayoutTest, ::testing::ValuesIn(vqr::text::kLanguages),
                         vqr::testing::LanguageParamName());

}  // namespace
