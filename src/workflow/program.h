// Programming one checked image into the device's flash and reading it back.
#pragma once

#include <cstdint>
#include <functional>
#include <span>

namespace vqr {

// The range of sectors an image covers, read from its (unscrambled) header.
struct ImageRange {
  std::uint32_t first = 0;      // bytes 28-29
  std::uint32_t last = 0;       // bytes 30-31
  std::uint32_t tailPages = 0;  // byte 27
  std::uint32_t FullSectors() const { return first < last ? last - first : 0; }
  std::uint32_t SectorCount() const { return last - first + 1; }
};

// Reads the range of `image` and checks that the image can be programmed as it stands: at
// least 32 bytes, a tail page count of at most 16, a first sector not above the last, a
// last sector inside the flash, and enough bytes for the full sectors and the tail pages.
// False when it cannot; nothing may then be sent to the device.
bool ReadImageRange(std::span<const std::uint8_t> image, ImageRange* range);

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
