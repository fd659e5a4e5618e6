#include "workflow/image_list.h"

#include <cstring>
#include <string_view>

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr {

std::u16string ImageListLine(const CatalogEntry& row0, const CatalogEntry& row) {
  // The shown version is an 8-bit string: like any C string it ends at its first zero, which
  // a name shorter than six characters leaves in these positions.
  const char version[5] = {row0.name[5], row.name[3], row.name[4], row.name[5], 0};
  return text::FormatText(text::StringTableEntry(text::kStrImageListLine),
                          {std::string_view(version, std::strlen(version)), row.description});
}

}  // namespace vqr
