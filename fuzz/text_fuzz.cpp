// Feeds server strings to the text conversions: arbitrary bytes as UTF-8 (a description typed
// for vqr-pack, a model code, any 8-bit text), the same bytes as UTF-16LE (a catalog's
// description), and both as arguments of the formatter's %S, %s and %Nd. Checks:
//  - Utf8ToUtf16 gives well-formed UTF-16 (no lone surrogate half) and, for valid UTF-8 (told
//    by a decoder of this file's own), exactly the code points of the input, so that
//    Utf16ToUtf8 gives the input back;
//  - Utf16ToUtf8 gives valid UTF-8, and back through Utf8ToUtf16 the input with each lone
//    surrogate half replaced by U+FFFD;
//  - %S places one unit per byte, %s a narrow argument's UTF-16, %Nd the number as printf
//    does, and nothing else changes around them.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "text/text_format.h"
#include "utf8_model.h"

namespace {

// The code points of well-formed UTF-16; nothing when it holds a lone surrogate half.
std::optional<std::u32string> DecodeUtf16(const std::u16string& units) {
  std::u32string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char32_t unit = units[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      out.push_back(0x10000 + ((unit - 0xD800) << 10) + (units[i + 1] - 0xDC00));
      ++i;
    } else if (unit >= 0xD800 && unit < 0xE000) {
      return std::nullopt;
    } else {
      out.push_back(unit);
    }
  }
  return out;
}

// `units` with every lone surrogate half replaced by U+FFFD.
std::u16string WithoutLoneHalves(const std::u16string& units) {
  std::u16string out;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const char16_t unit = units[i];
    if (unit >= 0xD800 && unit < 0xDC00 && i + 1 < units.size() && units[i + 1] >= 0xDC00 &&
        units[i + 1] < 0xE000) {
      out.push_back(unit);
      out.push_back(units[++i]);
    } else {
      out.push_back(unit >= 0xD800 && unit < 0xE000 ? u'\uFFFD' : unit);
    }
  }
  return out;
}

std::u16string Widen(const std::string& bytes) {
  std::u16string out;
  for (const char byte : bytes) out.push_back(static_cast<unsigned char>(byte));
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using vqr::text::FormatText;
  using vqr::text::Utf16ToUtf8;
  using vqr::text::Utf8ToUtf16;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  // Bytes as UTF-8.
  const std::u16string wide = Utf8ToUtf16(bytes);
  const std::optional<std::u32string> asUtf16 = DecodeUtf16(wide);
  if (!asUtf16) __builtin_trap();  // a lone surrogate half came out
  if (const std::optional<std::u32string> points = fuzz::DecodeUtf8(bytes)) {
    if (*points != *asUtf16) __builtin_trap();
    if (Utf16ToUtf8(wide) != bytes) __builtin_trap();
  } else if (wide.find(u'\uFFFD') == std::u16string::npos) {
    __builtin_trap();  // invalid input converted without a replacement character
  }
  // The same bytes as UTF-16LE units.
  std::u16string units;
  for (std::size_t i = 0; i + 1 < size; i += 2)
    units.push_back(static_cast<char16_t>(data[i] | data[i + 1] << 8));
  const std::string narrow = Utf16ToUtf8(units);
  if (!fuzz::DecodeUtf8(narrow)) __builtin_trap();
  if (Utf8ToUtf16(narrow) != WithoutLoneHalves(units)) __builtin_trap();

  // The formatter with these strings as arguments, in the forms the updater's texts use.
  if (FormatText(u"版本 : [ %S ]", {std::string_view(bytes)}) !=
      u"版本 : [ " + Widen(bytes) + u" ]")
    __builtin_trap();
  const std::size_t half = bytes.size() / 2;
  const std::string shown = bytes.substr(0, half);
  if (FormatText(u" %S  [ %s ]", {std::string_view(shown), std::u16string_view(units)}) !=
      u" " + Widen(shown) + u"  [ " + units + u" ]")
    __builtin_trap();
  if (FormatText(u"%s|%S", {std::string_view(bytes), std::u16string_view(units)}) !=
      wide + u"|" + units)
    __builtin_trap();
  if (size >= 5) {
    const int width = data[0] % 12;
    std::int32_t value;
    __builtin_memcpy(&value, data + 1, 4);
    const std::u16string format = u"<%" + Widen(std::to_string(width)) + u"d>";
    char expected[32];
    std::snprintf(expected, sizeof expected, "<%*d>", width, value);
    if (FormatText(format, {value}) != Widen(expected)) __builtin_trap();
  }
  return 0;
}
