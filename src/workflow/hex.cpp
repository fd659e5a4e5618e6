#include "workflow/hex.h"

namespace vqr {

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

}  // namespace vqr
