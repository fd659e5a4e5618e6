// The main window of the Windows program: its class, the window with its seven controls, the
// window procedure, the about box and the message loop. The program's entry and the window
// tests both use it.
#pragma once

#include <cstdint>

#include "port/window_port.h"
#include "ui/shell/window_arguments.h"
#include "ui/win32/win32_api.h"
#include "workflow/context.h"

namespace vqr::win32 {

// The entries the window starts on new threads. Tests replace them to see that a tick or a
// click started them without running a whole identification or update.
struct WorkerEntries {
  std::uint32_t (*identify)(void*);
  std::uint32_t (*update)(void*);
};
// Replaces the workers; passing {} restores IdentifyThread and UpdateThread.
void SetWorkerEntries(WorkerEntries entries);

// What the workers of windows created from now on start with: the HTTP backend (the
// platform's when null), the update server, a progress observer. The window fills in its port.
void SetWorkerContext(WorkerContext context);

// Start-up up to the message loop: registers the class, creates the main window centred on
// the desktop with its controls, its port and its search and unplug controller, starts the
// one-second search and registers for HID interface notifications. Null when the window
// could not be created or the notification could not be registered.
HWND CreateMainWindow(HINSTANCE instance, int showCommand);

// After the message loop: stops serving the port and waits for the window's workers (an
// update run is finished first). Idempotent; CreateMainWindow and RunMainWindow call it.
void ShutDownMainWindow();

// The message loop with accelerator table 109; returns the quit message's code.
int RunMessageLoop(HINSTANCE instance, HWND mainWindow);

// The whole entry: creation, then the loop. 0 when start-up fails.
int RunMainWindow(HINSTANCE instance, int showCommand);

// The command line as GetCommandLineW gives it (program name first), split as Windows splits
// it: no argument, or "--demo", each with an optional "--lang TAG" (or "--lang=TAG").
ui::WindowArguments ParseCommandLine(const wchar_t* commandLine);
// True when the command line holds "--demo" (and at most a --lang beside it).
bool IsDemoCommandLine(const wchar_t* commandLine);

// The main window handle, the owner of every message box; null before creation.
HWND MainWindow();

// The device notice (why a device that is plugged in cannot be opened) while it is shown, else
// null. Its text is the child control with id 1.
HWND DeviceNoticeWindow();

// The current window's port (a port that goes nowhere when there is no window).
ui::WindowPort& Port();

}  // namespace vqr::win32
