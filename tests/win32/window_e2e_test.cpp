// The real main window with the real workers against the demo: a simulated device plugged in
// at once and the loopback server with the sample content. The window is driven with messages
// under Wine and Xvfb; the workers run on their own threads and reach the window through the
// Win32 port, so this thread keeps pumping messages while it waits for them.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <functional>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "formats/accept.h"
#include "port/window_port.h"
#include "simulator/sim_bootloader.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_api.h"
#include "ui/win32/win32_port.h"
#include "win32_window.h"

// <dbt.h> after <windows.h>.
#include <dbt.h>

namespace vqr::sim {
// For readable failures: the two words of a command seen by the device.
void PrintTo(const TestCommand& command, std::ostream* out) {
  *out << std::hex << "{0x" << command.arg1 << ", 0x" << command.arg2 << "}" << std::dec;
}
}  // namespace vqr::sim

namespace {

using namespace std::chrono_literals;
using vqr::win32::FromWide;

constexpr auto kLimit = 60s;  // no single wait of a working run comes near this

const std::u16string kSearching = u"尋 找 中..... ";  // entry 136 before its %3d
const std::u16string kStart = u"開 始 更 新";
const std::u16string kDone = u"- 更 新 完 成 -";
const std::u16string kDoneCaption = u"更新完成";
const std::u16string kDoneText = u"OK\n拔線＋離開程式\nGoodbye.";
const std::u16string kSampleLines[] = {
    u" 2301  [ 繁體中文介面 ]",
    u" 2302  [ English interface ]",
    u" 2303  [ 日本語インターフェース ]",
};

// A worker that meets a fatal error ends the process with exit code 0 once its message box
// is closed. In the middle of a test that would read as success, so it is turned into a
// failure here.
std::atomic<bool> g_testRunning{false};
void RefuseExitDuringTest() {
  if (!g_testRunning.load()) return;
  std::fputs("a worker ended the process in the middle of a test\n", stderr);
  std::fflush(stderr);
  std::_Exit(1);
}

std::string Utf8(const std::u16string& text) {
  const std::wstring wide = vqr::win32::Wide(text);
  const int size = WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()),
                                       nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<std::size_t>(std::max(size, 0)), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.c_str(), static_cast<int>(wide.size()), bytes.data(), size,
                      nullptr, nullptr);
  return bytes;
}

std::u16string TextOf(HWND window) {
  wchar_t buffer[256] = {};
  GetWindowTextW(window, buffer, 256);
  return FromWide(buffer);
}

// The texts of a dialog's static controls (a message box's text is one of them).
std::vector<std::u16string> StaticTexts(HWND dialog) {
  std::vector<std::u16string> texts;
  for (HWND child = GetWindow(dialog, GW_CHILD); child != nullptr;
       child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t windowClass[32] = {};
    GetClassNameW(child, windowClass, 32);
    if (_wcsicmp(windowClass, L"static") == 0) texts.push_back(TextOf(child));
  }
  return texts;
}

std::string Describe(HWND box) {
  std::string text;
  text.append("\"").append(Utf8(TextOf(box))).append("\":");
  for (const std::u16string& line : StaticTexts(box))
    text.append(" \"").append(Utf8(line)).append("\"");
  return text;
}

// The visible dialog (a message box is one) owned by `owner`, or null.
HWND OwnedDialog(HWND owner) {
  for (HWND dialog = FindWindowExW(nullptr, nullptr, L"#32770", nullptr); dialog != nullptr;
       dialog = FindWindowExW(nullptr, dialog, L"#32770", nullptr)) {
    if (IsWindowVisible(dialog) && GetWindow(dialog, GW_OWNER) == owner) return dialog;
  }
  return nullptr;
}

// A device-interface broadcast whose name is `path`, as the system sends it.
std::vector<std::uint8_t> InterfaceBroadcast(const std::u16string& path) {
  const std::size_t size =
      offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name) + (path.size() + 1) * sizeof(wchar_t);
  std::vector<std::uint8_t> bytes(std::max(size, sizeof(DEV_BROADCAST_DEVICEINTERFACE_W)));
  auto* broadcast = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
  broadcast->dbcc_size = static_cast<DWORD>(size);
  broadcast->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
  std::memcpy(broadcast->dbcc_name, path.c_str(), (path.size() + 1) * sizeof(char16_t));
  return bytes;
}

