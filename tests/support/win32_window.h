// Test helpers for the Win32 main window (Windows only).
#pragma once

#if defined(_WIN32)

// clang-format off
#include "ui/win32/win32_api.h"
// clang-format on

#include "ui/win32/main_window.h"

namespace vqr::testing {

// Ends what a test made of the main window: destroys it when it is still there, shuts its
// controller down (its workers are joined before anything they use goes) and drops the
// messages left in the thread's queue, so that nothing of one test reaches the next.
inline void CloseMainWindow(HWND window) {
  if (window != nullptr && IsWindow(window)) DestroyWindow(window);
  win32::ShutDownMainWindow();
  MSG message;
  while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
  }
}

}  // namespace vqr::testing

#endif
