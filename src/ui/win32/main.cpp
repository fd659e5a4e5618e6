// The entry of the Windows program. The plain program takes no arguments; "--demo" (exactly
// that one argument) runs it against a simulated device and a loopback update server.
#include <chrono>

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "ui/win32/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
  (void)previous;
  (void)commandLine;  // read whole below, with the program name, to split it as Windows does
  // The demo: a simulated device plugged in three seconds after start and a loopback server
  // with sample content. It is set up before the window starts searching.
  if (vqr::win32::IsDemoCommandLine(GetCommandLineW())) {
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
