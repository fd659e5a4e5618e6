// What the identification of a device leaves for the update run: the values taken from the
// device's information page, the catalog table and the image pool suffix, plus the reader of
// a catalog's entry list and the two digit conversions.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

namespace vqr {

inline constexpr std::uint8_t kUpdaterGeneration = 3;
inline constexpr std::size_t kCatalogRows = 8;
inline constexpr std::size_t kCatalogBufferSize = 0x4000;
inline constexpr std::size_t kUrlBufferSize = 100;  // 99 characters and the terminator
inline constexpr std::size_t kListLineUnits = 48;   // an image-list line with its terminator
inline constexpr std::size_t kDescriptionUnits = 196;

// Result codes of the workflow's own checks, shown in the numbered errors like the package
// check's codes (which run from -1 to -9).
inline constexpr std::int32_t kCatalogMalformed = -8;  // the entry list breaks the format
inline constexpr std::int32_t kUrlTooLong = -10;       // the catalog URL exceeds 99 characters
inline constexpr std::int32_t kImageMalformed = -11;   // the image's range does not fit it

// One row of the catalog table: the image's file name and its size (0: skip the row).
struct CatalogEntry {
  char name[32] = {};
  std::uint32_t size = 0;
};

// The values the identification takes from the information page.
struct DeviceInfo {
  char DeviceVersionText[5] = {};
  std::uint32_t Row0Version = 0;
  char ModelCode[5] = {};
  char Row1VersionText[4] = {};
};

// The process-wide results of the last identification. The identification worker writes
// them and the update worker reads them later, on other threads: every access goes through
// the lock.
struct WorkflowState {
  std::mutex lock;
  DeviceInfo device;
  std::array<CatalogEntry, kCatalogRows> CatalogTable{};
  std::int32_t CatalogRowCount = 0;
  char ImagePoolSuffix[3] = {'A', 'x', 0};
};
WorkflowState& State();

// 0-9 give '0'-'9', 10-15 give 'A'-'F', anything above gives '0'.
char NibbleToHex(std::uint8_t value);
// '0'-'9', 'A'-'F' and 'a'-'f' give their values; any other character gives 0.
std::uint8_t HexToNibble(char c);

// The base URL of the update server: absolute, ending in "/". Built in, replaceable (the
// command-line front end's --server, the demo's loopback server).
std::string UpdateServerBase();
void SetUpdateServerBase(std::string base);

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

// The image-list line of an optional row: " %S  [ %s ]" with the shown version (character 5
// of row 0's name, then characters 3 to 5 of this row's name) and the description.
std::u16string ImageListLine(const CatalogEntry& row0, const CatalogRow& row);

}  // namespace vqr
