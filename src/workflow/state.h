// What the identification of a device leaves for the update run: the values taken from the
// device's information page, the catalog table, its row count and the image pool suffix.
// The updater generation (kUpdaterGeneration) is the catalog format's, in formats/catalog.h.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>

#include "formats/catalog.h"

namespace vqr {

inline constexpr std::size_t kCatalogBufferSize = 0x4000;
inline constexpr std::size_t kUrlBufferSize = 100;  // 99 characters and the terminator
inline constexpr std::size_t kListLineUnits = 48;   // an image-list line with its terminator

// The result code of the workflow's own refusal, shown in the numbered errors like the format
// codes (the package check's -1 to -9, kCatalogMalformed -8, kImageMalformed -11), so that
// each cause has a code of its own.
inline constexpr std::int32_t kUrlTooLong = -10;
// With trusted keys: the download's detached signature is missing, malformed, made by a key
// that is not trusted, does not match the bytes received, or was made for another file.
inline constexpr std::int32_t kSignatureRefused = -12;
// The device's model code is no file name (formats' ValidModelCode): it would go into the
// catalog's URL as it stands, so nothing is requested.
inline constexpr std::int32_t kModelNotServable = -13;

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
