// Saves a picture of the main window in its first state: qt_window_screenshot OUTPUT.png.
// Run under QT_QPA_PLATFORM=offscreen.
#include <QApplication>
#include <QPixmap>
#include <cstdio>

#include "ui/qt/main_window.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: qt_window_screenshot OUTPUT.png\n", stderr);
    return 2;
  }
  QApplication app(argc, argv);
  vqr::ui::qt::MainWindow window;
  window.show();
  QApplication::processEvents();
  if (!window.grab().save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "qt_window_screenshot: cannot write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
