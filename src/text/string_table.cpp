#include "text/string_table.h"

#include <string_view>

namespace vqr::text {

namespace {

struct Entry {
  int id;
  std::u16string_view text;
};

constexpr Entry kEntries[] = {
#define VQR_STRING(id, text) {id, u"" text},
#include "strings.inc"
#undef VQR_STRING
};

constexpr std::size_t kLoadBufferUnits = 100;

}  // namespace

std::u16string StringTableEntry(int id) {
  for (const Entry& entry : kEntries)
    if (entry.id == id) return std::u16string(entry.text.substr(0, kLoadBufferUnits - 1));
  return {};
}

}  // namespace vqr::text
