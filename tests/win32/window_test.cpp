// The real main window of vqr03.exe, created in this test program (which carries the same
// resources) and driven with messages under Wine and Xvfb. The device is the simulated one;
// the two workers are replaced by counters so that a tick or a click shows it started them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "port/window_port.h"
#include "simulator/sim_bootloader.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "ui/win32/win32_port.h"
#include "vqr_version.h"
#include "win32_window.h"

// <dbt.h> after <windows.h>.
#include <dbt.h>

namespace {

using namespace std::chrono_literals;
using vqr::win32::FromWide;
using vqr::win32::Wide;

std::atomic<int> g_identifyStarts{0};
std::atomic<int> g_updateStarts{0};
std::uint32_t CountIdentify(void*) {
  ++g_identifyStarts;
  return 1;
}
std::uint32_t CountUpdate(void*) {
  ++g_updateStarts;
  return 1;
}

// Runs the window thread's messages until `done` holds or `limit` passes.
template <typename Done>
bool PumpUntil(Done done, std::chrono::milliseconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= end) return false;
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));  // leave it for the test to see
        return done();
      }
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
  }
  return true;
}

std::u16string TextOf(HWND window) {
  wchar_t buffer[256] = {};
  GetWindowTextW(window, buffer, 256);
  return FromWide(buffer);
}

std::u16string ClassOf(HWND window) {
  wchar_t buffer[64] = {};
  GetClassNameW(window, buffer, 64);
  std::u16string name = FromWide(buffer);
  for (char16_t& c : name)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return name;
}

struct Box {
  int x, y, width, height;
  bool operator==(const Box&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Box& box) {
  return out << "(" << box.x << ", " << box.y << ", " << box.width << ", " << box.height << ")";
}

// A child's rectangle in its parent's client coordinates.
Box ChildBox(HWND child) {
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, GetParent(child), reinterpret_cast<POINT*>(&rect), 2);
  return {rect.left, rect.top, rect.right - rect.left, rect.bottom - rect.top};
}

// A device-interface broadcast whose name is `path`, as the system sends it.
std::vector<std::uint8_t> InterfaceBroadcast(const std::u16string& path,
                                             DWORD type = DBT_DEVTYP_DEVICEINTERFACE) {
  const std::size_t size =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t);
  std::vector<std::uint8_t> bytes(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  broadcast->dbcc_size = static_cast<DWORD>(size);
  broadcast->dbcc_devicetype = type;
  std::memcpy(broadcast->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  return bytes;
}

// What a watcher thread saw of a modal dialog with a given caption before closing it.
struct SeenDialog {
  bool found = false;
  bool closed = false;
  HWND owner = nullptr;
  Box client{};
  Box expectedClient{};  // 170 x 62 dialog units in this dialog's font
  struct Child {
    int id;
    std::u16string windowClass;
    std::u16string text;
    LONG style;
    Box box;
    Box expected;  // the template's rectangle in dialog units, mapped to pixels
  };
  std::vector<Child> children;
};

// Waits on its own thread for a dialog of the window class "#32770" with `caption`, notes
// what it shows and sends it `command` (IDOK, IDCANCEL), like a user pressing Enter or Escape.
class DialogWatcher {
 public:
  DialogWatcher(std::u16string caption, WORD command, bool describe = true)
      : m_thread([this, caption = std::move(caption), command, describe] {
          Watch(caption, command, describe);
        }) {}
  ~DialogWatcher() {
    if (m_thread.joinable()) m_thread.join();
  }
  SeenDialog Result() {
    m_thread.join();
    return m_seen;
  }

 private:
  void Watch(const std::u16string& caption, WORD command, bool describe) {
    HWND dialog = nullptr;
    const auto end = std::chrono::steady_clock::now() + 5s;
    while (dialog == nullptr && std::chrono::steady_clock::now() < end) {
      // A dialog is shown once its controls exist and it has been initialised.
      dialog = FindWindowW(L"#32770", Wide(caption).c_str());
      if (dialog != nullptr && !IsWindowVisible(dialog)) dialog = nullptr;
      if (dialog == nullptr) std::this_thread::sleep_for(20ms);
    }
    if (dialog == nullptr) return;
    m_seen.found = true;
    m_seen.owner = GetWindow(dialog, GW_OWNER);
    if (describe) Describe(dialog);
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(command, BN_CLICKED), 0);
    const auto closeBy = std::chrono::steady_clock::now() + 3s;
    while (IsWindow(dialog) && std::chrono::steady_clock::now() < closeBy)
      std::this_thread::sleep_for(20ms);
    m_seen.closed = !IsWindow(dialog);
  }

  void Describe(HWND dialog) {
    RECT client;
    GetClientRect(dialog, &client);
    m_seen.client = {0, 0, client.right, client.bottom};
    RECT units{0, 0, 170, 62};
    MapDialogRect(dialog, &units);
    m_seen.expectedClient = {0, 0, units.right, units.bottom};
    for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
         child = GetWindow(child, GW_HWNDNEXT)) {
      m_seen.children.push_back({GetDlgCtrlID(child),
                                 ClassOf(child),
                                 TextOf(child),
                                 GetWindowLongW(child, GWL_STYLE),
                                 ChildBox(child),
                                 {}});
    }
    // The template's rectangles in dialog units. Dialog creation converts the origin and
    // the size each on its own, so they are mapped as two pairs.
    const RECT templateRects[] = {{14, 14, 21, 20}, {42, 14, 114, 8}, {113, 41, 50, 14}};
    for (std::size_t i = 0; i < m_seen.children.size() && i < 3; ++i) {
      RECT mapped = templateRects[i];
      MapDialogRect(dialog, &mapped);
      m_seen.children[i].expected = {mapped.left, mapped.top, mapped.right, mapped.bottom};
    }
  }

  SeenDialog m_seen;
  std::thread m_thread;
};

