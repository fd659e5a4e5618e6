// The Qt window port: calls from a worker thread are carried out on the GUI thread in order,
// the worker waits for each (a message box until it is closed), the process ends with the
// code given, and a closed port neither hangs nor touches the window.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <atomic>
#include <future>
#include <thread>
#include <vector>

#include "port/window_port.h"
#include "ui/qt/main_window.h"
#include "ui/qt/qt_window_port.h"

namespace vqr::ui::qt {
namespace {

struct BoxSeen {
  QString text;
  QString caption;
  QMessageBox::Icon icon;
  QMessageBox::StandardButtons buttons;
  QWidget* owner;
  bool modal;
  // The window as it stood when the box came up.
  QString label;
  QString startText;
  bool startEnabled;
  int listCount;
  bool workerPassedBox;
};

class QtWindowPortTest : public ::testing::Test {
 protected:
  QtWindowPortTest() : m_window(NoWorkers()), m_port(m_window) {}

  static WindowOptions NoWorkers() {
    WindowOptions options;
    options.startWorker = [](WorkerEntry) { return true; };
    return options;
  }

  QString Text(int id) const {
    QWidget* widget = m_window.Control(id);
    if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
    if (auto* button = qobject_cast<QPushButton*>(widget)) return button->text();
    return {};
  }
  QComboBox* List() const { return qobject_cast<QComboBox*>(m_window.Control(kImageList)); }

  // Runs `work` on a new thread while the GUI thread runs an event loop; returns when it is done.
  // The end is seen through an atomic flag, not a call posted to the loop, so that every
  // hand-over between the threads is one a race checker can see.
  void RunWorker(const std::function<void()>& work) {
    QEventLoop loop;
    std::atomic<bool> finished{false};
    std::thread worker([&] {
      work();
      finished.store(true);
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (finished.load()) loop.quit();
    });
    poll.start(5);
    QTimer::singleShot(10000, &loop, [&] {
      ADD_FAILURE() << "the worker did not finish";
      loop.exit(1);
    });
    loop.exec();
    worker.join();
  }

