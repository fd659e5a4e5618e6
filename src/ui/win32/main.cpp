// The entry of the Windows program. The plain program takes no arguments (any other than those
// below are ignored, as they always were); "--demo" runs it against a simulated device and a
// loopback update server. The program speaks the user's UI language; "--lang TAG" beside
// either chooses another one, and a language it does not have is refused.
#include <chrono>
#include <string>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "text/user_language.h"
#include "ui/win32/main_window.h"
#include "ui/win32/win32_port.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
  (void)previous;
  (void)commandLine;  // read whole below, with the program name, to split it as Windows does
  const vqr::ui::WindowArguments arguments = vqr::win32::ParseCommandLine(GetCommandLineW());
  if (!arguments.languageError.empty()) {
    // The program has no console: the error goes into a message box, in English as every
    // argument error is.
    const std::string error =
        arguments.languageError + "\n\nusage: vqr03 [--demo] [--lang zh-TW|en|ja|zh-CN]";
    MessageBoxW(nullptr, vqr::win32::Wide(vqr::text::Utf8ToUtf16(error)).c_str(), L"vqr03",
                MB_OK | MB_ICONERROR);
    return 2;
  }
  vqr::text::SetLanguage(arguments.language.value_or(vqr::text::UserLanguage()));
  // The demo: a simulated device plugged in three seconds after start and a loopback server
  // with sample content. It is set up before the window starts searching.
  if (arguments.mode == vqr::ui::WindowArguments::Mode::kDemo) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::seconds(3));
    if (demo == nullptr) return 0;
    vqr::WorkerContext context;
    context.serverBase = demo->ServerBase();
    // The demo's content is signed with a key made for this run; only that key is trusted.
    context.trustedKeys = demo->TrustedKeys();
    context.signaturesRequired = !demo->TrustedKeys().empty();
    vqr::win32::SetWorkerContext(std::move(context));
  } else {
    vqr::g_hidCmd.IO().UseBackend(vqr::hid::PlatformHidBackend());
  }
  return vqr::win32::RunMainWindow(instance, showCommand);
}