// An ASCII text as UTF-16.
std::u16string Ascii(const char* text) {
  std::u16string wide;
  for (; *text != '\0'; ++text) wide.push_back(static_cast<char16_t>(*text));
  return wide;
}

// The project's version as the title shows it, each number in a field of two, and as
// the about box does ("MAJOR.MINOR").
std::u16string VersionText(const char* format) {
  char text[32];
  std::snprintf(text, sizeof text, format, VQR_VERSION_MAJOR, VQR_VERSION_MINOR);
  return Ascii(text);
}

const std::u16string kSearching = u"尋 找 中..... ";  // entry 136 before its %3d
const std::u16string kStart = u"開 始 更 新";
const std::u16string kAboutCaption = u"關於 VQR1";

std::array<std::uint8_t, vqr::sim::kPageSize> InfoPage() {
  std::array<std::uint8_t, vqr::sim::kPageSize> page{};
  page.fill(0xFF);
  return page;
}

class MainWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_identifyStarts = 0;
    g_updateStarts = 0;
    vqr::g_hidCmd.IO().UseBackend(m_hid);
    vqr::win32::SetWorkerEntries({CountIdentify, CountUpdate});
    m_window = vqr::win32::CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ASSERT_NE(m_window, nullptr);
    ASSERT_EQ(vqr::win32::MainWindow(), m_window);
  }
  void TearDown() override {
    vqr::testing::CloseMainWindow(m_window);
    vqr::win32::SetWorkerEntries({});
    vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend());
  }

  HWND Control(int id) const { return GetDlgItem(m_window, id); }
  std::u16string Text(int id) const { return TextOf(Control(id)); }
  bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }
  int ListCount() const {
    return static_cast<int>(SendMessageW(Control(vqr::ui::kImageList), CB_GETCOUNT, 0, 0));
  }
  LRESULT Tick() { return SendMessageW(m_window, WM_TIMER, 0, 0); }
  LRESULT Notify(WPARAM event, const std::vector<std::uint8_t>& broadcast) {
    return SendMessageW(m_window, WM_DEVICECHANGE, event,
                        reinterpret_cast<LPARAM>(broadcast.data()));
  }
  // Whether search timer 0 is running. Probing stops it, so a running one is started again.
  bool SearchTimerRunning() {
    if (!KillTimer(m_window, 0)) return false;
    SetTimer(m_window, 0, 1000, nullptr);
    return true;
  }
  // What a worker does once the device is identified and an update has begun.
  void FillAsWorkerWould() {
    vqr::ui::WindowPort& port = vqr::win32::Port();
    port.AppendListItem(u"image-a");
    port.AppendListItem(u"image-b");
    port.SelectListItem(1);
    port.Enable(vqr::ui::kImageList, true);
    port.Enable(vqr::ui::kStartButton, true);
    port.SetText(vqr::ui::kStartButton, u"Writing 42%");
  }
  void ExpectUntouchedByUnplug() {
    EXPECT_EQ(Text(vqr::ui::kStartButton), u"Writing 42%");
    EXPECT_TRUE(Enabled(vqr::ui::kStartButton));
    EXPECT_EQ(ListCount(), 2);
    EXPECT_TRUE(Enabled(vqr::ui::kImageList));
  }
  // Plugs the simulated device in and lets one tick find it.
  std::u16string PlugAndFind() {
    const std::u16string path = m_hid.Plug(&m_device);
    EXPECT_EQ(Tick(), 0);
    return path;
  }

  vqr::sim::SimBootloader m_device{InfoPage()};
  vqr::hid::SimulatedHidBackend m_hid;
  HWND m_window = nullptr;
};