// The path under which `backend` lists `device` (the last one, should it be listed twice).
std::u16string PathOf(vqr::hid::SimulatedHidBackend& backend, vqr::sim::SimBootloader& device) {
  std::u16string path;
  for (const vqr::hid::SimInterface& entry : backend.Interfaces())
    if (entry.device == &device) path = entry.path;
  return path;
}

// One image of the sample content, unscrambled, with the sectors it covers.
struct SampleImage {
  std::string name;
  vqr::ImageHeader header;
  std::vector<std::uint8_t> data;  // what lands in flash from sector header.first on
};

// The images of the sample catalog, in catalog row order, read back from the packages that
// the demo's server serves.
std::vector<SampleImage> SampleImages() {
  vqr::demo::SampleContent content = vqr::demo::MakeSampleContent();
  const std::string model(content.infoPage.begin() + 12, content.infoPage.begin() + 16);
  std::vector<std::uint8_t>& catalog = content.files.at("Door3/" + model + ".Bin");
  vqr::Catalog parsed;
  EXPECT_TRUE(
      vqr::AcceptCatalog(catalog.data(), static_cast<std::int32_t>(catalog.size()), model, &parsed)
          .Accepted());

  std::vector<SampleImage> images;
  const std::string pool = "Pool3" + std::string(1, model[2]) + "x/";
  for (const vqr::CatalogEntry& entry : parsed.entries) {
    SampleImage image;
    image.name = entry.Name();
    std::vector<std::uint8_t>& file = content.files.at(pool + image.name);
    EXPECT_TRUE(vqr::AcceptImage(file.data(), static_cast<std::int32_t>(file.size()), image.name,
                                 &image.header)
                    .Accepted())
        << image.name;
    EXPECT_EQ(file.size(), vqr::kPackageHeaderSize + image.header.DataSize()) << image.name;
    image.data.assign(file.begin() + vqr::kPackageHeaderSize, file.end());
    images.push_back(std::move(image));
  }
  return images;
}

// Byte positions at which the flash differs from `image` in the range it was written to.
std::size_t DifferingBytes(const std::vector<std::uint8_t>& flash, const SampleImage& image) {
  const std::size_t at = std::size_t{image.header.first} * vqr::kSectorSize;
  if (at + image.data.size() > flash.size()) return image.data.size();
  std::size_t count = 0;
  for (std::size_t i = 0; i < image.data.size(); ++i) count += flash[at + i] != image.data[i];
  return count;
}

class WindowEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { std::atexit(RefuseExitDuringTest); }

  void SetUp() override {
    vqr::win32::SetWorkerEntries({});  // the real IdentifyThread and UpdateThread
    g_testRunning = true;
  }
  // Creates the window whose workers download from `demo`'s server, as the program's --demo
  // start-up does.
  void OpenWindow(const vqr::demo::Demo& demo) {
    vqr::WorkerContext context;
    context.serverBase = demo.ServerBase();
    vqr::win32::SetWorkerContext(std::move(context));
    m_window = vqr::win32::CreateMainWindow(GetModuleHandleW(nullptr), SW_SHOWNORMAL);
    ASSERT_NE(m_window, nullptr);
  }
  void TearDown() override {
    g_testRunning = false;
    vqr::testing::CloseMainWindow(m_window);  // the workers end before the test's demo goes
  }

  HWND Control(int id) const { return GetDlgItem(m_window, id); }
  std::u16string Text(int id) const { return TextOf(Control(id)); }
  bool Enabled(int id) const { return IsWindowEnabled(Control(id)) != FALSE; }
  int ListCount() const {
    return static_cast<int>(SendMessageW(Control(vqr::ui::kImageList), CB_GETCOUNT, 0, 0));
  }
  std::vector<std::u16string> ListLines() const {
    std::vector<std::u16string> lines;
    for (int i = 0; i < ListCount(); ++i) {
      wchar_t line[64] = {};
      SendMessageW(Control(vqr::ui::kImageList), CB_GETLBTEXT, static_cast<WPARAM>(i),
                   reinterpret_cast<LPARAM>(line));
      lines.push_back(FromWide(line));
    }
    return lines;
  }
  LRESULT Tick() { return SendMessageW(m_window, WM_TIMER, 0, 0); }
  LRESULT NotifyRemoval(const std::u16string& path) {
    const std::vector<std::uint8_t> broadcast = InterfaceBroadcast(path);
    return SendMessageW(m_window, WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE,
                        reinterpret_cast<LPARAM>(broadcast.data()));
  }

  // Runs this thread's messages (the window's, and the calls the workers send to it) until
  // `done` holds. Fails, naming what it saw, when a message box owned by the main window
  // shows instead (a worker's error; it is left open, so the worker never ends the process)
  // or when `limit` passes.
  bool PumpUntil(const std::function<bool()>& done, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (done()) return true;
      if (HWND box = OwnedDialog(m_window)) {
        ADD_FAILURE() << "message box " << Describe(box);
        return false;
      }
      if (std::chrono::steady_clock::now() >= end) {
        ADD_FAILURE() << "timed out after " << limit.count() << " ms";
        return false;
      }
      PumpFor(10ms);
    }
  }
  // Runs messages until a dialog owned by the main window shows; null after `limit`.
  HWND PumpUntilDialog(std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    for (;;) {
      if (HWND box = OwnedDialog(m_window)) return box;
      if (std::chrono::steady_clock::now() >= end) return nullptr;
      PumpFor(10ms);
    }
  }
  // Runs messages until `dialog` has been destroyed; false after `limit`.
  bool PumpUntilGone(HWND dialog, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (IsWindow(dialog)) {
      if (std::chrono::steady_clock::now() >= end) return false;
      PumpFor(10ms);
    }
    return true;
  }
  void PumpFor(std::chrono::milliseconds wait) {
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
    MsgWaitForMultipleObjects(0, nullptr, FALSE, static_cast<DWORD>(wait.count()), QS_ALLINPUT);
  }

  HWND m_window = nullptr;
};

