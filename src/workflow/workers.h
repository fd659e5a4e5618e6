// The two workers the window starts on detached threads with no argument: the identification
// of a device that was just opened, and the update run started by the start button.
//
// Both talk to the window only through the window port (ui/window_port.h). They never run
// against the device at the same time: each holds the device for its whole run, so an
// identification started by a device found again during an update waits until the update has
// ended, and a second press of the start button while a run is under way is ignored.
#pragma once

#include <cstdint>

namespace vqr {

// Reads the device's information page, loads and lists its catalog, enables the start
// button. Returns 1 when the catalog is listed. Every failure ends the process through the
// window port (and returns 0). When the device is unplugged while it runs, it stops before
// it touches the image list or the start button, and its results are dropped (returns 0).
std::uint32_t IdentifyThread(void* unused);

// Programs the chosen images and sends the closing command. Returns 1 when the run
// completed; every failure ends the process through the window port (and returns 0).
std::uint32_t UpdateThread(void* unused);

// Starts `worker` on a new detached thread with no argument. False when no thread could be
// started (nothing is reported).
bool StartWorker(std::uint32_t (*worker)(void*));

// The window's unplug handler calls this: an identification still under way drops its
// results instead of filling the list that the handler has just emptied.
void NoteDeviceRemoved();

// True while an update run is under way.
bool UpdateRunning();

}  // namespace vqr
