// Ctrl-C, SIGTERM and SIGHUP (on Windows Ctrl-C, Ctrl-Break and closing the console) while
// vqr03-cli runs. Stopping in the middle of an erase or a write can leave the device without
// a working firmware, so a first signal while an image is being erased or written is held:
// the notice says so and that a second signal stops at once, the image is finished, and the
// run stops before its next image (the main loop asks InterruptHeld()). Any other signal, and
// a second one, ends the process at once through the end action.
#pragma once

#include <chrono>
#include <functional>

namespace vqr::cli {

// Takes the signals over. Call first thing in main, before any thread is started: on POSIX
// the three signals are blocked in every thread and taken by a thread of its own with
// sigwait, so that the actions run as ordinary code. SIGPIPE is ignored: a write to a pipe
// whose reader is gone fails instead of killing the run in the middle of an update.
void InstallInterruptHandling();

// What a signal does: `notice` prints the held signal's notice; `endNow` ends the process at
// once and does not return. Until they are set a signal ends the process with exit code 3.
void SetInterruptActions(std::function<void()> notice, std::function<void()> endNow);

// Whether an image is being erased or written now: a first signal is then held.
void SetCriticalPhase(bool critical);

// A signal arrived while an image was being erased or written and is being held.
bool InterruptHeld();

// Runs `work` on a thread of its own and waits for it at most `bound`; true when it returned
// in time. For the actions of a signal: what they print or write may wait on a stream that
// nobody reads (a full pipe), and the signals' thread must not wait with it.
bool RunWithin(std::chrono::milliseconds bound, std::function<void()> work);

}  // namespace vqr::cli
