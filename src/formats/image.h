// A firmware image: a package (package.h, mode 32) whose header bytes 27 to 31 give the flash
// sectors it covers, followed at once by the sector data, unscrambled. ParseImageHeader reads
// the header as the updater does before it programs anything; BuildImage writes it, as the
// vendor's tool does. The golden files under tests/data hold the two to the bytes.
//
//   27     tail page count: the 256-byte pages of data for the last sector, 0 to 16
//   28-29  first sector (big-endian)
//   30-31  last sector (big-endian)
//   32     the full sectors first .. last-1, 4096 bytes each, then the tail pages
//
// How large the device's flash is, is the device's own business: any 16-bit sector is valid.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "protocol/flash_geometry.h"

namespace vqr {

// The result code of an image whose header describes no image it holds: a tail page count
// above 16, a first sector above the last, or a range that needs more data than the file has.
// It follows the package check's codes (-1 to -9) and the workflow's -10.
inline constexpr std::int32_t kImageMalformed = -11;

// The largest image a header can describe: 65535 full sectors and a last sector of 16 pages
// behind the 32-byte header. A catalog row that claims more describes no possible image.
inline constexpr std::uint32_t kLargestImage = 32 + 65535u * kSectorSize + kSectorSize;

// Bytes 27 to 31 of an unscrambled image.
struct ImageHeader {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
  std::uint8_t tailPages = 0;

  // Sectors written in full: last - first, or 0 when the first is not below the last.
  std::uint32_t FullSectors() const { return first < last ? std::uint32_t{last} - first : 0; }
  // Sectors announced to the device: last - first + 1 (a parsed header has first <= last).
  std::uint32_t SectorCount() const { return std::uint32_t{last} - first + 1; }
  // Bytes of sector data after the header: the full sectors and the tail pages.
  std::uint64_t DataSize() const {
    return std::uint64_t{FullSectors()} * kSectorSize + std::uint64_t{tailPages} * kPageSize;
  }
};

// Reads the header of an unscrambled image of `plain.size()` bytes and checks that the image can
// be programmed as it stands: at least 32 bytes, a tail page count of at most 16, a first sector
// not above the last, and at least DataSize() bytes after the header (more are allowed and
// never read). False, with a message in *error (when given), when it cannot: nothing may then
// be sent to the device. *header holds the fields read whenever the image has 32 bytes.
bool ParseImageHeader(std::span<const std::uint8_t> plain, ImageHeader* header,
                      std::string* error = nullptr);

// The header of raw data of `dataSize` bytes (a nonzero multiple of 256) placed from sector
// `first` on: its whole sectors, then the pages of the last one. Data that ends on a sector
// boundary makes its last sector the last one, with 16 tail pages. False with a message when
// the size is 0, not a multiple of 256, or the last sector would lie beyond 65535.
bool ImageHeaderForData(std::uint16_t first, std::uint64_t dataSize, ImageHeader* header,
                        std::string* error);

// Builds the image package of `model` (mode 32): the header's fields, then `data`. Refuses,
// with an empty result and a message in *error, a model code that is not four printable ASCII
// characters, a tail page count above 16, a first sector above the last, and data whose size is
// not exactly DataSize().
std::vector<std::uint8_t> BuildImage(std::string_view model, const ImageHeader& header,
                                     std::span<const std::uint8_t> data, std::string* error);

}  // namespace vqr
