// The Qt window over the real hidapi backend and the real libudev monitor, against the emulated
// kernel: unplugging the device (a "remove" uevent of its hidraw node) puts the window back
// into its searching state through udev, also in the middle of an update, which then goes on,
// fails its transfers and its read-back and ends with error 0403; and a device another program
// holds is told of in the window's notice.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "device/hid_none.h"
#include "emulated_hidraw.h"
#include "process_until.h"
#include "simulator/sim_bootloader.h"
#include "text/string_table.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_port.h"
#include "ui/qt/udev_monitor.h"
#include "ui/shell/controls.h"
#include "ui/shell/device_notice.h"

namespace vqr::ui::qt {
namespace {

using vqr::testing::ProcessUntil;

QString Q(std::u16string_view text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

class HidrawWindowTest : public ::testing::Test {
 protected:
  HidrawWindowTest() : content(demo::MakeSampleContent()), device(content.infoPage) {}
  void SetUp() override {
    node = kernel.Plug(0x0416, 0xF360, &device);
    server = demo::ServeFiles(content.files);
    ASSERT_NE(server, nullptr);
    g_hidCmd.IO().UseBackend(hid::PlatformHidBackend());
  }
  void TearDown() override {
    window.reset();
    monitor.reset();
    g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
  }

  // The window, with removals of hidraw nodes reaching it through udev as vqr03's main()
  // wires them; the hidapi backend raises no removal notices of its own.
  void Open(WindowOptions options) {
    options.context.serverBase = server->Base();
    window = std::make_unique<MainWindow>(std::move(options));
    window->Port().SetMessageBoxHook([this](QMessageBox& box) {
      boxes.push_back({box.text(), box.windowTitle()});
      QTimer::singleShot(0, &box, &QMessageBox::accept);
    });
    monitor = std::make_unique<UdevMonitor>([this](const QString& removed, std::uint16_t vendor) {
      removals.push_back({removed, vendor});
      window->OnInterfaceRemoved(vendor);
    });
    ASSERT_TRUE(monitor->Active());
  }
  QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(window->Control(id)); }
  QComboBox* ImageList() const { return qobject_cast<QComboBox*>(window->Control(kImageList)); }
  QLabel* DeviceLabel() const { return qobject_cast<QLabel*>(window->Control(kDeviceLabel)); }
  bool Identified() const { return Button(kStartButton)->isEnabled(); }
  void ExpectSearching() {
    EXPECT_FALSE(window->DevicePresent());
    EXPECT_TRUE(window->Timer().isActive());
    EXPECT_EQ(ImageList()->count(), 0);
    EXPECT_FALSE(ImageList()->isEnabled());
    ASSERT_EQ(removals.size(), 1u);
    EXPECT_EQ(removals[0].node, QString::fromStdString(node));
    EXPECT_EQ(removals[0].vendor, 0x0416);
  }

  struct Box {
    QString text;
    QString caption;
  };
  struct Removal {
    QString node;
    std::uint16_t vendor;
  };

  demo::SampleContent content;
  sim::SimBootloader device;
  // Declared after the device, so destroyed before it: the emulated kernel's thread, which
  // hands the device the reports written to its node, has stopped before the device goes.
  test::EmulatedHidraw kernel;
  std::string node;
  std::unique_ptr<demo::ContentServer> server;
  std::unique_ptr<MainWindow> window;
  std::unique_ptr<UdevMonitor> monitor;
  std::vector<Box> boxes;
  std::vector<Removal> removals;
};

TEST_F(HidrawWindowTest, UnpluggingTheIdentifiedDeviceReturnsToSearchingThroughUdev) {
  Open({});
  window->Tick();
  ASSERT_TRUE(window->DevicePresent());
  ASSERT_TRUE(ProcessUntil([&] { return Identified(); }, 20000));
  EXPECT_EQ(DeviceLabel()->text(), QStringLiteral("版本 : [ 1002 ]"));
  EXPECT_EQ(ImageList()->count(), 3);

  kernel.Unplug(node);
  ASSERT_TRUE(ProcessUntil([&] { return !window->DevicePresent(); }, 5000));
  ExpectSearching();
  EXPECT_FALSE(Button(kStartButton)->isEnabled());
  EXPECT_EQ(Button(kStartButton)->text(), Q(text::StringTableEntry(text::kStrStart)));
  EXPECT_EQ(window->SearchCount(), 0);

  // The device is gone from the search too.
  window->Tick();
  EXPECT_FALSE(window->DevicePresent());
  EXPECT_EQ(DeviceLabel()->text(), QStringLiteral("尋 找 中.....   1"));
  EXPECT_TRUE(boxes.empty());
}

// Unplugged in the middle of writing: the window returns to searching at once, while the run
// goes on to its end; its transfers fail, so the read-back differs and the run ends with 0403.
TEST_F(HidrawWindowTest, AnUnplugDuringAnUpdateEndsTheRunWithError0403) {
  std::atomic<bool> writing{false};
  WindowOptions options;
  options.tickPeriod = std::chrono::milliseconds(100);
  options.context.progress = [&](const ProgramProgress& progress) {
    if (!progress.verifying && progress.sectorsDone >= 2) writing = true;
  };
  Open(std::move(options));
  window->Tick();
  ASSERT_TRUE(ProcessUntil([&] { return Identified(); }, 20000));

  QTest::mouseClick(Button(kStartButton), Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return writing.load(); }, 20000));
  kernel.Unplug(node);
  ASSERT_TRUE(ProcessUntil([&] { return !window->DevicePresent(); }, 5000));
  ExpectSearching();

