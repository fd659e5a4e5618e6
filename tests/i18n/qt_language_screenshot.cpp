// Saves a picture of the Qt main window in one language (under QT_QPA_PLATFORM=offscreen):
//   qt_language_screenshot zh-TW|en|ja|zh-CN OUTPUT.png [--demo]
// Without --demo the window is in its first state, searching; with it, the demo's device is
// plugged in at once and the picture is taken when its catalog is listed.
#include <QApplication>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QPixmap>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <optional>

#include "demo/demo.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
  const bool demoMode = argc == 4 && std::strcmp(argv[3], "--demo") == 0;
  const std::optional<vqr::text::Language> language =
      argc == 3 || demoMode ? vqr::text::ParseLanguageTag(argv[1]) : std::nullopt;
  if (!language) {
    std::fputs("usage: qt_language_screenshot zh-TW|en|ja|zh-CN OUTPUT.png [--demo]\n", stderr);
    return 2;
  }
  vqr::text::SetLanguage(*language);
  QApplication app(argc, argv);
  vqr::ui::qt::WindowOptions options;
  if (demoMode) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::milliseconds(0));
    if (demo == nullptr) {
      std::fputs("qt_language_screenshot: the demo could not be started\n", stderr);
      return 1;
    }
    options.context.serverBase = demo->ServerBase();
    options.context.trustedKeys = demo->TrustedKeys();
    options.context.signaturesRequired = !demo->TrustedKeys().empty();
    options.tickPeriod = std::chrono::milliseconds(100);
  }
  vqr::ui::qt::MainWindow window(std::move(options));
  window.show();
  if (demoMode) {
    auto* list = qobject_cast<QComboBox*>(window.Control(vqr::ui::kImageList));
    QDeadlineTimer deadline(20000);
    while (list->count() == 0 && !deadline.hasExpired())
      QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    if (list->count() == 0) {
      std::fputs("qt_language_screenshot: the demo's catalog was not listed\n", stderr);
      return 1;
    }
  }
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[2]))) {
    std::fprintf(stderr, "qt_language_screenshot: cannot write %s\n", argv[2]);
    return 1;
  }
  return 0;
}
