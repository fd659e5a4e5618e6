#include "formats/image.h"

#include "formats/internal.h"
#include "formats/package.h"

namespace vqr {

using formats_internal::SetError;

namespace {

std::string Describe(const ImageHeader& header) {
  return "sectors " + std::to_string(header.first) + " to " + std::to_string(header.last) +
         " with " + std::to_string(header.tailPages) + " tail pages";
}

// The header's own limits, common to the parse and the build.
bool ValidHeader(const ImageHeader& header, std::string* error) {
  if (header.tailPages > kPagesPerSector) {
    SetError(error, "the tail page count " + std::to_string(header.tailPages) + " is above 16");
    return false;
  }
  if (header.first > header.last) {
    SetError(error, "the first sector " + std::to_string(header.first) + " lies above the last " +
                        std::to_string(header.last));
    return false;
  }
  return true;
}

}  // namespace

bool ParseImageHeader(std::span<const std::uint8_t> plain, ImageHeader* header,
                      std::string* error) {
  if (plain.size() < kPackageHeaderSize) {
    SetError(error, "shorter than the package header");
    return false;
  }
  header->tailPages = plain[27];
  header->first = static_cast<std::uint16_t>(plain[28] << 8 | plain[29]);
  header->last = static_cast<std::uint16_t>(plain[30] << 8 | plain[31]);
  if (!ValidHeader(*header, error)) return false;
  const std::uint64_t held = plain.size() - kPackageHeaderSize;
  if (held < header->DataSize()) {
    SetError(error, Describe(*header) + " need " + std::to_string(header->DataSize()) +
                        " data bytes, the image holds " + std::to_string(held));
    return false;
  }
  return true;
}

bool ImageHeaderForData(std::uint16_t first, std::uint64_t dataSize, ImageHeader* header,
                        std::string* error) {
  if (dataSize == 0 || dataSize % kPageSize != 0) {
    SetError(error,
             "the data must be a nonzero multiple of 256 bytes, got " + std::to_string(dataSize));
    return false;
  }
  std::uint64_t full = dataSize / kSectorSize;
  std::uint64_t tail = (dataSize % kSectorSize) / kPageSize;
  if (tail == 0) {  // the last whole sector is the last sector, written in full
    full -= 1;
    tail = kPagesPerSector;
  }
  if (first + full > 0xFFFF) {
    SetError(error, "the data runs past sector 65535");
    return false;
  }
  header->first = first;
  header->last = static_cast<std::uint16_t>(first + full);
  header->tailPages = static_cast<std::uint8_t>(tail);
  return true;
}

std::vector<std::uint8_t> BuildImage(std::string_view model, const ImageHeader& header,
                                     std::span<const std::uint8_t> data, std::string* error) {
  if (!ValidModelCode(model, error) || !ValidHeader(header, error)) return {};
  if (data.size() != header.DataSize()) {
    SetError(error, Describe(header) + " need " + std::to_string(header.DataSize()) +
                        " bytes of data, got " + std::to_string(data.size()));
    return {};
  }
  PackageHeaderBytes bytes;
  bytes.at24[3] = header.tailPages;
  bytes.at24[4] = static_cast<std::uint8_t>(header.first >> 8);
  bytes.at24[5] = static_cast<std::uint8_t>(header.first);
  bytes.at24[6] = static_cast<std::uint8_t>(header.last >> 8);
  bytes.at24[7] = static_cast<std::uint8_t>(header.last);
  return BuildPackage(model, kModeImage, bytes, data, error);
}

}  // namespace vqr
