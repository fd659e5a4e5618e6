// A decoder of UTF-8 written for the fuzz targets alone, so that they check the program's
// conversions against an independent reading of the format.
#pragma once

#include <optional>
#include <string>

namespace fuzz {

// The code points of `bytes` when it is valid UTF-8 (shortest forms only, no surrogates,
// nothing above U+10FFFF); nothing otherwise.
inline std::optional<std::u32string> DecodeUtf8(const std::string& bytes) {
  std::u32string out;
  for (std::size_t i = 0; i < bytes.size();) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(bytes[i + k]); };
    const unsigned char lead = b(0);
    std::size_t length;
    char32_t code;
    if (lead < 0x80) {
      length = 1;
      code = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
      length = 2;
      code = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
      length = 3;
      code = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
      length = 4;
      code = lead & 0x07;
    } else {
      return std::nullopt;
    }
    if (i + length > bytes.size()) return std::nullopt;
    for (std::size_t k = 1; k < length; ++k) {
      if ((b(k) & 0xC0) != 0x80) return std::nullopt;
      code = (code << 6) | (b(k) & 0x3F);
    }
    if ((length == 3 && code < 0x800) || (length == 4 && (code < 0x10000 || code > 0x10FFFF)) ||
        (code >= 0xD800 && code < 0xE000))
      return std::nullopt;
    out.push_back(code);
    i += length;
  }
  return out;
}

}  // namespace fuzz
