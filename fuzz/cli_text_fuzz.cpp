// Feeds server strings (a catalog description, a device text, a path) to vqr03-cli's two ways
// of printing foreign text. Checks:
//  - TerminalText gives valid UTF-8 with no C0 control character, DEL or C1 control character
//    in it, and its escapes read back to exactly the input: two different texts never print
//    alike, so no text can pass for a line the program wrote;
//  - JsonString gives one JSON string (quotes, no raw control character, only JSON's escapes)
//    in valid UTF-8 that a JSON reader decodes to the input when the input is valid UTF-8, and
//    otherwise to valid UTF-8 with U+FFFD where the input was not.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "text/text_format.h"
#include "ui/cli/cli_port.h"
#include "utf8_model.h"

namespace {

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The value of `count` hexadecimal digits at text[at]; nothing when they are not.
std::optional<char32_t> Hex(const std::string& text, std::size_t at, std::size_t count) {
  if (at + count > text.size()) return std::nullopt;
  char32_t value = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const int digit = HexDigit(text[at + i]);
    if (digit < 0) return std::nullopt;
    value = value * 16 + static_cast<char32_t>(digit);
  }
  return value;
}

// A code point below U+10000, not a surrogate half, in UTF-8 (the conversion text_fuzz checks).
std::string Utf8Of(char32_t code) {
  return vqr::text::Utf16ToUtf8(std::u16string(1, static_cast<char16_t>(code)));
}

// The byte of an escape both forms share (\\, \n, \r, \t); nothing for any other.
std::optional<char> SharedEscape(char c) {
  switch (c) {
    case '\\':
      return '\\';
    case 'n':
      return '\n';
    case 'r':
      return '\r';
    case 't':
      return '\t';
    default:
      return std::nullopt;
  }
}

// The bytes a terminal line stands for: \\, \n, \r, \t, \xHH (a byte) and \u{HHHH} (a code
// point). Nothing when it holds any other escape.
std::optional<std::string> ReadTerminal(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i == text.size()) return std::nullopt;
    if (const std::optional<char> shared = SharedEscape(text[i])) {
      out.push_back(*shared);
      continue;
    }
    switch (text[i]) {
      case 'x': {
        const std::optional<char32_t> byte = Hex(text, i + 1, 2);
        if (!byte) return std::nullopt;
        out.push_back(static_cast<char>(*byte));
        i += 2;
        break;
      }
      case 'u': {
        if (i + 6 >= text.size() || text[i + 1] != '{' || text[i + 6] != '}') return std::nullopt;
        const std::optional<char32_t> code = Hex(text, i + 2, 4);
        if (!code) return std::nullopt;
        out += Utf8Of(*code);
        i += 6;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

// What a JSON reader makes of `text`, which must be one JSON string and nothing else.
std::optional<std::string> ReadJson(const std::string& text) {
  if (text.size() < 2 || text.front() != '"' || text.back() != '"') return std::nullopt;
  std::string out;
  for (std::size_t i = 1; i + 1 < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20 || c == '"') return std::nullopt;  // JSON allows neither unescaped
    if (c != '\\') {
      out.push_back(text[i]);
      continue;
    }
    if (++i + 1 >= text.size()) return std::nullopt;
    if (const std::optional<char> shared = SharedEscape(text[i])) {
      out.push_back(*shared);
      continue;
    }
    switch (text[i]) {
      case '"':
      case '/':
        out.push_back(text[i]);
        break;
      case 'b':
        out.push_back('\b');
        break;
      case 'f':
        out.push_back('\f');
        break;
      case 'u': {
        const std::optional<char32_t> code = Hex(text, i + 1, 4);
        // JsonString escapes control characters and U+FFFD only: never a surrogate half.
        if (!code || (*code >= 0xD800 && *code < 0xE000)) return std::nullopt;
        out += Utf8Of(*code);
        i += 4;
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return out;
}

bool HoldsControl(const std::u32string& points) {
  for (const char32_t code : points)
    if (code < 0x20 || (code >= 0x7F && code <= 0x9F)) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const std::optional<std::u32string> input = fuzz::DecodeUtf8(bytes);

  const std::string line = vqr::cli::TerminalText(bytes);
  const std::optional<std::u32string> shown = fuzz::DecodeUtf8(line);
  if (!shown || HoldsControl(*shown)) __builtin_trap();
  const std::optional<std::string> back = ReadTerminal(line);
  if (!back || *back != bytes) __builtin_trap();

  const std::string json = vqr::cli::JsonString(bytes);
  if (!fuzz::DecodeUtf8(json)) __builtin_trap();
  const std::optional<std::string> decoded = ReadJson(json);
  if (!decoded) __builtin_trap();
  if (input) {
    if (*decoded != bytes) __builtin_trap();
  } else if (!fuzz::DecodeUtf8(*decoded) || decoded->find("\xEF\xBF\xBD") == std::string::npos) {
    __builtin_trap();
  }
  return 0;
}
