#include "workflow/catalog.h"

#include <cstring>

#include "ui/text_format.h"

namespace vqr {

WorkflowState& State() {
  static WorkflowState state;
  return state;
}

char NibbleToHex(std::uint8_t value) {
  if (value < 10) return static_cast<char>(value + 0x30);
  if (value < 16) return static_cast<char>(value + 0x37);
  return '0';
}

std::uint8_t HexToNibble(char c) {
  if (c >= '0' && c <= '9') return static_cast<std::uint8_t>(c - '0');
  if (c >= 'A' && c <= 'F') return static_cast<std::uint8_t>(c - 'A' + 10);
  if (c >= 'a' && c <= 'f') return static_cast<std::uint8_t>(c - 'a' + 10);
  return 0;
}

namespace {
std::mutex g_baseLock;
std::string g_base = VQR_UPDATE_SERVER_BASE;
}  // namespace

std::string UpdateServerBase() {
  std::lock_guard lock(g_baseLock);
  return g_base;
}

void SetUpdateServerBase(std::string base) {
  std::lock_guard lock(g_baseLock);
  g_base = std::move(base);
}

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

    const std::size_t limit = rows->size() >= 2 ? kListLineUnits - 12 : kDescriptionUnits - 1;
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

std::u16string ImageListLine(const CatalogEntry& row0, const CatalogRow& row) {
  // The shown version is an 8-bit string: like any C string it ends at its first zero, which
  // a name shorter than six characters leaves in these positions.
  const char version[5] = {row0.name[5], row.entry.name[3], row.entry.name[4], row.entry.name[5],
                           0};
  return ui::FormatText(u" %S  [ %s ]",
                        {std::string_view(version, std::strlen(version)), row.description});
}

}  // namespace vqr
