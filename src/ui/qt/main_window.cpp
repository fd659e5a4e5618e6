#include "ui/qt/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QFontMetrics>
#include <QGroupBox>
#include <QKeySequence>
#include <QLabel>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <mutex>

#include "content/http_backend.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/qt/qt_window_port.h"
#include "ui/shell/controls.h"
#include "workflow/workers.h"

namespace vqr::ui::qt {

namespace {

QString ToQString(const std::u16string& text) {
  return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}

QString Entry(int id) {
  return ToQString(text::StringTableEntry(id));
}

// The searching text of the device label: entry 136 formatted with the count.
QString SearchText(int count) {
  return ToQString(text::FormatText(text::StringTableEntry(text::kStrSearching), {count}));
}

QRect RectOf(int id) {
  const ControlRect r = FindControl(id)->rect;
  return QRect(r.x, r.y, r.width, r.height);
}

// Removal notices of a HID backend arrive on whatever thread noticed them. The relay outlives
// every window (a backend keeps its listener after the window is gone), and hands a notice to
// the window that is current, on that window's thread.
struct RemovalRelay {
  std::mutex mutex;
  QPointer<MainWindow> window;
};

RemovalRelay& Relay() {
  static RemovalRelay relay;
  return relay;
}

void RelayRemoval(void* context, const std::u16string& path, std::uint16_t vendor) {
  (void)path;
  auto* relay = static_cast<RemovalRelay*>(context);
  std::lock_guard lock(relay->mutex);
  MainWindow* window = relay->window.data();
  if (window == nullptr) return;
  // Direct when raised on the GUI thread, posted otherwise; a posted notice is dropped if the
  // window is destroyed before it runs.
  QMetaObject::invokeMethod(
      window, [window, vendor] { window->OnInterfaceRemoved(vendor); }, Qt::AutoConnection);
}

// Dialog units to pixels for `font`, the way dialog templates are laid out: a horizontal unit is
// a quarter of the font's average character width, a vertical unit an eighth of its height.
struct DialogUnits {
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const QString letters = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz");
    baseX = (metrics.horizontalAdvance(letters) / 26 + 1) / 2;
    baseY = metrics.height();
  }
  QRect Rect(int x, int y, int width, int height) const {
    return QRect(X(x), Y(y), X(width), Y(height));
  }
  int X(int units) const { return units * baseX / 4; }
  int Y(int units) const { return units * baseY / 8; }
  int baseX;
  int baseY;
};

}  // namespace

QString ControlObjectName(int id) {
  return QStringLiteral("0x") + QStringLiteral("%1").arg(id, 2, 16, QLatin1Char('0')).toUpper();
}

QIcon ProgramIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128})
    icon.addFile(QStringLiteral(":/vqr03/icons/vqr03-%1.png").arg(size), QSize(size, size));
  return icon;
}

QString WindowTitle() {
  return ToQString(text::FormatText(text::StringTableEntry(text::kStrWindowTitle),
                                    {kProgramMajor, kProgramMinor}));
}

MainWindow::MainWindow(WindowOptions options) : m_options(std::move(options)) {
  setObjectName(Entry(text::kStrClassName));
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint);
  setWindowTitle(WindowTitle());
  setWindowIcon(ProgramIcon());
  resize(kWindowSize, kWindowSize);
  if (const QScreen* screen = QGuiApplication::primaryScreen()) {
    const QRect desktop = screen->geometry();
    move(desktop.x() + desktop.width() / 2 - kWindowSize / 2,
         desktop.y() + desktop.height() / 2 - kWindowSize / 2);
  }

  // The controls in their order of creation; later siblings lie above earlier ones, so the
  // image list covers the blank label.
  m_deviceGroup = new QGroupBox(Entry(text::kStrDeviceGroup), this);
  m_deviceGroup->setObjectName(ControlObjectName(kDeviceGroup));
  m_deviceGroup->setGeometry(RectOf(kDeviceGroup));

  m_deviceLabel = new QLabel(SearchText(0), this);
  m_deviceLabel->setObjectName(ControlObjectName(kDeviceLabel));
  m_deviceLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_deviceLabel->setGeometry(RectOf(kDeviceLabel));

  m_versionGroup = new QGroupBox(Entry(text::kStrVersionGroup), this);
  m_versionGroup->setObjectName(ControlObjectName(kVersionGroup));
  m_versionGroup->setGeometry(RectOf(kVersionGroup));

  m_blankLabel = new QLabel(QString(), this);
  m_blankLabel->setObjectName(ControlObjectName(kBlankLabel));
  m_blankLabel->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
  m_blankLabel->setGeometry(RectOf(kBlankLabel));

  m_startButton = new QPushButton(Entry(text::kStrStart), this);
  m_startButton->setObjectName(ControlObjectName(kStartButton));
  m_startButton->setGeometry(RectOf(kStartButton));
  m_startButton->setDefault(true);
  connect(m_startButton, &QPushButton::clicked, this, &MainWindow::OnStart);

  m_exitButton = new QPushButton(Entry(text::kStrExit), this);
  m_exitButton->setObjectName(ControlObjectName(kExitButton));
  m_exitButton->setGeometry(RectOf(kExitButton));
  m_exitButton->setDefault(true);
  connect(m_exitButton, &QPushButton::clicked, this, &MainWindow::OnExit);

  m_startButton->setEnabled(false);

  m_timer.setInterval(static_cast<int>(m_options.tickPeriod.count()));
  connect(&m_timer, &QTimer::timeout, this, &MainWindow::Tick);
  m_timer.start();

  m_imageList = new QComboBox(this);
  m_imageList->setObjectName(ControlObjectName(kImageList));
  const QRect listRect = RectOf(kImageList);
  m_imageList->setGeometry(listRect.x(), listRect.y(), listRect.width(),
                           m_imageList->sizeHint().height());

  // Alt + "?" and Alt + "/" open the about box. They are character keys: with a layout where
  // "?" is a shifted key the key mapper offers Alt+? for Alt+Shift+/.
  auto* about = new QAction(this);
  about->setShortcuts(
      {QKeySequence(Qt::ALT | Qt::Key_Question), QKeySequence(Qt::ALT | Qt::Key_Slash)});
  about->setShortcutContext(Qt::WindowShortcut);
  connect(about, &QAction::triggered, this, &MainWindow::ShowAbout);
  addAction(about);

  m_port = std::make_unique<QtWindowPort>(*this);
  WorkerContext context = m_options.context;
  context.port = m_port.get();
  if (context.http == nullptr) context.http = &PlatformHttpBackend();
  m_controller = std::make_unique<WindowController>(*m_port, static_cast<SearchTimer&>(*this),
                                                    std::move(context));
  if (m_options.startWorker) m_controller->SetWorkerStarter(m_options.startWorker);
  m_controller->SetNoticeHandler([this](const std::u16string& text) { ShowDeviceNotice(text); });

  {
    std::lock_guard lock(Relay().mutex);
    Relay().window = this;
  }
  ListenForRemovals(g_hidCmd.IO().Backend());
}

