#include "formats/accept.h"

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
    default:
      return "unknown code";
  }
}

}  // namespace vqr
