// Programming one checked image into the device's flash and reading it back.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

#include "workflow/image_range.h"

namespace vqr {

// Progress of ProgramImage, for front ends that draw their own progress (the terminal's bar).
struct ProgramProgress {
  char letter;
  bool verifying;             // false while writing
  std::uint32_t sectorsDone;  // of this pass
  std::uint32_t sectorCount;  // sectors of the image
};
using ProgressObserver = std::function<void(const ProgramProgress&)>;
void SetProgressObserver(ProgressObserver observer);

// Announces `image` to the device, erases and writes every sector it covers, then reads every
// sector back and returns the number of byte positions that differ from the image (0: the
// device holds exactly the image). The progress texts go into the start button's caption.
// The image must have passed the package check and ReadImageRange; an image that fails
// ReadImageRange is not programmed and the result is kImageNotProgrammed.
inline constexpr std::uint32_t kImageNotProgrammed = 0xFFFFFFFF;
std::uint32_t ProgramImage(std::span<const std::uint8_t> image, char letter);

}  // namespace vqr
