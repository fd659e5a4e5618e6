#include "formats/catalog.h"

#include <cstring>

#include "formats/package.h"

namespace vqr {

bool ReadCatalogEntries(std::span<const std::uint8_t> catalog, std::vector<CatalogRow>* rows) {
  rows->clear();
  const std::size_t end = catalog.size();
  std::size_t p = 32;
  while (true) {
    if (p >= end) return false;  // the list must end, with a zero byte, inside the catalog
    if (catalog[p] == 0) return true;
    if (rows->size() == kCatalogRows) return false;

    CatalogRow row;
    std::size_t length = 0;
    while (p + length < end && catalog[p + length] != 0) ++length;
    if (p + length >= end || length > sizeof row.entry.name - 1) return false;
    std::memcpy(row.entry.name, &catalog[p], length);
    p += length;  // on the name's zero byte

    if (end - p < 5) return false;
    row.entry.size = std::uint32_t{catalog[p + 1]} << 24 | std::uint32_t{catalog[p + 2]} << 16 |
                     std::uint32_t{catalog[p + 3]} << 8 | std::uint32_t{catalog[p + 4]};
    p += 5;

    const std::size_t limit =
        rows->size() >= 2 ? kCatalogMaxListedDescription : kCatalogMaxDescription;
    while (true) {
      if (end - p < 2) return false;
      const char16_t unit = static_cast<char16_t>(catalog[p] | catalog[p + 1] << 8);
      p += 2;
      if (unit == 0) break;
      if (row.description.size() == limit) return false;
      row.description.push_back(unit);
    }
    rows->push_back(std::move(row));
  }
}

}  // namespace vqr