TEST_F(WindowEndToEndTest, DemoDeviceIsIdentifiedUpdatedWithTheChosenImageAndUnplugged) {
  const std::vector<SampleImage> images = SampleImages();
  ASSERT_EQ(images.size(), 5u);
  // Rows 2 and 3 cover the same sectors with different data, so the flash tells which of the
  // two the run installed.
  ASSERT_EQ(images[2].header.first, images[3].header.first);
  ASSERT_NE(images[2].data, images[3].data);

  vqr::demo::Demo* demo = vqr::demo::StartDemo(0ms);
  ASSERT_NE(demo, nullptr);
  OpenWindow(*demo);
  const std::u16string path = PathOf(demo->Backend(), demo->Device());
  ASSERT_FALSE(path.empty());

  // One search tick finds the device and starts the identification.
  EXPECT_EQ(Tick(), 0);
  ASSERT_TRUE(PumpUntil([&] { return Enabled(vqr::ui::kStartButton); }, kLimit));
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), u"版本 : [ 1002 ]");
  EXPECT_EQ(ListLines(),
            std::vector<std::u16string>(std::begin(kSampleLines), std::end(kSampleLines)));
  EXPECT_EQ(SendMessageW(Control(vqr::ui::kImageList), CB_GETCURSEL, 0, 0), 0);
  EXPECT_TRUE(Enabled(vqr::ui::kImageList));
  EXPECT_TRUE(Enabled(vqr::ui::kExitButton));
  EXPECT_EQ(Text(vqr::ui::kStartButton), kStart);

  // The user picks the second optional image (catalog row 3) and presses the start button.
  ASSERT_EQ(SendMessageW(Control(vqr::ui::kImageList), CB_SETCURSEL, 1, 0), 1);
  const std::size_t commandsBefore = demo->Device().TestCommands().size();
  EXPECT_EQ(SendMessageW(m_window, WM_COMMAND, MAKEWPARAM(vqr::ui::kStartButton, BN_CLICKED),
                         reinterpret_cast<LPARAM>(Control(vqr::ui::kStartButton))),
            0);

  HWND box = PumpUntilDialog(kLimit);
  ASSERT_NE(box, nullptr) << "no message box within " << kLimit.count() << " s";
  EXPECT_EQ(TextOf(box), kDoneCaption) << Describe(box);
  const std::vector<std::u16string> texts = StaticTexts(box);
  EXPECT_NE(std::find(texts.begin(), texts.end(), kDoneText), texts.end()) << Describe(box);
  EXPECT_EQ(GetWindow(box, GW_OWNER), m_window);
  // While the box is open the run has not finished: the exit button is still disabled.
  EXPECT_FALSE(Enabled(vqr::ui::kExitButton));
  if (TextOf(box) != kDoneCaption) return;  // an error box: leave it open, see above
  PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
  ASSERT_TRUE(PumpUntilGone(box, kLimit));
  ASSERT_TRUE(PumpUntil([&] { return Enabled(vqr::ui::kExitButton); }, kLimit));

  EXPECT_EQ(Text(vqr::ui::kStartButton), kDone);
  EXPECT_FALSE(Enabled(vqr::ui::kStartButton));
  EXPECT_TRUE(Enabled(vqr::ui::kExitButton));
  EXPECT_FALSE(Enabled(vqr::ui::kImageList));

  // The device holds both fixed images (its versions are older than the catalog's) and the
  // chosen optional one, and saw one opening per image and then the closing command.
  const std::vector<std::uint8_t> flash = demo->Device().Flash();
  for (std::size_t row : {0u, 1u, 3u}) {
    SCOPED_TRACE(images[row].name);
    EXPECT_EQ(DifferingBytes(flash, images[row]), 0u);
  }
  std::vector<vqr::sim::TestCommand> expected;
  for (std::size_t row : {0u, 1u, 3u}) {
    const vqr::ImageHeader& header = images[row].header;
    expected.push_back({vqr::kOpeningWord, std::uint32_t{header.last} - header.first + 1u});
  }
  expected.push_back({vqr::kClosingWord, vqr::kClosingWord});
  const std::vector<vqr::sim::TestCommand> commands = demo->Device().TestCommands();
  ASSERT_GE(commands.size(), commandsBefore);
  EXPECT_EQ(std::vector<vqr::sim::TestCommand>(
                commands.begin() + static_cast<std::ptrdiff_t>(commandsBefore), commands.end()),
            expected);

  // The user unplugs the cable: the window searches again.
  demo->Backend().Unplug(path);
  EXPECT_EQ(NotifyRemoval(path), 0);
  EXPECT_FALSE(Enabled(vqr::ui::kStartButton));
  EXPECT_EQ(Text(vqr::ui::kStartButton), kStart);
  EXPECT_EQ(ListCount(), 0);
  EXPECT_FALSE(Enabled(vqr::ui::kImageList));
  EXPECT_TRUE(Enabled(vqr::ui::kExitButton));
  EXPECT_EQ(Tick(), 0);
  EXPECT_EQ(Text(vqr::ui::kDeviceLabel), kSearching + u"  1");
}

