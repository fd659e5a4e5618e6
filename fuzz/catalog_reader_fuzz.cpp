// Feeds arbitrary unscrambled catalogs to the catalog parser and the image-list line, and
// arbitrary unscrambled images to the image header parser: neither may read past its input or
// accept what breaks the format.
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "formats/catalog.h"
#include "formats/image.h"
#include "workflow/image_list.h"
#include "workflow/state.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // An exact-size copy, so that AddressSanitizer sees every read past the end.
  std::vector<std::uint8_t> bytes(data, data + size);
  const std::span<const std::uint8_t> input(bytes.data(), bytes.size());

  vqr::Catalog catalog;
  if (vqr::ParseCatalog(input, &catalog, nullptr)) {
    if (catalog.entries.size() > vqr::kCatalogRows) __builtin_trap();
    for (const vqr::CatalogEntry& entry : catalog.entries)
      if (entry.Name().empty() || entry.Name().size() > vqr::kCatalogMaxName) __builtin_trap();
    for (std::size_t k = 2; k < catalog.entries.size(); ++k) {
      if (vqr::ImageListLine(catalog.entries[0], catalog.entries[k]).size() >= vqr::kListLineUnits)
        __builtin_trap();
    }
  }

  vqr::ImageHeader header;
  if (vqr::ParseImageHeader(input, &header)) {
    if (32 + header.DataSize() > size || header.tailPages > 16 || header.first > header.last)
      __builtin_trap();
  }
  return 0;
}