TEST_F(MainWindowTest, MainWindowHasItsClassTitleStyleAndCentredSize) {
  EXPECT_EQ(TextOf(m_window), u" VQR03   [" + VersionText("%2d.%2d") + u" ]");
  EXPECT_EQ(ClassOf(m_window), u"vqr03");
  const LONG style = GetWindowLongW(m_window, GWL_STYLE);
  EXPECT_EQ(style & (WS_CAPTION | WS_THICKFRAME), WS_CAPTION | WS_THICKFRAME);
  EXPECT_EQ(style & (WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX), 0);
  EXPECT_EQ(GetWindowLongW(m_window, GWL_EXSTYLE) & WS_EX_TOPMOST, 0);
  EXPECT_EQ(GetMenu(m_window), nullptr);
  EXPECT_EQ(GetClassLongPtrW(m_window, GCL_STYLE), CS_HREDRAW | CS_VREDRAW);
  EXPECT_NE(GetClassLongPtrW(m_window, GCLP_HICON), 0);
  EXPECT_NE(GetClassLongPtrW(m_window, GCLP_HICONSM), 0);
  EXPECT_EQ(GetClassLongPtrW(m_window, GCLP_HBRBACKGROUND), COLOR_BTNFACE + 1);

  RECT desktop;
  GetClientRect(GetDesktopWindow(), &desktop);
  RECT rect;
  GetWindowRect(m_window, &rect);
  EXPECT_EQ(rect.left, desktop.right / 2 - 200);
  EXPECT_EQ(rect.top, desktop.bottom / 2 - 200);
  EXPECT_EQ(rect.right - rect.left, 400);
  EXPECT_EQ(rect.bottom - rect.top, 400);
  EXPECT_TRUE(IsWindowVisible(m_window));
  EXPECT_TRUE(SearchTimerRunning());
}

