// The text formatter of every user-facing text. It implements the conversions the texts use,
// in the manner of the platform's wide-string formatter, so that every front end shows
// exactly what the Windows program shows:
//   %s  a UTF-16 string          %S  an 8-bit string, one unit per byte
//   %c  one character            %Nd a signed decimal number right-aligned in N characters
//   %%  a percent sign
// A number wider than N is printed whole. A missing argument prints nothing (or 0 for %d).
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace vqr::text {

class FormatArg {
 public:
  enum class Kind { kWide, kNarrow, kChar, kInt };
  FormatArg(std::u16string_view text) : m_kind(Kind::kWide), m_wide(text) {}
  FormatArg(const char16_t* text) : m_kind(Kind::kWide), m_wide(text) {}
  FormatArg(const std::u16string& text) : m_kind(Kind::kWide), m_wide(text) {}
  FormatArg(std::string_view text) : m_kind(Kind::kNarrow), m_narrow(text) {}
  FormatArg(const char* text) : m_kind(Kind::kNarrow), m_narrow(text) {}
  FormatArg(const std::string& text) : m_kind(Kind::kNarrow), m_narrow(text) {}
  FormatArg(char16_t c) : m_kind(Kind::kChar), m_char(c) {}
  FormatArg(char c) : m_kind(Kind::kChar), m_char(static_cast<unsigned char>(c)) {}
  FormatArg(int value) : m_kind(Kind::kInt), m_int(value) {}
  FormatArg(std::uint32_t value) : m_kind(Kind::kInt), m_int(static_cast<std::int32_t>(value)) {}

  Kind kind() const { return m_kind; }
  std::u16string_view wide() const { return m_wide; }
  std::string_view narrow() const { return m_narrow; }
  char16_t character() const { return m_char; }
  std::int32_t number() const { return m_int; }

 private:
  Kind m_kind;
  std::u16string_view m_wide;
  std::string_view m_narrow;
  char16_t m_char = 0;
  std::int32_t m_int = 0;
};

std::u16string FormatText(std::u16string_view format, std::initializer_list<FormatArg> args);

// The conversions of `format` in their order, each as written: "%3d", "%S", "%ld", and any
// other "%" sequence the formatter would copy as it stands ("%x"); "%%" is none. A translation
// of a format places the same values only when its conversions are these, in this order.
std::vector<std::u16string> FormatSpecifiers(std::u16string_view format);
// Whether `translation` may stand for `original`: the same conversions in the same order.
bool SameSpecifiers(std::u16string_view original, std::u16string_view translation);
// `translation` when it may stand for `original`, else `original`: a translation that would
// place other values, or the same ones in another order, is refused.
std::u16string_view AcceptTranslation(std::u16string_view original,
                                      std::u16string_view translation);

// UTF-8 <-> UTF-16 for texts that cross into 8-bit interfaces (terminal, files, tests).
// What is not UTF-8 becomes U+FFFD, one for each byte that cannot start a valid sequence:
// a stray continuation byte, a sequence cut short, an overlong form (C0 80 for U+0000), a
// value above U+10FFFF, or an encoded surrogate half (ED A0 80). Lone surrogate halves in a
// UTF-16 text become U+FFFD in UTF-8.
std::u16string Utf8ToUtf16(std::string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

}  // namespace vqr::text
