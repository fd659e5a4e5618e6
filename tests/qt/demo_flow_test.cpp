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
#include <chrono>
#include <vector>

#include "demo/demo.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_port.h"

namespace vqr::ui::qt {
namespace {

// Processes events until `done` holds or `ms` have passed.
template <typename Predicate>
bool ProcessUntil(Predicate done, int ms) {
  QDeadlineTimer deadline(ms);
  while (!done() && !deadline.hasExpired())
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return done();
}

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

}  // namespace
}  // namespace vqr::ui::qt
