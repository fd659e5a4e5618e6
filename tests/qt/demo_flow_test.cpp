// The window with its port and the real workers, against the demo's simulated device and
// loopback server: a tick finds the device, the identification fills the window from its own
// thread, the start button runs the update to its end, and unplugging returns to searching.
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
#include <thread>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "port/window_port.h"
#include "process_until.h"
#include "text/string_table.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_port.h"

namespace vqr::ui::qt {
namespace {

using vqr::testing::ProcessUntil;

TEST(QtDemoFlow, IdentifyUpdateAndUnplugThroughThePort) {
  demo::Demo demo;
  ASSERT_TRUE(demo.Start(std::chrono::milliseconds(0)));
  WindowOptions options;
  options.context.serverBase = demo.ServerBase();
  MainWindow window(options);
  QtWindowPort& port = window.Port();
  struct Box {
    QString text;
    QString caption;
  };
  std::vector<Box> boxes;
  port.SetMessageBoxHook([&](QMessageBox& box) {
    boxes.push_back({box.text(), box.windowTitle()});
    QTimer::singleShot(0, &box, &QMessageBox::accept);
  });

  auto* label = qobject_cast<QLabel*>(window.Control(kDeviceLabel));
  auto* start = qobject_cast<QPushButton*>(window.Control(kStartButton));
  auto* exitButton = qobject_cast<QPushButton*>(window.Control(kExitButton));
  auto* list = qobject_cast<QComboBox*>(window.Control(kImageList));

  window.Tick();
  ASSERT_TRUE(window.DevicePresent());
  ASSERT_TRUE(ProcessUntil([&] { return start->isEnabled(); }, 20000));
  EXPECT_EQ(label->text(), QStringLiteral("版本 : [ 1002 ]"));
  EXPECT_EQ(list->count(), 3);
  EXPECT_EQ(list->currentIndex(), 0);
  EXPECT_TRUE(list->isEnabled());

  QTest::mouseClick(start, Qt::LeftButton);
  const QString done = QStringLiteral("- 更 新 完 成 -");
  ASSERT_TRUE(ProcessUntil([&] { return start->text() == done && exitButton->isEnabled(); }, 60000))
      << start->text().toStdString();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, QStringLiteral("更新完成"));
  EXPECT_FALSE(start->isEnabled());
  EXPECT_FALSE(list->isEnabled());

  // The device goes away: the window searches again.
  const std::vector<hid::SimInterface> present = demo.Backend().Interfaces();
  demo.Backend().Unplug(present.back().path);
  EXPECT_FALSE(window.DevicePresent());
  EXPECT_EQ(list->count(), 0);
  EXPECT_EQ(
      start->text(),
      QString::fromUtf16(text::StringTableEntry(text::kStrStart).data(),
                         static_cast<qsizetype>(text::StringTableEntry(text::kStrStart).size())));
  EXPECT_TRUE(window.Timer().isActive());
}

// Ending the program while a worker runs: the window stops serving its port, then waits for
// the worker, so that nothing the worker uses is destroyed under it (AddressSanitizer and
// ThreadSanitizer watch these in their presets).
class QtWindowExitTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(demo.Start(std::chrono::milliseconds(0))); }

  std::unique_ptr<MainWindow> Open(WindowOptions options) {
    options.context.serverBase = demo.ServerBase();
    auto window = std::make_unique<MainWindow>(std::move(options));
    window->Port().SetMessageBoxHook(
        [](QMessageBox& box) { QTimer::singleShot(0, &box, &QMessageBox::accept); });
    return window;
  }

  demo::Demo demo;
};

TEST_F(QtWindowExitTest, DuringAnIdentificationTheWorkerStopsAndIsJoined) {
  std::atomic<bool> reached{false};
  std::atomic<bool> left{false};
  std::atomic<WorkerShared*> shared{nullptr};
  WindowOptions options;
  options.context.onStep = [&](IdentifyStep step) {
    if (step != IdentifyStep::kInfoPageRead) return;
    reached = true;
    // Hold the identification here until the window is on its way out.
    while (shared.load() == nullptr || !shared.load()->stopping.load())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    left = true;
  };
  std::unique_ptr<MainWindow> window = Open(std::move(options));
  shared = &window->Controller().WorkerThreads().Shared();
  window->Tick();
  ASSERT_TRUE(ProcessUntil([&] { return reached.load(); }, 20000));
  window.reset();
  EXPECT_TRUE(left.load()) << "the window was destroyed before its worker had ended";
}

TEST_F(QtWindowExitTest, DuringAnUpdateRunTheRunIsFinishedFirst) {
  std::atomic<bool> writing{false};
  WindowOptions options;
  options.context.progress = [&](const ProgramProgress&) { writing = true; };
  std::unique_ptr<MainWindow> window = Open(std::move(options));
  auto* start = qobject_cast<QPushButton*>(window->Control(kStartButton));
  window->Tick();
  ASSERT_TRUE(ProcessUntil([&] { return start->isEnabled(); }, 20000));
  QTest::mouseClick(start, Qt::LeftButton);
  ASSERT_TRUE(ProcessUntil([&] { return writing.load(); }, 20000));
  window.reset();
  // The run went on to its end, closing command included, before the window was gone.
  const std::vector<sim::TestCommand> commands = demo.Device().TestCommands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), (sim::TestCommand{kClosingWord, kClosingWord}));
}

}  // namespace
}  // namespace vqr::ui::qt
