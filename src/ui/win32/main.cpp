// The entry of the Windows program. The plain program takes no arguments; "--demo" (exactly
// that one argument) runs it against a simulated device and a loopback update server.
#include "ui/win32/main_window.h"

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE previous, PWSTR commandLine, int showCommand) {
  (void)previous;
  (void)commandLine;  // read whole below, with the program name, to split it as Windows does
  if (vqr::win32::IsDemoCommandLine(GetCommandLineW())) {
    // The demo's set-up goes here: it must run before the window starts searching.
  }
  return vqr::win32::RunMainWindow(instance, showCommand);
}
