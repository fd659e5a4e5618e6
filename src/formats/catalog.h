// The catalog's entry list as the updater reads it: one name, size and description per entry,
// from offset 32 of an unscrambled catalog package.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vqr {

inline constexpr std::size_t kCatalogRows = 8;

// One row of the catalog table: the image's file name and its size (0: skip the row).
struct CatalogEntry {
  char name[32] = {};
  std::uint32_t size = 0;
};

// One entry as the catalog states it.
struct CatalogRow {
  CatalogEntry entry;
  std::u16string description;
};

// Reads the entry list that starts at offset 32 of an unscrambled catalog of
// `catalog.size()` bytes. Refuses (false) an entry list that does not end within the
// catalog, a name that is empty or longer than 31 characters, more than 8 entries, a
// description longer than 195 units, or one longer than 36 units from the third entry on
// (its image-list line would not fit). Never reads past the catalog.
bool ReadCatalogEntries(std::span<const std::uint8_t> catalog, std::vector<CatalogRow>* rows);

}  // namespace vqr
