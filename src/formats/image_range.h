// The range of flash sectors an image file covers, and the check that the file holds it.
#pragma once

#include <cstdint>
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
// least 32 bytes, a tail page count of at most 16, a first sector not above the last, and
// enough bytes for the full sectors and the tail pages. How large the device's flash is, is
// the device's to know: any 16-bit sector number is accepted.
// False when it cannot; nothing may then be sent to the device.
bool ReadImageRange(std::span<const std::uint8_t> image, ImageRange* range);

}  // namespace vqr