  ASSERT_TRUE(ProcessUntil(
      [&] { return !window->Controller().WorkerThreads().UpdateRunning() && !boxes.empty(); },
      60000));
  ASSERT_EQ(boxes.size(), 1u) << boxes[0].text.toStdString();
  EXPECT_TRUE(boxes[0].text.startsWith(QStringLiteral("錯誤碼: 0403+ 0\n")))
      << boxes[0].text.toStdString();
  EXPECT_EQ(boxes[0].caption, QStringLiteral("執行時錯誤"));
  EXPECT_GT(kernel.Traffic(node).afterUnplug, 0u) << "the run went on after the unplug";
  const std::vector<sim::TestCommand> commands = device.TestCommands();
  EXPECT_TRUE(commands.empty() ||
              !(commands.back() == sim::TestCommand{kClosingWord, kClosingWord}))
      << "the device was never told the update is complete";
  EXPECT_FALSE(window->DevicePresent());
  EXPECT_TRUE(window->Timer().isActive()) << "still searching";
}

// Another program holds the device: the window says so in its notice and goes on searching; it
// takes the device once the other program has let go.
TEST_F(HidrawWindowTest, ADeviceAnotherProgramHoldsIsToldOfAndTakenWhenFree) {
  auto holder = std::make_unique<CHidIO>(hid::PlatformHidBackend());
  ASSERT_EQ(holder->OpenDevice(), 0xF360u);
  Open({});
  window->Tick();
  window->Tick();
  EXPECT_FALSE(window->DevicePresent());
  EXPECT_EQ(DeviceLabel()->text(), QStringLiteral("尋 找 中.....   2"));
  auto* notice = window->findChild<QMessageBox*>(QStringLiteral("deviceNotice"));
  ASSERT_NE(notice, nullptr);
  EXPECT_TRUE(notice->isVisible());
  EXPECT_FALSE(notice->isModal());
  EXPECT_TRUE(notice->text().startsWith(
      Q(FindDeviceNotice(hid::OpenError::kBusy, NoticePlatform::kLinux).english)));

  holder.reset();
  window->Tick();
  EXPECT_TRUE(window->DevicePresent());
  EXPECT_FALSE(notice->isVisible());
  ASSERT_TRUE(ProcessUntil([&] { return Identified(); }, 20000));
  EXPECT_TRUE(boxes.empty());
}

}  // namespace
}  // namespace vqr::ui::qt
