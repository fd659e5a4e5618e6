// The line of the image list that stands for one optional catalog row.
#pragma once

#include <string>

#include "formats/catalog.h"

namespace vqr {

// " %S  [ %s ]" with the shown version (character 5 of row 0's name, then characters 3 to 5
// of this row's name) and the description.
std::u16string ImageListLine(const CatalogEntry& row0, const CatalogEntry& row);

}  // namespace vqr
