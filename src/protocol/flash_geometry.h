// The device's flash as the bootloader's commands address it, shared by the device link, the
// image format and the workflow. The size of the flash is the device's own business: the
// commands carry 32-bit page numbers and an image header 16-bit sector numbers, and nothing
// here assumes more.
#pragma once

#include <cstdint>

namespace vqr {

inline constexpr std::uint32_t kPageSize = 256;
inline constexpr std::uint32_t kPagesPerSector = 16;
inline constexpr std::uint32_t kSectorSize = kPageSize * kPagesPerSector;
// The page that holds the device's information page.
inline constexpr std::uint32_t kInfoPage = 8175;

}  // namespace vqr
