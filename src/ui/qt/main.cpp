// vqr03 for Linux: the Qt window. `vqr03` takes no arguments; `vqr03 --demo` runs the flow
// against a simulated device and a loopback server; `vqr03 --version` prints the version.
// The window speaks the language of the locale (LC_ALL, LC_MESSAGES, LANG); `--lang TAG`
// beside the first two chooses another one.
#include <QApplication>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "text/user_language.h"
#include "ui/qt/main_window.h"
#include "ui/qt/udev_monitor.h"
#include "ui/shell/window_arguments.h"
#include "vqr_revision.h"
#include "vqr_version.h"

int main(int argc, char** argv) {
  using Mode = vqr::ui::WindowArguments::Mode;
  const std::vector<std::string_view> arguments(argv + 1, argv + argc);
  const vqr::ui::WindowArguments parsed = vqr::ui::ParseWindowArguments(arguments, true);
  const Mode mode = parsed.mode;
  if (mode == Mode::kUsage) {
    if (!parsed.languageError.empty())
      std::fprintf(stderr, "vqr03: %s\n", parsed.languageError.c_str());
    std::fputs("usage: vqr03 [--demo] [--lang zh-TW|en|ja|zh-CN] | --version\n", stderr);
    return 2;
  }
  if (mode == Mode::kVersion) {
    std::fputs("vqr03 " VQR_VERSION_TEXT VQR_REVISION_SUFFIX "\n", stdout);
    return 0;
  }

  vqr::text::SetLanguage(parsed.language.value_or(vqr::text::UserLanguage()));

  int qtArgc = 1;
  QApplication app(qtArgc, argv);
  // The window belongs to the installed desktop entry (its name and icon in the shell).
  QGuiApplication::setDesktopFileName(QStringLiteral(VQR_APP_ID));

  // The demo points g_hidCmd at its simulated backend before the window exists, so the window
  // listens to that backend's removal notices; its device is plugged in a few seconds later.
  vqr::ui::qt::WindowOptions options;
  if (mode == Mode::kDemo) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::seconds(3));
    if (demo == nullptr) {
      std::fputs("vqr03: the demo's loopback server could not be started\n", stderr);
      return 1;
    }
    options.context.serverBase = demo->ServerBase();
    // The demo's content is signed with a key made for this run; only that key is trusted.
    options.context.trustedKeys = demo->TrustedKeys();
    options.context.signaturesRequired = !demo->TrustedKeys().empty();
  } else {
    vqr::g_hidCmd.IO().UseBackend(vqr::hid::PlatformHidBackend());
  }

  // The window owns its port and its workers: when it goes, at the end of main, it stops
  // serving the port and waits for the workers before anything they use is destroyed.
  vqr::ui::qt::MainWindow window(std::move(options));

  // Unplugging a hidraw device is noticed through udev. Without a udev monitor (no netlink
  // socket, as in some containers) the window still works; it just does not return to searching
  // when the device goes away.
  vqr::ui::qt::UdevMonitor monitor(
      [&window](const QString&, std::uint16_t vendor) { window.OnInterfaceRemoved(vendor); });
  if (!monitor.Active())
    std::fputs("vqr03: no udev monitor; unplugging will not be noticed\n", stderr);

  window.show();
  return app.exec();
}