TEST_F(MainWindowTest, ControlsAreCreatedInOrderWithTheirClassesTextsStylesAndRectangles) {
  struct Expected {
    int id;
    const char16_t* windowClass;
    std::u16string text;
    LONG style;
    Box box;
    bool enabled;
  };
  const Expected expected[] = {
      {vqr::ui::kDeviceGroup, u"button", u"  USB 裝置 : ", BS_GROUPBOX, {30, 10, 340, 80}, true},
      {vqr::ui::kDeviceLabel, u"static", kSearching + u"  0", SS_CENTER, {60, 40, 280, 40}, true},
      {vqr::ui::kVersionGroup, u"button", u" 最新版本 : ", BS_GROUPBOX, {30, 110, 340, 80}, true},
      {vqr::ui::kBlankLabel, u"static", u"", SS_CENTER, {60, 140, 280, 40}, true},
      {vqr::ui::kStartButton, u"button", kStart, BS_DEFPUSHBUTTON, {100, 210, 200, 50}, false},
      {vqr::ui::kExitButton, u"button", u"離  開", BS_DEFPUSHBUTTON, {100, 300, 200, 50}, true},
      {vqr::ui::kImageList, u"combobox", u"", CBS_DROPDOWNLIST | CBS_HASSTRINGS, {}, true},
  };

  std::vector<int> order;
  for (HWND child = GetWindow(m_window, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT))
    order.push_back(GetDlgCtrlID(child));
  // Created in the table's order; the image list, created last, is then raised above its
  // siblings so that it, not the blank label beneath it, is what shows.
  std::vector<int> created{vqr::ui::kImageList};
  for (const Expected& e : expected)
    if (e.id != vqr::ui::kImageList) created.push_back(e.id);
  EXPECT_EQ(order, created);
  EXPECT_NE(GetWindowLongW(Control(vqr::ui::kBlankLabel), GWL_STYLE) & WS_CLIPSIBLINGS, 0);

  for (const Expected& e : expected) {
    SCOPED_TRACE(testing::Message() << "control 0x" << std::hex << e.id);
    HWND control = Control(e.id);
    ASSERT_NE(control, nullptr);
    EXPECT_EQ(ClassOf(control), e.windowClass);
    EXPECT_EQ(TextOf(control), e.text);
    const LONG style = GetWindowLongW(control, GWL_STYLE);
    EXPECT_EQ(style & (WS_CHILD | WS_VISIBLE), WS_CHILD | WS_VISIBLE);
    EXPECT_EQ(style & 0xFFFF, e.style);
    if (e.id != vqr::ui::kImageList) {
      EXPECT_EQ(ChildBox(control), e.box);
    }
    EXPECT_EQ(Enabled(e.id), e.enabled);
  }

  // A drop-down list shows only its selection field; the 400 pixels are its height when
  // dropped. Wine reports the dropped rectangle without the field's own height, so the check
  // is that the list drops far below the field rather than an exact 400.
  HWND list = Control(vqr::ui::kImageList);
  const Box closed = ChildBox(list);
  EXPECT_EQ(closed.x, 60);
  EXPECT_EQ(closed.y, 140);
  EXPECT_EQ(closed.width, 280);
  RECT dropped;
  SendMessageW(list, CB_GETDROPPEDCONTROLRECT, 0, reinterpret_cast<LPARAM>(&dropped));
  EXPECT_GE(dropped.bottom - dropped.top, 400 - closed.height);
  EXPECT_LE(dropped.bottom - dropped.top, 400);
}

TEST_F(MainWindowTest, TicksCountTheSearchUntilTheDeviceIsFound) {
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  1");
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  2");
  for (int i = 3; i <= 1000; ++i) Tick();
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"1000");  // wider after 999
  EXPECT_EQ(g_identifyStarts.load(), 0);
  EXPECT_TRUE(SearchTimerRunning());

  PlugAndFind();
  EXPECT_TRUE(PumpUntil([] { return g_identifyStarts.load() == 1; }, 2000ms));
  EXPECT_FALSE(SearchTimerRunning());
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"1000");  // no longer counting
  EXPECT_TRUE(vqr::g_hidCmd.IO().IsReadOpen());
  EXPECT_TRUE(vqr::g_hidCmd.IO().IsWriteOpen());
}

