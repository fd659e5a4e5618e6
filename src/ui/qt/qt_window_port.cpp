#include "ui/qt/qt_window_port.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <thread>

#include "text/string_table.h"
#include "ui/qt/main_window.h"

namespace vqr::ui::qt {

namespace {

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

QtWindowPort::QtWindowPort(MainWindow& window) : m_window(window) {}

QtWindowPort::~QtWindowPort() {
  Close();
}

void QtWindowPort::Close() {
  m_closed.store(true);
  // A caller that counted itself in before the flag was set either sees the flag and leaves, or
  // has posted (or is about to post) its call: run the posted calls, which do nothing now that
  // the port is closed, until every such caller has been released.
  while (m_inFlight.load() > 0) {
    QCoreApplication::sendPostedEvents(&m_receiver, QEvent::MetaCall);
    std::this_thread::yield();
  }
}

bool QtWindowPort::OnGuiThread(const std::function<void()>& work) {
  if (QThread::currentThread() == m_receiver.thread()) {
    if (m_closed.load()) return false;
    work();
    return true;
  }
  m_inFlight.fetch_add(1);
  bool done = false;
  if (!m_closed.load()) {
    // Qt's blocking call orders the two threads, but inside Qt; the release/acquire pairs on
    // m_handoff state the same order in the program itself, so that a race checker sees it too.
    m_handoff.fetch_add(1, std::memory_order_release);
    QMetaObject::invokeMethod(
        &m_receiver,
        [&] {
          m_handoff.load(std::memory_order_acquire);
          if (!m_closed.load()) {
            work();
            done = true;
          }
          m_handoff.fetch_add(1, std::memory_order_release);
        },
        Qt::BlockingQueuedConnection);
    m_handoff.load(std::memory_order_acquire);
  }
  m_inFlight.fetch_sub(1);
  return done;
}

void QtWindowPort::SetText(int control, const std::u16string& text) {
  OnGuiThread([&] {
    QWidget* widget = m_window.Control(control);
    const QString value = ToQString(text);
    if (auto* label = qobject_cast<QLabel*>(widget)) {
      label->setText(value);
    } else if (auto* button = qobject_cast<QAbstractButton*>(widget)) {
      button->setText(value);
    } else if (auto* group = qobject_cast<QGroupBox*>(widget)) {
      group->setTitle(value);
    }
  });
}

void QtWindowPort::Enable(int control, bool enabled) {
  OnGuiThread([&] {
    if (QWidget* widget = m_window.Control(control)) widget->setEnabled(enabled);
  });
}

void QtWindowPort::AppendListItem(const std::u16string& text) {
  OnGuiThread([&] {
    if (auto* list = qobject_cast<QComboBox*>(m_window.Control(kImageList)))
      list->addItem(ToQString(text));
  });
}

void QtWindowPort::SelectListItem(int index) {
  OnGuiThread([&] {
    auto* list = qobject_cast<QComboBox*>(m_window.Control(kImageList));
    if (list == nullptr) return;
    list->setCurrentIndex(index >= 0 && index < list->count() ? index : -1);
  });
}

int QtWindowPort::ListSelection() {
  int selection = -1;
  OnGuiThread([&] {
    if (auto* list = qobject_cast<QComboBox*>(m_window.Control(kImageList)))
      selection = list->currentIndex();
  });
  return selection;
}

void QtWindowPort::ClearList() {
  OnGuiThread([&] {
    if (auto* list = qobject_cast<QComboBox*>(m_window.Control(kImageList)))
      for (int index = list->count() - 1; index >= 0; --index) list->removeItem(index);
  });
}

void QtWindowPort::Batch(const std::function<void()>& work) {
  // On the GUI thread the calls `work` makes run at once, within this one queued call.
  OnGuiThread(work);
}

std::u16string QtWindowPort::LoadString(int id) {
  // The table is constant data; no window is involved.
  return text::StringTableEntry(id);
}

void QtWindowPort::MessageBox(const std::u16string& text, const std::u16string& caption,
                              MessageIcon icon) {
  OnGuiThread([&] {
    QMessageBox box(icon == MessageIcon::kError ? QMessageBox::Critical : QMessageBox::Information,
                    ToQString(caption), ToQString(text), QMessageBox::Ok, &m_window);
    box.setWindowModality(Qt::ApplicationModal);
    if (m_boxHook) m_boxHook(box);
    box.exec();
  });
}

void QtWindowPort::EndProcess(int code) {
  OnGuiThread([&] { QCoreApplication::exit(code); });
}

void QtWindowPort::SetMessageBoxHook(std::function<void(QMessageBox&)> hook) {
  m_boxHook = std::move(hook);
}

}  // namespace vqr::ui::qt