MainWindow::~MainWindow() {
  {
    std::lock_guard lock(Relay().mutex);
    if (Relay().window == this) Relay().window = nullptr;
  }
  // No worker may wait for this window any more, then none may outlive it.
  m_port->Close();
  m_controller->Shutdown();
}

void MainWindow::StartSearchTimer() {
  m_timer.start(static_cast<int>(m_options.tickPeriod.count()));
}

void MainWindow::StopSearchTimer() {
  m_timer.stop();
}

void MainWindow::ShowDeviceNotice(const std::u16string& text) {
  if (text.empty()) {
    if (m_notice != nullptr) m_notice->hide();
    return;
  }
  if (m_notice == nullptr) {
    m_notice = new QMessageBox(QMessageBox::Warning, Entry(text::kStrClassName), QString(),
                               QMessageBox::Ok, this);
    m_notice->setObjectName(QStringLiteral("deviceNotice"));
    m_notice->setTextFormat(Qt::PlainText);
    m_notice->setWindowModality(Qt::NonModal);  // the search and the window go on meanwhile
  }
  m_notice->setText(ToQString(text));
  m_notice->show();
}

QWidget* MainWindow::Control(int id) const {
  switch (id) {
    case kDeviceGroup:
      return m_deviceGroup;
    case kDeviceLabel:
      return m_deviceLabel;
    case kVersionGroup:
      return m_versionGroup;
    case kBlankLabel:
      return m_blankLabel;
    case kStartButton:
      return m_startButton;
    case kExitButton:
      return m_exitButton;
    case kImageList:
      return m_imageList;
    default:
      return nullptr;
  }
}

void MainWindow::ListenForRemovals(hid::HidBackend& backend) {
  backend.SetRemovalListener(&RelayRemoval, &Relay());
}

void MainWindow::Tick() {
  m_controller->Tick();
}

void MainWindow::OnInterfaceRemoved(std::uint16_t vendor) {
  m_controller->OnInterfaceRemoved(vendor);
}

void MainWindow::OnStart() {
  m_controller->OnStart();
}

void MainWindow::OnExit() {
  m_exitRequested = true;
  close();
}

void MainWindow::closeEvent(QCloseEvent* event) {
  if (!m_exitRequested) {
    // The window has no close box; only the exit button ends the program.
    event->ignore();
    return;
  }
  event->accept();
  QCoreApplication::exit(0);
}

void MainWindow::ShowAbout() {
  QDialog* box = CreateAboutBox(this);
  box->exec();
  delete box;
}

QDialog* CreateAboutBox(QWidget* owner) {
  auto* box = new QDialog(owner, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                                     Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  box->setObjectName(QStringLiteral("0x67"));  // dialog resource 103
  box->setWindowTitle(Entry(text::kStrAboutCaption));
  box->setModal(true);
  QFont font = box->font();
  font.setPointSize(9);
  box->setFont(font);
  const DialogUnits units(font);
  box->setFixedSize(units.X(170), units.Y(62));

  auto* icon = new QLabel(box);
  icon->setObjectName(QStringLiteral("icon"));
  const QRect iconRect = units.Rect(14, 14, 0, 0);
  icon->setPixmap(ProgramIcon().pixmap(32, 32));
  icon->setGeometry(iconRect.x(), iconRect.y(), 32, 32);

  auto* text = new QLabel(ToQString(text::FormatText(text::StringTableEntry(text::kStrAboutText),
                                                     {kProgramMajor, kProgramMinor})),
                          box);
  text->setObjectName(QStringLiteral("text"));
  text->setGeometry(units.Rect(42, 14, 114, 8));

  auto* ok = new QPushButton(Entry(text::kStrAboutOk), box);
  ok->setObjectName(ControlObjectName(1));
  ok->setGeometry(units.Rect(113, 41, 50, 14));
  ok->setDefault(true);
  ok->setFocus();
  QObject::connect(ok, &QPushButton::clicked, box, &QDialog::accept);
  return box;
}

}  // namespace vqr::ui::qt
