// The text vqr03-cli prints is UTF-8. Terminals elsewhere take it as it is; a Windows console
// shows bytes in its output code page, so there the program switches that page to UTF-8.
#pragma once

namespace vqr::cli {

#if defined(_WIN32)
// Sets the console's output code page to UTF-8 (CP_UTF8) when standard output has a console,
// and puts the previous page back when the process exits or the console ends it (Ctrl+C,
// closing the window). Nothing happens without a console (output to a file or a pipe).
void UseUtf8Console();
// Puts the previous output code page back now, for a process that ends without the runtime's
// exit processing.
void RestoreConsole();
#else
inline void UseUtf8Console() {}
inline void RestoreConsole() {}
#endif

}  // namespace vqr::cli
