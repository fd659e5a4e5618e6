// The two digit conversions of the information page and the catalog's names.
#pragma once

#include <cstdint>

namespace vqr {

// 0-9 give '0'-'9', 10-15 give 'A'-'F', anything above gives '0'.
char NibbleToHex(std::uint8_t value);
// '0'-'9', 'A'-'F' and 'a'-'f' give their values; any other character gives 0.
std::uint8_t HexToNibble(char c);

}  // namespace vqr
