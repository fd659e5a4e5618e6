// The main window under the offscreen platform: its first state, the device search, the
// reaction to a removal, the about box and the two buttons. The search runs against the
// simulated HID backend; the workers are not started, only recorded.
#include <gtest/gtest.h>

#include <QApplication>
#include <QColor>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QDialog>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <array>
#include <memory>
#include <thread>
#include <vector>

#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "port/window_port.h"
#include "process_until.h"
#include "simulator/sim_bootloader.h"
#include "text/string_table.h"
#include "ui/qt/main_window.h"
#include "vqr_version.h"
#include "workflow/workers.h"

namespace vqr::ui::qt {
namespace {

using vqr::testing::ProcessUntil;

QString Q(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

// The project's version as the title shows it, each number in a field of two: " 3. 1".
QString TitleVersion() {
  return QStringLiteral("%1.%2").arg(VQR_VERSION_MAJOR, 2).arg(VQR_VERSION_MINOR, 2);
}

QString Searching(const char* count) {
  return QStringLiteral("尋 找 中.....") + QString::fromLatin1(count);
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() : m_device(std::span<const std::uint8_t, sim::kPageSize>(m_infoPage)) {
    g_hidCmd.IO().UseBackend(m_sim);
    WindowOptions options;
    options.startWorker = [this](WorkerEntry entry) {
      m_started.push_back(entry);
      return true;
    };
    m_window = std::make_unique<MainWindow>(options);
  }
  ~MainWindowTest() override {
    m_window.reset();
    g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
  }

  QLabel* DeviceLabel() const { return qobject_cast<QLabel*>(m_window->Control(kDeviceLabel)); }
  QPushButton* Button(int id) const { return qobject_cast<QPushButton*>(m_window->Control(id)); }
  QComboBox* ImageList() const { return qobject_cast<QComboBox*>(m_window->Control(kImageList)); }

  // Plugs the simulated device in and lets one tick find it; then fills the window the way the
  // identification and a running update leave it.
  std::u16string FindDeviceAndFill() {
    const std::u16string path = m_sim.Plug(&m_device);
    m_window->Tick();
    EXPECT_TRUE(m_window->DevicePresent());
    ImageList()->addItems({"a", "b", "c"});
    ImageList()->setCurrentIndex(1);
    Button(kStartButton)->setEnabled(true);
    Button(kStartButton)->setText("[   12 ]");
    return path;
  }

  std::array<std::uint8_t, sim::kPageSize> m_infoPage{};
  sim::SimBootloader m_device;
  hid::SimulatedHidBackend m_sim;
  std::vector<WorkerEntry> m_started;
  std::unique_ptr<MainWindow> m_window;
};

TEST_F(MainWindowTest, FirstStateHasTheControlsTextsGeometryAndTitle) {
  struct Expected {
    int id;
    QString text;
    QRect rect;
    bool enabled;
  };
  const Expected controls[] = {
      {kDeviceGroup, Q(text::StringTableEntry(134)), {30, 10, 340, 80}, true},
      {kDeviceLabel, Searching("   0"), {60, 40, 280, 40}, true},
      {kVersionGroup, Q(text::StringTableEntry(135)), {30, 110, 340, 80}, true},
      {kBlankLabel, QString(), {60, 140, 280, 40}, true},
      {kStartButton, Q(text::StringTableEntry(132)), {100, 210, 200, 50}, false},
      {kExitButton, Q(text::StringTableEntry(133)), {100, 300, 200, 50}, true},
  };
  // Children in the order of creation, named by their ids.
  QStringList order;
  for (QObject* child : m_window->children())
    if (child->isWidgetType()) order << child->objectName();
  EXPECT_EQ(order, QStringList({"0x72", "0x74", "0x73", "0x75", "0x70", "0x71", "0x7D"}));

  for (const Expected& want : controls) {
    SCOPED_TRACE(want.id);
    QWidget* widget = m_window->findChild<QWidget*>(ControlObjectName(want.id));
    ASSERT_NE(widget, nullptr);
    EXPECT_EQ(widget, m_window->Control(want.id));
    QString text;
    if (auto* group = qobject_cast<QGroupBox*>(widget)) text = group->title();
    if (auto* label = qobject_cast<QLabel*>(widget)) text = label->text();
    if (auto* button = qobject_cast<QPushButton*>(widget)) text = button->text();
    EXPECT_EQ(text, want.text);
    EXPECT_EQ(widget->geometry(), want.rect);
    EXPECT_EQ(widget->isEnabled(), want.enabled);
  }
  EXPECT_EQ(Searching("   0"), QStringLiteral("尋 找 中.....   0"));

  QComboBox* list = ImageList();
  EXPECT_EQ(list->count(), 0);
  EXPECT_TRUE(list->isEnabled());
  EXPECT_EQ(list->x(), 60);
  EXPECT_EQ(list->y(), 140);
  EXPECT_EQ(list->width(), 280);
  // The list lies over the blank label.
  EXPECT_EQ(m_window->childAt(200, 150), list);

  EXPECT_EQ(m_window->size(), QSize(400, 400));
  EXPECT_EQ(m_window->windowTitle(), QStringLiteral(" VQR03   [") + TitleVersion() + " ]");
  // The program's own icon, the drawings the Windows program carries: blue at the edge.
  EXPECT_EQ(m_window->windowIcon().availableSizes(),
            QList<QSize>({{16, 16}, {32, 32}, {48, 48}, {64, 64}, {128, 128}}));
  for (int size : {16, 32, 48, 64, 128}) {
    const QImage picture = m_window->windowIcon().pixmap(size, size).toImage();
    ASSERT_EQ(picture.size(), QSize(size, size)) << size;
    EXPECT_EQ(picture.pixelColor(1, size / 2), QColor(0x1f, 0x5f, 0xbf)) << size;
  }
  const Qt::WindowFlags flags = m_window->windowFlags();
  EXPECT_TRUE(flags.testFlag(Qt::WindowTitleHint));
  EXPECT_TRUE(flags.testFlag(Qt::CustomizeWindowHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowCloseButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMinimizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_FALSE(flags.testFlag(Qt::WindowSystemMenuHint));

  EXPECT_TRUE(m_window->Timer().isActive());
  EXPECT_EQ(m_window->Timer().interval(), 1000);
  EXPECT_FALSE(m_window->DevicePresent());
}

TEST_F(MainWindowTest, EachTickWithoutDeviceCountsInTheLabel) {
  struct Case {
    int ticks;
    const char* count;
  };
  const Case cases[] = {{1, "   1"},   {2, "   2"},     {3, "   3"},    {99, "  99"},
                        {999, " 999"}, {1000, " 1000"}, {1001, " 1001"}};
  int done = 0;
  for (const Case& c : cases) {
    while (done < c.ticks) {
      m_window->Tick();
      ++done;
    }
    EXPECT_EQ(DeviceLabel()->text(), Searching(c.count)) << c.ticks;
  }
  EXPECT_EQ(m_window->SearchCount(), 1001);
  EXPECT_TRUE(m_window->Timer().isActive());
  EXPECT_FALSE(m_window->DevicePresent());
  EXPECT_TRUE(m_started.empty());
}

TEST_F(MainWindowTest, TheTimerDrivesTheSearch) {
  // The same window with a short period: the ticks come from the timer itself.
  m_window.reset();
  WindowOptions options;
  options.tickPeriod = std::chrono::milliseconds(5);
  m_window = std::make_unique<MainWindow>(options);
  EXPECT_EQ(m_window->Timer().interval(), 5);
  EXPECT_TRUE(ProcessUntil([&] { return m_window->SearchCount() >= 3; }));
  EXPECT_EQ(
      DeviceLabel()->text(),
      Q(text::StringTableEntry(136)).replace("%3d", QString("%1").arg(m_window->SearchCount(), 3)));
}

TEST_F(MainWindowTest, ATickThatFindsTheDeviceStopsTheSearchAndStartsTheIdentification) {
  m_window->Tick();
  m_window->Tick();
  m_sim.Plug(&m_device);
  m_window->Tick();

  EXPECT_FALSE(m_window->Timer().isActive());
  EXPECT_TRUE(m_window->DevicePresent());
  EXPECT_TRUE(g_hidCmd.IO().IsReadOpen());
  EXPECT_TRUE(g_hidCmd.IO().IsWriteOpen());
  ASSERT_EQ(m_started.size(), 1u);
  EXPECT_EQ(m_started[0], &IdentifyThread);
  // The count stops where it was; the identification takes the label over.
  EXPECT_EQ(m_window->SearchCount(), 2);
  EXPECT_EQ(DeviceLabel()->text(), Searching("   2"));
}

// A device of the family that this user may not open: not found, and a notice that blocks
// neither the search nor the window says why, once per arrival; a device found later closes it.
TEST_F(MainWindowTest, ADeviceThatCannotBeOpenedIsToldOfWithoutStoppingTheSearch) {
  hid::SimInterface denied{hid::SimInterfacePath(0x0416, 0xF360, 5), 0x0416, 0xF360, &m_device};
  denied.claimFails = hid::OpenError::kAccessDenied;
  m_sim.SetInterfaces({denied});
  m_window->show();
  m_window->Tick();

  auto* notice = m_window->findChild<QMessageBox*>(QStringLiteral("deviceNotice"));
  ASSERT_NE(notice, nullptr);
  EXPECT_TRUE(notice->isVisible());
  EXPECT_FALSE(notice->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(notice->text().contains(QStringLiteral("/usr/lib/udev/rules.d/70-vqr03.rules")));
  EXPECT_FALSE(m_window->DevicePresent());
  EXPECT_TRUE(m_window->Timer().isActive());
  EXPECT_TRUE(m_started.empty());
  EXPECT_EQ(DeviceLabel()->text(), Searching("   1"));

  // Closed by the user, it does not come back while the same device stays plugged in.
  notice->close();
  m_window->Tick();
  m_window->Tick();
  EXPECT_FALSE(notice->isVisible());
  EXPECT_EQ(DeviceLabel()->text(), Searching("   3"));

  // Unplugged and plugged in again: told again.
  m_sim.SetInterfaces({});
  m_window->Tick();
  m_sim.SetInterfaces({denied});
  m_window->Tick();
  EXPECT_TRUE(notice->isVisible());

  // The user fixed the permission: the device is found and the notice goes.
  denied.claimFails = hid::OpenError::kNone;
  m_sim.SetInterfaces({denied});
  m_window->Tick();
  EXPECT_TRUE(m_window->DevicePresent());
  EXPECT_FALSE(notice->isVisible());
  ASSERT_EQ(m_started.size(), 1u);
}

TEST_F(MainWindowTest, RemovalWhileSearchingChangesNothing) {
  m_window->Tick();
  m_window->Tick();
  ImageList()->addItem("kept");
  // The device comes and goes between two ticks: a notice of its vendor while the flag is 0.
  m_sim.Unplug(m_sim.Plug(&m_device));

  EXPECT_FALSE(m_window->DevicePresent());
  EXPECT_EQ(m_window->SearchCount(), 2);
  EXPECT_EQ(DeviceLabel()->text(), Searching("   2"));
  EXPECT_EQ(ImageList()->count(), 1);
  EXPECT_TRUE(ImageList()->isEnabled());
  EXPECT_TRUE(m_window->Timer().isActive());
}

TEST_F(MainWindowTest, RemovalOfAnotherVendorsInterfaceChangesNothing) {
  FindDeviceAndFill();
  const std::vector<hid::SimInterface> present = m_sim.Interfaces();
  ASSERT_EQ(present.front().vendor, 0x046D);
  m_sim.Unplug(present.front().path);
  m_window->OnInterfaceRemoved(0x0417);

  EXPECT_TRUE(m_window->DevicePresent());
  EXPECT_FALSE(m_window->Timer().isActive());
  EXPECT_EQ(ImageList()->count(), 3);
  EXPECT_TRUE(ImageList()->isEnabled());
  EXPECT_TRUE(Button(kStartButton)->isEnabled());
  EXPECT_EQ(Button(kStartButton)->text(), QStringLiteral("[   12 ]"));
}

TEST_F(MainWindowTest, RemovalOfTheDevicePutsTheWindowBackToSearching) {
  const std::u16string path = FindDeviceAndFill();
  m_sim.Unplug(path);

  EXPECT_FALSE(m_window->DevicePresent());
  EXPECT_EQ(ImageList()->count(), 0);
  EXPECT_FALSE(ImageList()->isEnabled());
  EXPECT_FALSE(Button(kStartButton)->isEnabled());
  EXPECT_EQ(Button(kStartButton)->text(), Q(text::StringTableEntry(132)));
  EXPECT_EQ(m_window->SearchCount(), 0);
  EXPECT_TRUE(m_window->Timer().isActive());
  EXPECT_EQ(m_window->Timer().interval(), 1000);

  // The count starts again from 0: one tick later it shows 1.
  m_window->Tick();
  EXPECT_EQ(DeviceLabel()->text(), Searching("   1"));

  // A second notice for the same removal finds the flag at 0.
  Button(kStartButton)->setText("x");
  m_window->OnInterfaceRemoved(0x0416);
  EXPECT_EQ(Button(kStartButton)->text(), QStringLiteral("x"));
  EXPECT_EQ(m_window->SearchCount(), 1);
}

TEST_F(MainWindowTest, ARemovalNoticeFromAnotherThreadIsHandledOnTheGuiThread) {
  const std::u16string path = FindDeviceAndFill();
  std::thread([&] { m_sim.Unplug(path); }).join();
  // Relayed, not run on the notifying thread.
  EXPECT_TRUE(m_window->DevicePresent());
  EXPECT_TRUE(ProcessUntil([&] { return !m_window->DevicePresent(); }));
  EXPECT_EQ(ImageList()->count(), 0);
  EXPECT_TRUE(m_window->Timer().isActive());
}

TEST_F(MainWindowTest, ShortcutsOpenTheAboutBoxAndEnterOrEscapeCloseIt) {
  m_window->show();

  struct Case {
    Qt::Key key;
    Qt::KeyboardModifiers modifiers;
    bool opens;
    Qt::Key closeKey;
    int result;
  };
  const Case cases[] = {
      {Qt::Key_Question, Qt::AltModifier, true, Qt::Key_Return, QDialog::Accepted},
      {Qt::Key_Question, Qt::AltModifier, true, Qt::Key_Escape, QDialog::Rejected},
      {Qt::Key_Slash, Qt::AltModifier, true, Qt::Key_Enter, QDialog::Accepted},
      {Qt::Key_Slash, Qt::AltModifier, true, Qt::Key_Escape, QDialog::Rejected},
      {Qt::Key_Question, Qt::NoModifier, false, Qt::Key_Escape, 0},
      {Qt::Key_Slash, Qt::ControlModifier, false, Qt::Key_Escape, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(QKeySequence(c.key | c.modifiers).toString().toStdString());
    // The offscreen platform does not give the activation back when a dialog closes.
    m_window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(m_window.get()));
    bool seen = false;
    bool forced = false;
    int result = -1;
    // The timers below belong to this case: destroyed with it, they never fire in a later case
    // or test (where the variables they refer to are gone).
    QObject scope;
    QTimer::singleShot(0, &scope, [&] {
      auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget());
      if (box == nullptr) return;
      seen = true;
      EXPECT_EQ(box->windowTitle(), QStringLiteral("關於 VQR1"));
      EXPECT_EQ(box->parentWidget(), m_window.get());
      auto* text = box->findChild<QLabel*>("text");
      ASSERT_NE(text, nullptr);
      EXPECT_EQ(text->text(),
                QStringLiteral("VQR03, %1.%2 版").arg(VQR_VERSION_MAJOR).arg(VQR_VERSION_MINOR));
      auto* icon = box->findChild<QLabel*>("icon");
      ASSERT_NE(icon, nullptr);
      EXPECT_FALSE(icon->pixmap().isNull());
      EXPECT_EQ(icon->pixmap().toImage(), ProgramIcon().pixmap(32, 32).toImage());
      auto* ok = box->findChild<QPushButton*>("0x01");
      ASSERT_NE(ok, nullptr);
      EXPECT_EQ(ok->text(), QStringLiteral("確定"));
      EXPECT_TRUE(ok->isDefault());
      QObject::connect(box, &QDialog::finished, [&](int r) { result = r; });
      QTest::keyClick(box, c.closeKey);
    });
    // A box the key did not close is closed here so that a failure cannot hang the run.
    QTimer::singleShot(2000, &scope, [&] {
      if (QWidget* open = QApplication::activeModalWidget()) {
        forced = true;
        open->close();
      }
    });
    QTest::keyClick(m_window.get(), c.key, c.modifiers);
    if (c.opens) {
      EXPECT_TRUE(seen);
      EXPECT_FALSE(forced);
      EXPECT_EQ(result, c.result);
    } else {
      QCoreApplication::processEvents();
      EXPECT_FALSE(seen);
    }
    EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  }
}

TEST_F(MainWindowTest, TheStartButtonStartsTheUpdate) {
  Button(kStartButton)->setEnabled(true);
  QTest::mouseClick(Button(kStartButton), Qt::LeftButton);
  ASSERT_EQ(m_started.size(), 1u);
  EXPECT_EQ(m_started[0], &UpdateThread);
}

TEST_F(MainWindowTest, OnlyTheExitButtonEndsTheProgramAndWithCodeZero) {
  m_window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(m_window.get()));

  // A close request from outside (the window has no close box) is refused.
  EXPECT_FALSE(m_window->close());
  EXPECT_TRUE(m_window->isVisible());

  QTimer::singleShot(0, m_window.get(),
                     [&] { QTest::mouseClick(Button(kExitButton), Qt::LeftButton); });
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(5000);
  EXPECT_EQ(QApplication::exec(), 0);
  EXPECT_FALSE(m_window->isVisible());
}

}  // namespace
}  // namespace vqr::ui::qt