// A device of the family that Windows will not let this program open: not found, and a notice
// owned by the window, shown without the focus and without stopping the search, says why, once
// per arrival; a device found later closes it.
TEST_F(MainWindowTest, ADeviceThatCannotBeOpenedIsToldOfWithoutStoppingTheSearch) {
  vqr::hid::SimInterface denied{vqr::hid::SimInterfacePath(0x0416, 0xF360, 5), 0x0416, 0xF360,
                                &m_device};
  denied.claimFails = vqr::hid::OpenError::kAccessDenied;
  m_hid.SetInterfaces({denied});
  EXPECT_EQ(Tick(), 0);

  HWND notice = vqr::win32::DeviceNoticeWindow();
  ASSERT_NE(notice, nullptr);
  EXPECT_TRUE(IsWindowVisible(notice));
  EXPECT_EQ(GetWindow(notice, GW_OWNER), m_window);
  EXPECT_NE(GetForegroundWindow(), notice);
  EXPECT_NE(TextOf(GetDlgItem(notice, 1)).find(u"Windows denied access"), std::u16string::npos);
  RECT label{};
  GetClientRect(GetDlgItem(notice, 1), &label);
  EXPECT_GT(label.bottom, 40);  // the whole text has room, not one cut line
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  1");
  EXPECT_TRUE(SearchTimerRunning());
  EXPECT_EQ(g_identifyStarts.load(), 0);

  // Closed by the user, it does not come back while the same device stays plugged in.
  SendMessageW(notice, WM_CLOSE, 0, 0);
  EXPECT_EQ(vqr::win32::DeviceNoticeWindow(), nullptr);
  Tick();
  EXPECT_EQ(vqr::win32::DeviceNoticeWindow(), nullptr);
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  2");

  // Unplugged and plugged in again: told again.
  m_hid.SetInterfaces({});
  Tick();
  m_hid.SetInterfaces({denied});
  Tick();
  ASSERT_NE(vqr::win32::DeviceNoticeWindow(), nullptr);

  // Access granted: the device is found and the notice goes.
  denied.claimFails = vqr::hid::OpenError::kNone;
  m_hid.SetInterfaces({denied});
  Tick();
  EXPECT_TRUE(PumpUntil([] { return g_identifyStarts.load() == 1; }, 2000ms));
  EXPECT_EQ(vqr::win32::DeviceNoticeWindow(), nullptr);
}

TEST_F(MainWindowTest, SearchTimerTicksOnceASecond) {
  EXPECT_TRUE(
      PumpUntil([&] { return Text(vqr::ui::kDeviceLabel) != kSearching + u"  0"; }, 3000ms));
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  1");
}

TEST_F(MainWindowTest, UnplugFilterIgnoresEverythingButTheDevicesRemoval) {
  const std::u16string ours = vqr::hid::SimInterfacePath(0x0416, 0xF360, 7);
  ASSERT_EQ(ours.substr(12, 4), u"0416");

  // Still searching (flag 0): even the device's removal changes nothing.
  FillAsWorkerWould();
  EXPECT_EQ(Notify(DBT_DEVICEREMOVECOMPLETE, InterfaceBroadcast(ours)), 0);
  ExpectUntouchedByUnplug();

  const std::u16string path = PlugAndFind();
  ASSERT_TRUE(PumpUntil([] { return g_identifyStarts.load() == 1; }, 2000ms));
  struct Case {
    const char* what;
    WPARAM event;
    std::vector<std::uint8_t> broadcast;
  };
  const Case ignored[] = {
      {"another vendor's interface", DBT_DEVICEREMOVECOMPLETE,
       InterfaceBroadcast(vqr::hid::SimInterfacePath(0x046D, 0xC52B, 0))},
      {"0416 elsewhere in the path", DBT_DEVICEREMOVECOMPLETE,
       InterfaceBroadcast(u"\\\\?\\hid#vid_1234&pid_0416#0")},
      {"arrival, not removal", DBT_DEVICEARRIVAL, InterfaceBroadcast(path)},
      {"removal pending, not complete", DBT_DEVICEREMOVEPENDING, InterfaceBroadcast(path)},
      {"not a device interface", DBT_DEVICEREMOVECOMPLETE,
       InterfaceBroadcast(path, DBT_DEVTYP_HANDLE)},
      {"path ends before character 15", DBT_DEVICEREMOVECOMPLETE,
       InterfaceBroadcast(u"\\\\?\\hid#vid_041")},
  };
  for (const Case& c : ignored) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Notify(c.event, c.broadcast), 0);
    ExpectUntouchedByUnplug();
    EXPECT_FALSE(SearchTimerRunning());
  }
  EXPECT_EQ(SendMessageW(m_window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, 0), 0);
  ExpectUntouchedByUnplug();

  // The device's removal: back to searching.
  m_hid.Unplug(path);
  EXPECT_EQ(Notify(DBT_DEVICEREMOVECOMPLETE, InterfaceBroadcast(path)), 0);
  EXPECT_FALSE(Enabled(vqr::ui::kStartButton));
  EXPECT_EQ(Text(vqr::ui::kStartButton), kStart);
  EXPECT_EQ(ListCount(), 0);
  EXPECT_FALSE(Enabled(vqr::ui::kImageList));
  EXPECT_TRUE(SearchTimerRunning());
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  1");  // counting from 0 again

  // Searching again (flag back to 0): a second removal changes nothing.
  FillAsWorkerWould();
  EXPECT_EQ(Notify(DBT_DEVICEREMOVECOMPLETE, InterfaceBroadcast(path)), 0);
  ExpectUntouchedByUnplug();
}

