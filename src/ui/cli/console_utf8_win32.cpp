#include "ui/cli/console_utf8.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace vqr::cli {

namespace {

// The output code page the console had before; 0 while nothing is to be restored.
std::atomic<UINT> g_previousPage{0};

void RestorePage() {
  const UINT previous = g_previousPage.exchange(0);
  if (previous != 0) SetConsoleOutputCP(previous);
}

// Runs on the console's own thread for Ctrl+C, Ctrl+Break and closing the console. The
// default handler that follows ends the process without the runtime's exit processing.
BOOL WINAPI OnConsoleEvent(DWORD event) {
  (void)event;
  RestorePage();
  return FALSE;  // go on to the next handler
}

bool IsConsole(std::FILE* stream) {
  const auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
  DWORD mode = 0;
  return handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode) != 0;
}

}  // namespace

void RestoreConsole() {
  RestorePage();
}

void UseUtf8Console() {
  bool console = false;
  for (std::FILE* stream : {stdout, stderr}) {
    if (!IsConsole(stream)) continue;
    // Bytes go to the console as they are. In text mode the runtime may first decode them in
    // its own locale (the C locale: one character per byte), which garbles UTF-8 whatever the
    // console's code page. The console itself starts a new line at "\n".
    _setmode(_fileno(stream), _O_BINARY);
    // Whole lines, not single bytes: a console given part of a UTF-8 sequence shows a
    // replacement character. The program flushes after every line and progress step.
    if (stream == stdout) std::setvbuf(stream, nullptr, _IOFBF, 4096);
    console = true;
  }
  if (!console) return;
  const UINT previous = GetConsoleOutputCP();
  if (previous == 0 || previous == CP_UTF8 || !SetConsoleOutputCP(CP_UTF8)) return;
  g_previousPage = previous;
  std::atexit(RestorePage);
  SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

}  // namespace vqr::cli
