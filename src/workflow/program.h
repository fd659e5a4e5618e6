// Programming one checked image into the device's flash and reading it back.
#pragma once

#include <cstdint>
#include <span>

#include "formats/image.h"
#include "workflow/context.h"

namespace vqr {

// Announces `image` to the device, erases and writes every sector it covers, then reads every
// sector back and returns the number of byte positions that differ from the image (0: the
// device holds exactly the image). The progress texts go into the start button's caption
// through the context's port, and to its progress observer.
// The image must have been accepted (AcceptImage); an image whose header ParseImageHeader
// refuses is not programmed and the result is kImageNotProgrammed.
inline constexpr std::uint32_t kImageNotProgrammed = 0xFFFFFFFF;
std::uint32_t ProgramImage(const WorkerContext& context, std::span<const std::uint8_t> image,
                           char letter);

}  // namespace vqr