TEST_F(MainWindowTest, AboutBoxShowsItsTemplateAndClosesWithEnterOrEscape) {
  for (WORD command : {WORD{IDOK}, WORD{IDCANCEL}}) {
    SCOPED_TRACE(command == IDOK ? "Enter" : "Escape");
    DialogWatcher watcher(kAboutCaption, command);
    EXPECT_EQ(SendMessageW(m_window, WM_COMMAND, MAKEWPARAM(104, 0), 0), 0);  // returns on close
    const SeenDialog seen = watcher.Result();
    ASSERT_TRUE(seen.found);
    EXPECT_TRUE(seen.closed);
    EXPECT_EQ(seen.owner, m_window);
    EXPECT_EQ(seen.client, seen.expectedClient);
    ASSERT_EQ(seen.children.size(), 3u);
    EXPECT_EQ(seen.children[0].style & SS_TYPEMASK, SS_ICON);
    EXPECT_EQ(seen.children[0].box.x, seen.children[0].expected.x);
    EXPECT_EQ(seen.children[0].box.y, seen.children[0].expected.y);
    EXPECT_EQ(seen.children[1].text, u"VQR03, " + VersionText("%d.%d") + u" 版");
    EXPECT_EQ(seen.children[1].box, seen.children[1].expected);
    EXPECT_EQ(seen.children[2].id, IDOK);
    EXPECT_EQ(seen.children[2].text, u"確定");
    EXPECT_EQ(seen.children[2].style & 0xF, BS_DEFPUSHBUTTON);
    EXPECT_EQ(seen.children[2].box, seen.children[2].expected);
  }
}

// Accelerator table 109 holds Alt + "?" and Alt + "/" as characters, not virtual keys, both
// sending command 104.
TEST_F(MainWindowTest, AcceleratorTableSendsAboutForAltQuestionMarkAndAltSlash) {
  HACCEL accelerators = LoadAcceleratorsW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(109));
  ASSERT_NE(accelerators, nullptr);
  ACCEL entries[8];
  const int count = CopyAcceleratorTableW(accelerators, entries, 8);
  ASSERT_EQ(count, 2);
  for (int i = 0; i < count; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(entries[i].fVirt & ~FNOINVERT, FALT);  // Alt, no FVIRTKEY, Ctrl or Shift
    EXPECT_EQ(entries[i].cmd, 104);
  }
  EXPECT_EQ(entries[0].key, L'?');
  EXPECT_EQ(entries[1].key, L'/');
}

TEST_F(MainWindowTest, StartButtonStartsTheUpdateWorker) {
  EXPECT_EQ(SendMessageW(m_window, WM_COMMAND, MAKEWPARAM(vqr::ui::kStartButton, BN_CLICKED),
                         reinterpret_cast<LPARAM>(Control(vqr::ui::kStartButton))),
            0);
  EXPECT_TRUE(PumpUntil([] { return g_updateStarts.load() == 1; }, 2000ms));
  EXPECT_EQ(g_identifyStarts.load(), 0);
}

