// The two workers the window starts on detached threads with no argument: the identification
// of a device that was just opened, and the update run started by the start button.
#pragma once

#include <cstdint>

namespace vqr {

// Reads the device's information page, loads and lists its catalog, enables the start
// button. Returns 1 when the catalog is listed; every other way out ends the process
// through the window port.
std::uint32_t IdentifyThread(void* unused);

// Programs the chosen images and sends the closing command. Returns 1 when the run
// completed; every failure ends the process through the window port.
std::uint32_t UpdateThread(void* unused);

// Starts `worker` on a new detached thread with no argument. False when no thread could be
// started (nothing is reported).
bool StartWorker(std::uint32_t (*worker)(void*));

}  // namespace vqr