  MainWindow m_window;
  QtWindowPort m_port;
};

TEST_F(QtWindowPortTest, WorkerCallsArriveInOrderAndTheWorkerWaitsForEachBox) {
  std::atomic<int> boxesPassed{0};
  std::vector<BoxSeen> seen;
  bool workerMovedWhileOpen = false;
  m_port.SetMessageBoxHook([&](QMessageBox& box) {
    seen.push_back({box.text(), box.windowTitle(), box.icon(), box.standardButtons(),
                    box.parentWidget(), box.windowModality() != Qt::NonModal, Text(kDeviceLabel),
                    Text(kStartButton), m_window.Control(kStartButton)->isEnabled(),
                    List()->count(), boxesPassed.load() >= static_cast<int>(seen.size()) + 1});
    // Leave the box open for a while: the worker must not go on meanwhile.
    const int before = boxesPassed.load();
    QTimer::singleShot(50, &box, [&, before, target = &box] {
      if (boxesPassed.load() != before) workerMovedWhileOpen = true;
      target->accept();
    });
  });

  int selection = -2;
  int selectionAfterNone = -2;
  RunWorker([&] {
    m_port.SetText(kDeviceLabel, u"版本 : [ 2345 ]");
    m_port.AppendListItem(u" 1234  [ 一 ]");
    m_port.AppendListItem(u" 1235  [ 二 ]");
    m_port.AppendListItem(u" 1236  [ 三 ]");
    m_port.SelectListItem(1);
    selection = m_port.ListSelection();
    m_port.Enable(kImageList, true);
    m_port.Enable(kStartButton, true);
    m_port.SetText(kStartButton, u"[    1 ]");
    m_port.SetText(kStartButton, u"[    2 ]");
    m_port.MessageBox(u"錯誤碼: 0402 -9", u"執行時錯誤", MessageIcon::kError);
    ++boxesPassed;
    m_port.SetText(kStartButton, u"- 更 新 完 成 -");
    m_port.Enable(kStartButton, false);
    m_port.MessageBox(u"OK\n拔線＋離開程式\nGoodbye.", u"更新完成", MessageIcon::kInformation);
    ++boxesPassed;
    m_port.SelectListItem(-1);
    selectionAfterNone = m_port.ListSelection();
  });

  EXPECT_FALSE(workerMovedWhileOpen);
  EXPECT_EQ(selection, 1);
  EXPECT_EQ(selectionAfterNone, -1);
  ASSERT_EQ(seen.size(), 2u);

  EXPECT_EQ(seen[0].text, QStringLiteral("錯誤碼: 0402 -9"));
  EXPECT_EQ(seen[0].caption, QStringLiteral("執行時錯誤"));
  EXPECT_EQ(seen[0].icon, QMessageBox::Critical);
  EXPECT_EQ(seen[0].label, QStringLiteral("版本 : [ 2345 ]"));
  EXPECT_EQ(seen[0].startText, QStringLiteral("[    2 ]"));
  EXPECT_TRUE(seen[0].startEnabled);
  EXPECT_EQ(seen[0].listCount, 3);

  EXPECT_EQ(seen[1].text, QStringLiteral("OK\n拔線＋離開程式\nGoodbye."));
  EXPECT_EQ(seen[1].caption, QStringLiteral("更新完成"));
  EXPECT_EQ(seen[1].icon, QMessageBox::Information);
  EXPECT_EQ(seen[1].startText, QStringLiteral("- 更 新 完 成 -"));
  EXPECT_FALSE(seen[1].startEnabled);

  for (const BoxSeen& box : seen) {
    EXPECT_EQ(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_EQ(box.owner, &m_window);
    EXPECT_TRUE(box.modal);
    EXPECT_FALSE(box.workerPassedBox);
  }
  EXPECT_EQ(List()->itemText(2), QStringLiteral(" 1236  [ 三 ]"));
  EXPECT_EQ(m_port.CallsInFlight(), 0);
}

TEST_F(QtWindowPortTest, ClearListEmptiesTheImageList) {
  RunWorker([&] {
    m_port.AppendListItem(u"a");
    m_port.AppendListItem(u"b");
    m_port.ClearList();
    m_port.AppendListItem(u"c");
  });
  ASSERT_EQ(List()->count(), 1);
  EXPECT_EQ(List()->itemText(0), QStringLiteral("c"));
}

TEST_F(QtWindowPortTest, CallsOnTheGuiThreadRunAtOnce) {
  // No event loop runs here: a call that were posted and waited for would never return.
  m_port.SetText(kDeviceLabel, u"now");
  m_port.Enable(kExitButton, false);
  m_port.AppendListItem(u"x");
  EXPECT_EQ(Text(kDeviceLabel), QStringLiteral("now"));
  EXPECT_FALSE(m_window.Control(kExitButton)->isEnabled());
  EXPECT_EQ(m_port.ListSelection(), 0);
  EXPECT_EQ(m_port.LoadString(133), u"離  開");
}

TEST_F(QtWindowPortTest, EndProcessFromAWorkerEndsTheEventLoopWithItsCode) {
  std::atomic<bool> returned{false};
  std::thread worker([&] {
    m_port.EndProcess(3);
    returned = true;
  });
  // The guard is a timer of this test: a single-shot without a context object would outlive
  // the test and end whatever event loop runs 10 s later, in another test.
  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(99); });
  guard.start(10000);
  EXPECT_EQ(QApplication::exec(), 3);
  worker.join();
  EXPECT_TRUE(returned);
}

TEST_F(QtWindowPortTest, ClosingReleasesAWaitingWorkerAndLaterCallsDoNothing) {
  // The worker's call is posted but the GUI thread does not run its loop: it closes the port.
  std::thread worker([&] { m_port.SetText(kDeviceLabel, u"late"); });
  QDeadlineTimer deadline(5000);
  while (m_port.CallsInFlight() == 0 && !deadline.hasExpired()) std::this_thread::yield();
  ASSERT_EQ(m_port.CallsInFlight(), 1);
  m_port.Close();
  worker.join();
  EXPECT_EQ(m_port.CallsInFlight(), 0);

  bool boxShown = false;
  m_port.SetMessageBoxHook([&](QMessageBox& box) {
    boxShown = true;
    box.accept();
  });
  auto later = std::async(std::launch::async, [&] {
    m_port.MessageBox(u"text", u"caption", MessageIcon::kError);
    m_port.AppendListItem(u"late");
    return m_port.ListSelection();
  });
  ASSERT_EQ(later.wait_for(std::chrono::seconds(5)), std::future_status::ready);
  EXPECT_EQ(later.get(), -1);
  QCoreApplication::processEvents();
  EXPECT_FALSE(boxShown);
  EXPECT_EQ(List()->count(), 0);
  EXPECT_NE(Text(kDeviceLabel), QStringLiteral("late"));
}

}  // namespace
}  // namespace vqr::ui::qt
