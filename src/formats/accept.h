// What the updater accepts: the whole path a downloaded catalog or image takes before the
// updater uses it, as one function each, called by the updater's workers and by `vqr-pack
// check` and `vqr-pack verify` alike, so that the vendor's tool accepts a file exactly when the
// updater does.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/catalog.h"
#include "formats/image.h"
#include "formats/package.h"

namespace vqr {

// The outcome of an acceptance. The steps run in a fixed order and the first that fails
// decides; the updater shows each outcome in its own way.
enum class Verdict {
  kAccepted,
  kRefused,          // `code` is the result code the updater's numbered error shows
  kOtherGeneration,  // a catalog made for another updater generation (`generation`)
  kEmpty,            // the check passed a download of zero bytes
};

struct Acceptance {
  Verdict verdict = Verdict::kRefused;
  std::int32_t code = 0;
  std::uint8_t generation = 0;  // a catalog that passed the package check: its byte 10
  std::string detail;           // refused by the entry list or the image header: what is wrong
  bool Accepted() const { return verdict == Verdict::kAccepted; }
};

// A downloaded catalog. `size` is the download's byte count (-1: it failed); the buffer holds
// at least 32 bytes and at least `size`, and is unscrambled in place. In order:
//   1. CheckPackage in mode 5 against `model` (the device's model code): kRefused with its code
//   2. byte 10 must be kUpdaterGeneration:                              kOtherGeneration
//   3. a download of zero bytes:                                        kEmpty
//   4. ParseCatalog into *catalog:                                      kRefused, kCatalogMalformed
Acceptance AcceptCatalog(std::uint8_t* buffer, std::int32_t size, std::string_view model,
                         Catalog* catalog);

// A downloaded image that the catalog names `name`. The buffer is as for AcceptCatalog. In
// order:
//   1. CheckPackage in mode 32 against characters 2 to 5 of `name`: kRefused with its code
//   2. a download of zero bytes:                                   kEmpty
//   3. ParseImageHeader into *header:                              kRefused, kImageMalformed
Acceptance AcceptImage(std::uint8_t* buffer, std::int32_t size, std::string_view name,
                       ImageHeader* header);

// The result codes of the checks across the images of one update run, which follow the
// workflow's own codes (-10, -12, -13): two images whose sector ranges overlap (the later one
// would overwrite the earlier, and both would still read back as written), and an image that
// would leave in the device's information page no page the updater accepts for that device
// (from then on the device could no longer be identified or updated).
inline constexpr std::int32_t kImagesOverlap = -14;
inline constexpr std::int32_t kInfoPageLost = -15;

// True when `page`, a device's information page, is one the updater goes on with for a device
// of model `model`: its updater generation (byte 7) is at most kUpdaterGeneration and its model
// code (bytes 12 to 15) is a model code (ValidModelCode) equal to `model`. Otherwise false,
// with a message in *error (when given).
bool InfoPageAccepted(std::span<const std::uint8_t, kPageSize> page, std::string_view model,
                      std::string* error = nullptr);

// What page `page` holds once the image `plain` (accepted, with its parsed `header`) has been
// programmed: the image's bytes for it, 0xFF for a page of the last sector beyond the tail
// pages (erased and left blank). Nothing when the page lies outside the image's sectors.
std::optional<std::array<std::uint8_t, kPageSize>> PageAfterImage(
    std::span<const std::uint8_t> plain, const ImageHeader& header, std::uint32_t page);

// One accepted image of an update run: its name, header and unscrambled bytes.
struct RunImage {
  std::string_view name;
  ImageHeader header;
  std::span<const std::uint8_t> plain;
};

// The checks of an accepted image against the run it is part of, on a device of model
// `model`, with the images the run installs before it in `earlier`. In order:
//   1. its sectors include the information page (kInfoPage) and the page it leaves there is
//      not InfoPageAccepted for `model`:                  kRefused, kInfoPageLost
//   2. its sectors overlap those of an earlier image:     kRefused, kImagesOverlap
// The detail names what is wrong (and the earlier image).
Acceptance AcceptInRun(std::span<const RunImage> earlier, const RunImage& image,
                       std::string_view model);

// The model code an image named `name` is checked against: characters 2 to 5 of the name
// (fewer when the name is shorter; the check counts the missing ones as zero bytes).
std::string_view ImageModelCode(std::string_view name);

// A short English meaning of a result code of the acceptances ("unknown code" otherwise), for
// tools and logs.
const char* ResultText(std::int32_t code);

}  // namespace vqr
