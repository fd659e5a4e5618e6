// The catalog of one device model: a package (package.h, mode 5) whose byte 10 is the updater
// generation and whose content, from offset 32, is the entry list. ParseCatalog reads it, as
// the updater does; BuildCatalog writes it, as the vendor's tool does. The two are each
// other's inverse, and the golden files under tests/data hold them to the bytes.
//
// Entry list: entries follow each other from offset 32 with no alignment and no count:
//   name         n >= 1 characters of a file name (ValidFileName) and a zero byte
//   size         32-bit big-endian, right after the name's zero byte
//   description  m UTF-16LE units and a 16-bit zero
// The list ends where the next entry would begin with a zero byte. Limits: at most 8 entries,
// a name of at most 31 characters, a description of at most 195 units, and of at most 36 units
// from the third entry on (its image-list line must fit 48 units). The list ends within the
// catalog.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vqr {

// The generation of the updater: a device's information page states the generation it needs,
// a catalog the generation it was made for. This updater is generation 3.
inline constexpr std::uint8_t kUpdaterGeneration = 3;

inline constexpr std::size_t kCatalogRows = 8;                   // entries, at most
inline constexpr std::size_t kCatalogMaxName = 31;               // ASCII characters
inline constexpr std::size_t kCatalogMaxDescription = 195;       // UTF-16 units
inline constexpr std::size_t kCatalogMaxListedDescription = 36;  // from the third entry on

// The result code of a catalog whose entry list breaks the format. The package check's codes
// run from -1 to -9 and leave -8 unused, so each cause of a refused catalog has its own code.
inline constexpr std::int32_t kCatalogMalformed = -8;

// One entry of a catalog, and one row of the updater's catalog table: the image's file name on
// the server (a zero-terminated 8-bit string), the image's size in bytes (0: the row is
// skipped) and its description.
struct CatalogEntry {
  char name[32] = {};
  std::uint32_t size = 0;
  std::u16string description;

  // The name up to its first zero byte.
  std::string_view Name() const;
  // Stores `text` as the name. False, with the name unchanged, when it has more than 31
  // characters or contains a zero byte.
  bool SetName(std::string_view text);
};

struct Catalog {
  std::uint8_t generation = kUpdaterGeneration;  // byte 10
  std::vector<CatalogEntry> entries;
};

// Reads an unscrambled catalog of `plain.size()` bytes: its generation (byte 10) and its entry
// list. False, with a message in *error (when given), when the catalog is shorter than its
// header or the entry list breaks a limit above; the entries read before the fault stay in
// *catalog. Never reads past the catalog.
bool ParseCatalog(std::span<const std::uint8_t> plain, Catalog* catalog, std::string* error);

// Builds the catalog package of `model`: byte 10 the generation, the entries as above, one
// zero byte that ends the list, scrambled in mode 5. Refuses (an empty result, a message in
// *error) what the updater would refuse or could not show: a model code that is not four
// printable ASCII characters, more than 8 entries, a name that is empty, longer than 31
// characters or not printable ASCII without spaces, a description over its limit or holding
// U+0000, and a package larger than 2048 bytes.
std::vector<std::uint8_t> BuildCatalog(std::string_view model, const Catalog& catalog,
                                       std::string* error);

// Parses the vendor's text form of an entry, "NAME:SIZE:DESCRIPTION": SIZE decimal (below
// 2^32), the description UTF-8 and free to contain ':'. False with a message when the text has
// no two colons, SIZE is no such number or NAME is longer than 31 characters. The other limits
// are BuildCatalog's.
bool ParseCatalogEntryText(std::string_view text, CatalogEntry* entry, std::string* error);

}  // namespace vqr
