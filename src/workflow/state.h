// What the identification of a device leaves for the update run: the values taken from the
// device's information page, the catalog table, its row count and the image pool suffix.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "formats/catalog.h"

namespace vqr {

inline constexpr std::uint8_t kUpdaterGeneration = 3;
inline constexpr std::size_t kCatalogBufferSize = 0x4000;
inline constexpr std::size_t kUrlBufferSize = 100;  // 99 characters and the terminator
inline constexpr std::size_t kListLineUnits = 48;   // an image-list line with its terminator

// Result codes of the workflow's own refusals, shown in the numbered errors like the package
// check's codes (which run from -1 to -9), so each cause has a code of its own.
inline constexpr std::int32_t kCatalogMalformed = -8;  // the entry list breaks the format
inline constexpr std::int32_t kUrlTooLong = -10;       // the URL exceeds 99 characters
inline constexpr std::int32_t kImageMalformed = -11;   // the image's range does not fit it

// The largest image a header can describe: 65535 full sectors and a last sector of 16 pages
// behind the 32-byte header. A catalog row claiming more describes no possible image.
inline constexpr std::uint32_t kLargestImage = 32 + 65535u * 4096u + 4096u;

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

}  // namespace vqr
