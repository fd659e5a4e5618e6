// The main window at the display DPI of its Wine prefix (run_windowed.sh sets it from
// VQR_WINE_DPI; CTest runs this at 144, 150 %): the 96-DPI layout scaled to the window's DPI
// at start, laid out again for the DPI a WM_DPICHANGED names, with a font to match, and every
// caption fitting its control.
#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <vector>

#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "port/window_port.h"
#include "simulator/sim_bootloader.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "win32_window.h"

namespace {

struct Box {
  int x, y, width, height;
  bool operator==(const Box&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Box& box) {
  return out << "(" << box.x << ", " << box.y << ", " << box.width << ", " << box.height << ")";
}

Box Scaled(const Box& box, int dpi) {
  return {MulDiv(box.x, dpi, 96), MulDiv(box.y, dpi, 96), MulDiv(box.width, dpi, 96),
          MulDiv(box.height, dpi, 96)};
}

// A child's rectangle in its parent's client coordinates.
Box ChildBox(HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

Box WindowBox(HWND window) {
  RECT rect;
  GetWindowRect(window, &rect);
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

// The controls with a caption and their rectangles at 96 DPI. The image list is checked apart:
// a closed combo box is as tall as its font makes it.
struct Placed {
  int id;
  Box box;
};
const Placed kLayout[] = {
    {vqr::ui::kDeviceGroup, {30, 10, 340, 80}},   {vqr::ui::kDeviceLabel, {60, 40, 280, 40}},
    {vqr::ui::kVersionGroup, {30, 110, 340, 80}}, {vqr::ui::kBlankLabel, {60, 140, 280, 40}},
    {vqr::ui::kStartButton, {100, 210, 200, 50}}, {vqr::ui::kExitButton, {100, 300, 200, 50}},
};
constexpr Box kImageList{60, 140, 280, 400};

// The DPI the prefix's display was set to.
int PrefixDpi() {
  const char* dpi = std::getenv("VQR_WINE_DPI");
  return dpi != nullptr && std::atoi(dpi) > 0 ? std::atoi(dpi) : 96;
}

// The height of the text of `control` in the font it draws with.
int TextHeight(HWND control) {
  HDC context = GetDC(control);
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(context, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
  TEXTMETRICW metrics{};
  GetTextMetricsW(context, &metrics);
  SelectObject(context, old);
  ReleaseDC(control, context);
  return metrics.tmHeight;
}

// The caption of `control` fits inside it, in the font the control draws with.
void ExpectCaptionFits(HWND control) {
  wchar_t text[256] = {};
  const int length = GetWindowTextW(control, text, 256);
  if (length == 0) return;
  HDC context = GetDC(control);
  auto font = reinterpret_cast<HFONT>(SendMessageW(control, WM_GETFONT, 0, 0));
  HGDIOBJ old = SelectObject(context, font != nullptr ? font : GetStockObject(SYSTEM_FONT));
  SIZE extent{};
  GetTextExtentPoint32W(context, text, length, &extent);
  SelectObject(context, old);
  ReleaseDC(control, context);
  RECT client;
  GetClientRect(control, &client);
  EXPECT_LT(extent.cx, client.right) << "caption " << length << " characters";
  EXPECT_LT(extent.cy, client.bottom);
}

class WindowDpiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    vqr::g_hidCmd.IO().UseBackend(m_hid);
    vqr::win32::SetWorkerEntries(
        {[](void*) -> std::uint32_t { return 1; }, [](void*) -> std::uint32_t { return 1; }});
    m_window = vqr::win32::CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ASSERT_NE(m_window, nullptr);
  }
  void TearDown() override {
    vqr::testing::CloseMainWindow(m_window);
    vqr::win32::SetWorkerEntries({});
    vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend());
  }

  HWND Control(int id) const { return GetDlgItem(m_window, id); }

  // Every control at its rectangle for `dpi`, its caption fitting.
  void ExpectLaidOutFor(int dpi) {
    for (const Placed& placed : kLayout) {
      SCOPED_TRACE(testing::Message() << "control 0x" << std::hex << placed.id);
      ASSERT_NE(Control(placed.id), nullptr);
      EXPECT_EQ(ChildBox(Control(placed.id)), Scaled(placed.box, dpi));
      ExpectCaptionFits(Control(placed.id));
    }
    const Box list = ChildBox(Control(vqr::ui::kImageList));
    const Box want = Scaled(kImageList, dpi);
    EXPECT_EQ(list.x, want.x);
    EXPECT_EQ(list.y, want.y);
    EXPECT_EQ(list.width, want.width);
  }

  vqr::sim::SimBootloader m_device{[] {
    std::array<std::uint8_t, vqr::sim::kPageSize> page{};
    page.fill(0xFF);
    return page;
  }()};
  vqr::hid::SimulatedHidBackend m_hid;
  HWND m_window = nullptr;
};

TEST_F(WindowDpiTest, TheWindowAndItsControlsAreScaledToTheDisplayDpi) {
  const int dpi = PrefixDpi();
  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  const int size = MulDiv(400, dpi, 96);
  EXPECT_EQ(WindowBox(m_window),
            (Box{desktop.right / 2 - size / 2, desktop.bottom / 2 - size / 2, size, size}));
  ExpectLaidOutFor(dpi);
  // At the system DPI the controls keep the default font.
  for (const Placed& placed : kLayout)
    EXPECT_EQ(SendMessageW(Control(placed.id), WM_GETFONT, 0, 0), 0) << placed.id;
}

TEST_F(WindowDpiTest, ADpiChangeTakesTheSuggestedRectangleAndScalesControlsAndFont) {
  const int systemDpi = PrefixDpi();
  const int systemTextHeight = TextHeight(Control(vqr::ui::kExitButton));
  struct Case {
    int dpi;
    RECT suggested;
  };
  // Other monitors' DPIs (each window fits the 1024 x 768 screen), then the system's again:
  // the default font back.
  const std::vector<Case> cases = {
      {96, {40, 30, 440, 430}},
      {168, {10, 10, 710, 710}},
      {120, {100, 50, 600, 550}},
      {systemDpi, {20, 10, 20 + MulDiv(400, systemDpi, 96), 10 + MulDiv(400, systemDpi, 96)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "DPI " << c.dpi);
    EXPECT_EQ(SendMessageW(m_window, WM_DPICHANGED, MAKEWPARAM(c.dpi, c.dpi),
                           reinterpret_cast<LPARAM>(&c.suggested)),
              0);
    EXPECT_EQ(WindowBox(m_window),
              (Box{c.suggested.left, c.suggested.top, c.suggested.right - c.suggested.left,
                   c.suggested.bottom - c.suggested.top}));
    ExpectLaidOutFor(c.dpi);
    for (const Placed& placed : kLayout) {
      SCOPED_TRACE(testing::Message() << "control 0x" << std::hex << placed.id);
      const bool ownFont = SendMessageW(Control(placed.id), WM_GETFONT, 0, 0) != 0;
      EXPECT_EQ(ownFont, c.dpi != systemDpi);
      // The text grows and shrinks with the DPI (within the font's rounding).
      EXPECT_NEAR(TextHeight(Control(placed.id)), MulDiv(systemTextHeight, c.dpi, systemDpi), 2);
    }
  }
}

}  // namespace
