#include "formats/accept.h"

#include <algorithm>
#include <cstring>
#include <span>

namespace vqr {

namespace {

Acceptance Refused(std::int32_t code, std::string detail = {}) {
  Acceptance result;
  result.verdict = Verdict::kRefused;
  result.code = code;
  result.detail = std::move(detail);
  return result;
}

}  // namespace

Acceptance AcceptCatalog(std::uint8_t* buffer, std::int32_t size, std::string_view model,
                         Catalog* catalog) {
  catalog->entries.clear();
  const std::int32_t checked = CheckPackage(buffer, size, model, kModeCatalog);
  if (checked != kPackageGood) return Refused(checked);

  Acceptance result;
  result.generation = buffer[10];
  if (result.generation != kUpdaterGeneration) {
    result.verdict = Verdict::kOtherGeneration;
    return result;
  }
  if (size == 0) {
    result.verdict = Verdict::kEmpty;
    return result;
  }
  std::string error;
  if (!ParseCatalog(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(size)), catalog,
                    &error)) {
    Acceptance refused = Refused(kCatalogMalformed, std::move(error));
    refused.generation = result.generation;
    return refused;
  }
  result.verdict = Verdict::kAccepted;
  return result;
}

Acceptance AcceptImage(std::uint8_t* buffer, std::int32_t size, std::string_view name,
                       ImageHeader* header) {
  const std::int32_t checked = CheckPackage(buffer, size, ImageModelCode(name), kModeImage);
  if (checked != kPackageGood) return Refused(checked);
  if (size == 0) {
    Acceptance result;
    result.verdict = Verdict::kEmpty;
    return result;
  }
  std::string error;
  if (!ParseImageHeader(std::span<const std::uint8_t>(buffer, static_cast<std::size_t>(size)),
                        header, &error))
    return Refused(kImageMalformed, std::move(error));
  Acceptance result;
  result.verdict = Verdict::kAccepted;
  return result;
}

bool InfoPageAccepted(std::span<const std::uint8_t, kPageSize> page, std::string_view model,
                      std::string* error) {
  const std::string_view code(reinterpret_cast<const char*>(&page[12]), 4);
  std::string why;
  if (page[7] > kUpdaterGeneration) {
    why = "it asks for updater generation " + std::to_string(page[7]) + ", this updater is " +
          std::to_string(kUpdaterGeneration);
  } else if (!ValidModelCode(code, nullptr)) {
    why = "its model code is no file name";
  } else if (code != model) {
    why = "its model code " + std::string(code) + " is not the device's " + std::string(model);
  }
  if (why.empty()) return true;
  if (error != nullptr) *error = std::move(why);
  return false;
}

std::optional<std::array<std::uint8_t, kPageSize>> PageAfterImage(
    std::span<const std::uint8_t> plain, const ImageHeader& header, std::uint32_t page) {
  const std::uint32_t firstPage = std::uint32_t{header.first} * kPagesPerSector;
  const std::uint32_t endPage = (std::uint32_t{header.last} + 1) * kPagesPerSector;
  if (page < firstPage || page >= endPage) return std::nullopt;
  std::array<std::uint8_t, kPageSize> bytes;
  bytes.fill(0xFF);
  // The image's data pages run on without a gap: the full sectors, then the tail pages.
  const std::uint64_t index = page - firstPage;
  const std::uint64_t dataPages =
      std::uint64_t{header.FullSectors()} * kPagesPerSector + header.tailPages;
  if (index < dataPages) {
    const std::uint64_t at = kPackageHeaderSize + index * kPageSize;
    if (at + kPageSize <= plain.size()) std::memcpy(bytes.data(), plain.data() + at, kPageSize);
  }
  return bytes;
}

Acceptance AcceptInRun(std::span<const RunImage> earlier, const RunImage& image,
                       std::string_view model) {
  const auto range = [](const ImageHeader& header) {
    return "sectors " + std::to_string(header.first) + " to " + std::to_string(header.last);
  };
  if (const auto page = PageAfterImage(image.plain, image.header, kInfoPage)) {
    std::string why;
    if (!InfoPageAccepted(*page, model, &why))
      return Refused(kInfoPageLost, "its " + range(image.header) +
                                        " include the information page " +
                                        std::to_string(kInfoPage) +
                                        ", and the page it leaves there is refused: " + why);
  }
  for (const RunImage& before : earlier) {
    if (std::max(before.header.first, image.header.first) <=
        std::min(before.header.last, image.header.last))
      return Refused(kImagesOverlap, "its " + range(image.header) + " overlap the " +
                                         range(before.header) + " of " + std::string(before.name));
  }
  Acceptance result;
  result.verdict = Verdict::kAccepted;
  return result;
}

std::string_view ImageModelCode(std::string_view name) {
  return name.size() > 2 ? name.substr(2, 4) : std::string_view();
}

const char* ResultText(std::int32_t code) {
  switch (code) {
    case kPackageGood:
      return "accepted";
    case kPackageNoBuffer:
      return "no buffer";
    case kPackageDownloadFailed:
      return "download failed";
    case kPackageCatalogTooLarge:
      return "catalog larger than 2048 bytes";
    case kPackageModelDiffers:
      return "model code differs";
    case kPackageMagicDiffers:
      return "magic differs";
    case kPackageLengthDiffers:
      return "length differs";
    case kPackageXorDiffers:
      return "XOR check byte differs";
    case kPackageSumDiffers:
      return "sum check byte differs";
    case kCatalogMalformed:
      return "entry list breaks the format";
    case kImageMalformed:
      return "image header does not fit the image";
    case kImagesOverlap:
      return "image overlaps another image of the update";
    case kInfoPageLost:
      return "image would leave no valid information page";
    default:
      return "unknown code";
  }
}

}  // namespace vqr
