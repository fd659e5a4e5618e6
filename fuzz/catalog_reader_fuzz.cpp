// Feeds arbitrary catalogs to the entry-list reader and the image-list line, and arbitrary
// image files to the range check: neither may read past its input or accept a list that
// breaks the format.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/catalog.h"
#include "formats/image_range.h"
#include "workflow/image_list.h"
#include "workflow/state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that AddressSanitizer sees every read past the end.
  std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> input(bytes.data(), bytes.size());

  std::vector<vqr::CatalogRow> rows;
  if (vqr::ReadCatalogEntries(input, &rows)) {
    if (rows.size() > vqr::kCatalogRows) __builtin_trap();
    for (std::size_t k = 2; k < rows.size(); ++k) {
      if (vqr::ImageListLine(rows[0].entry, rows[k]).size() >= vqr::kListLineUnits)
        __builtin_trap();
    }
  }

  vqr::ImageRange range;
  if (vqr::ReadImageRange(input, &range)) {
    const std::uint64_t needed =
        32 + std::uint64_t{4096} * range.FullSectors() + std::uint64_t{256} * range.tailPages;
    if (needed > size || range.tailPages > 16 || range.first > range.last) __builtin_trap();
  }
  return 0;
}