// An unplug that comes while the identification is under way: its catalog must not reappear
// in the list that the unplug emptied. The device comes back with another version, and the
// list then holds only what the second identification listed.
TEST_F(WindowEndToEndTest, UnplugDuringIdentificationLeavesTheListEmpty) {
  vqr::demo::Demo demo;
  ASSERT_TRUE(demo.Start(0ms));
  OpenWindow(demo);
  const std::u16string path = PathOf(demo.Backend(), demo.Device());
  ASSERT_FALSE(path.empty());

  const std::uint64_t reportsBefore = demo.Device().ReportsSeen();
  EXPECT_EQ(Tick(), 0);
  // The identification has begun once it talks to the device. It cannot get past setting the
  // device label until this thread runs messages again, so the unplug below comes while it
  // is under way. The interface stays listed, so that the page read is not cut short; the
  // window learns of the unplug from the notice alone.
  const auto end = std::chrono::steady_clock::now() + kLimit;
  while (demo.Device().ReportsSeen() == reportsBefore && std::chrono::steady_clock::now() < end)
    Sleep(5);
  ASSERT_NE(demo.Device().ReportsSeen(), reportsBefore)
      << "the identification never read the device (does a worker of an earlier test still "
         "hold it?)";
  EXPECT_EQ(NotifyRemoval(path), 0);
  EXPECT_EQ(ListCount(), 0);
  EXPECT_FALSE(Enabled(vqr::ui::kStartButton));

  // Plugged in again, now showing version 1003; the second identification waits for the
  // first to finish with the device.
  std::array<std::uint8_t, vqr::sim::kPageSize> page = demo.Device().Page(vqr::sim::kInfoPage);
  page[3] = 3;
  demo.Device().SetPage(vqr::sim::kInfoPage, page);
  EXPECT_EQ(Tick(), 0);

  int linesBeforeSecond = 0;
  ASSERT_TRUE(PumpUntil(
      [&] {
        const bool second = Text(vqr::ui::kDeviceLabel) == u"版本 : [ 1003 ]";
        if (!second) linesBeforeSecond = std::max(linesBeforeSecond, ListCount());
        return second && Enabled(vqr::ui::kStartButton);
      },
      kLimit));
  EXPECT_EQ(linesBeforeSecond, 0);
  EXPECT_EQ(ListLines(),
            std::vector<std::u16string>(std::begin(kSampleLines), std::end(kSampleLines)));
}

}  // namespace
