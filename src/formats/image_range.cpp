#include "formats/image_range.h"

#include "protocol/flash_geometry.h"

namespace vqr {

bool ReadImageRange(std::span<const std::uint8_t> image, ImageRange* range) {
  if (image.size() < 32) return false;
  range->tailPages = image[27];
  range->first = std::uint32_t{image[28]} << 8 | image[29];
  range->last = std::uint32_t{image[30]} << 8 | image[31];
  if (range->tailPages > kPagesPerSector || range->first > range->last) return false;
  const std::uint64_t needed = 32 + std::uint64_t{kSectorSize} * range->FullSectors() +
                               std::uint64_t{kPageSize} * range->tailPages;
  return image.size() >= needed;
}

}  // namespace vqr