TEST_F(MainWindowTest, ExitButtonDestroysTheWindowAndQuitsWithZero) {
  EXPECT_EQ(SendMessageW(m_window, WM_COMMAND, MAKEWPARAM(vqr::ui::kExitButton, BN_CLICKED),
                         reinterpret_cast<LPARAM>(Control(vqr::ui::kExitButton))),
            0);
  EXPECT_FALSE(IsWindow(m_window));
  MSG message;
  ASSERT_TRUE(PeekMessageW(&message, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
  EXPECT_EQ(message.wParam, 0u);
}

// The port as a worker uses it: from another thread, while the window thread runs messages.
TEST_F(MainWindowTest, WorkerReachesTheWindowThroughThePort) {
  std::atomic<bool> done{false};
  std::u16string searching, missing;
  int selection = -2, selectionAfterClear = -2;
  std::thread worker([&] {
    vqr::ui::WindowPort& port = vqr::win32::Port();
    port.SetText(vqr::ui::kDeviceLabel, u"VQR03 v2.07");
    port.Enable(vqr::ui::kStartButton, true);
    port.SetText(vqr::ui::kStartButton, u"Erase 3");
    port.Enable(vqr::ui::kExitButton, false);
    port.AppendListItem(u"first");
    port.AppendListItem(u"second");
    port.AppendListItem(u"third");
    port.SelectListItem(1);
    selection = port.ListSelection();
    searching = port.LoadString(136);
    missing = port.LoadString(999);
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }, 5000ms));
  worker.join();
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), u"VQR03 v2.07");
  EXPECT_TRUE(Enabled(vqr::ui::kStartButton));
  EXPECT_EQ(Text(vqr::ui::kStartButton), u"Erase 3");
  EXPECT_FALSE(Enabled(vqr::ui::kExitButton));
  EXPECT_EQ(ListCount(), 3);
  EXPECT_EQ(selection, 1);
  wchar_t item[32] = {};
  SendMessageW(Control(vqr::ui::kImageList), CB_GETLBTEXT, 2, reinterpret_cast<LPARAM>(item));
  EXPECT_EQ(FromWide(item), u"third");  // appended in order, not sorted
  EXPECT_EQ(searching, u"尋 找 中..... %3d");
  EXPECT_EQ(missing, u"");

  done = false;
  std::thread clearer([&] {
    vqr::win32::Port().ClearList();
    selectionAfterClear = vqr::win32::Port().ListSelection();
    done = true;
  });
  ASSERT_TRUE(PumpUntil([&] { return done.load(); }, 5000ms));
  clearer.join();
  EXPECT_EQ(ListCount(), 0);
  EXPECT_EQ(selectionAfterClear, -1);
}

TEST_F(MainWindowTest, PortMessageBoxIsOwnedByTheMainWindowAndWaitsForOk) {
  struct Case {
    vqr::ui::MessageIcon icon;
    const char16_t* caption;
  };
  for (const Case& c : {Case{vqr::ui::MessageIcon::kError, u"執行時錯誤"},
                        Case{vqr::ui::MessageIcon::kInformation, u"VQR03 information"}}) {
    SCOPED_TRACE(testing::Message() << static_cast<int>(c.icon));
    std::atomic<bool> returned{false};
    DialogWatcher watcher(c.caption, IDOK, false);
    std::thread worker([&] {
      vqr::win32::Port().MessageBox(u"錯誤碼: 0301", c.caption, c.icon);
      returned = true;
    });
    // The box disables its owner, a call into this (the window) thread: keep pumping.
    const bool ended = PumpUntil([&] { return returned.load(); }, 8000ms);
    const SeenDialog seen = watcher.Result();
    if (!ended) PostMessageW(FindWindowW(L"#32770", Wide(c.caption).c_str()), WM_CLOSE, 0, 0);
    worker.join();
    EXPECT_TRUE(ended);
    EXPECT_TRUE(seen.found);
    EXPECT_TRUE(seen.closed);
    EXPECT_EQ(seen.owner, m_window);
  }
}

TEST(DemoCommandLine, OnlyExactlyDemoSelectsTheDemo) {
  struct Case {
    const wchar_t* commandLine;
    bool demo;
  };
  const Case cases[] = {
      {L"vqr03.exe", false},
      {L"vqr03.exe --demo", true},
      {L"\"C:\\Program Files\\vqr03\\vqr03.exe\" --demo", true},
      {L"vqr03.exe   --demo  ", true},
      {L"vqr03.exe --demo extra", false},
      {L"vqr03.exe --DEMO", false},
      {L"vqr03.exe -demo", false},
  };
  for (const Case& c : cases)
    EXPECT_EQ(vqr::win32::IsDemoCommandLine(c.commandLine), c.demo)
        << FromWide(c.commandLine).size();
}

}  // namespace
