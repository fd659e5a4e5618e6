#include "ui/qt/qt_window_port.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QCoreApplication>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QThread>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "text/string_table.h"
#include "ui/qt/main_window.h"

namespace vqr::ui::qt {

namespace {

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QEvent::Type CallEventType() {
  static const int type = QEvent::registerEventType();
  return static_cast<QEvent::Type>(type);
}

}  // namespace

// One call from a worker, waiting for the GUI thread. The worker blocks on the condition
// variable until the call is finished: carried out, or dropped because the port closed or the
// receiver went away with the event still queued.
struct QtWindowPort::Call {
  explicit Call(const std::function<void()>& toRun) : work(&toRun) {}
  const std::function<void()>* work;
  std::mutex mutex;
  std::condition_variable finished;
  bool isFinished = false;
  bool ran = false;
  void Finish() {
    std::lock_guard lock(mutex);
    isFinished = true;
    finished.notify_all();
  }
};

// The event that carries a call to the GUI thread; however Qt disposes of it, the caller is
// released.
class QtWindowPort::CallEvent final : public QEvent {
 public:
  explicit CallEvent(Call& call) : QEvent(CallEventType()), m_call(call) {}
  ~CallEvent() override { m_call.Finish(); }
  Call& TheCall() const { return m_call; }

 private:
  Call& m_call;
};

bool QtWindowPort::Receiver::event(QEvent* event) {
  // Pairs with the release in OnGuiThread: the event and the call it carries were written by
  // the worker before it posted them.
  m_port.m_handoff.load(std::memory_order_acquire);
  if (event->type() != CallEventType()) return QObject::event(event);
  m_port.Run(static_cast<CallEvent*>(event)->TheCall());
  return true;
}

QtWindowPort::QtWindowPort(MainWindow& window) : m_window(window), m_receiver(*this) {}

QtWindowPort::~QtWindowPort() {
  Close();
}

void QtWindowPort::Close() {
  m_closed.store(true);
  // A caller that counted itself in before the flag was set either sees the flag and leaves, or
  // has posted (or is about to post) its call: run the posted calls, which do nothing now that
  // the port is closed, until every such caller has been released.
  while (m_inFlight.load() > 0) {
    QCoreApplication::sendPostedEvents(&m_receiver, CallEventType());
    std::this_thread::yield();
  }
}

void QtWindowPort::Run(Call& call) {
  if (!m_closed.load()) {
    (*call.work)();
    call.ran = true;
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
    Call call(work);
    auto* event = new CallEvent(call);
    // Qt's event queue orders the two threads, but inside Qt, where a race checker cannot see
    // it; the release here (after everything the GUI thread will read was written) and the
    // acquire in Run() state that order in the program itself. The wait itself is on a
    // standard mutex, which the checker sees.
    m_handoff.fetch_add(1, std::memory_order_release);
    QCoreApplication::postEvent(&m_receiver, event);
    std::unique_lock lock(call.mutex);
    call.finished.wait(lock, [&call] { return call.isFinished; });
    done = call.ran;
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
