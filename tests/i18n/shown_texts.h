// Whether a text the user was shown comes from one language's column of the string table:
// it is one of that language's entries with its conversions filled in, and none of the other
// languages' entries (those that differ from this language's) could have made it.
#pragma once

#include <regex>
#include <string>
#include <string_view>
#include <vector>

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::testing {

// `format` as a regular expression over UTF-8: literal text, with each conversion standing for
// what it can print.
inline std::regex FormatPattern(std::u16string_view format) {
  std::string pattern;
  for (std::size_t i = 0; i < format.size(); ++i) {
    if (format[i] == u'%' && i + 1 < format.size()) {
      std::size_t j = i + 1;
      if (format[j] == u'%') {
        pattern += "%";
        i = j;
        continue;
      }
      while (j < format.size() && format[j] >= u'0' && format[j] <= u'9') ++j;
      if (j < format.size() && format[j] == u'l') ++j;
      if (j < format.size()) {
        const char16_t conversion = format[j];
        pattern += conversion == u'd' ? " *-?[0-9]+" : conversion == u'c' ? "[^\\n]" : "[^]*";
        i = j;
        continue;
      }
    }
    const std::string unit = text::Utf16ToUtf8(format.substr(i, 1));
    if (unit.size() == 1 && std::string_view("\\^$.|?*+()[]{}").find(unit[0]) != std::string::npos)
      pattern += '\\';
    pattern += unit;
  }
  return std::regex(pattern, std::regex::ECMAScript);
}

struct ShownTextVerdict {
  bool ownLanguage = false;  // some entry of the language makes it
  std::string foreignEntry;  // an entry of another language that makes it ("" when none)
};

inline ShownTextVerdict Judge(const std::u16string& shown, text::Language language) {
  const std::string utf8 = text::Utf16ToUtf8(shown);
  ShownTextVerdict verdict;
  for (const text::TableEntry& entry : text::StringTable()) {
    const std::u16string_view own = entry.text[static_cast<std::size_t>(language)];
    if (std::regex_match(utf8, FormatPattern(own))) verdict.ownLanguage = true;
    for (text::Language other : text::kLanguages) {
      const std::u16string_view theirs = entry.text[static_cast<std::size_t>(other)];
      if (other == language || theirs == own) continue;
      if (std::regex_match(utf8, FormatPattern(theirs)) &&
          !std::regex_match(utf8, FormatPattern(own)))
        verdict.foreignEntry = std::to_string(entry.id) + " " +
                               std::string(text::LanguageTag(other)) + ": " +
                               text::Utf16ToUtf8(theirs);
    }
  }
  return verdict;
}

}  // namespace vqr::testing
