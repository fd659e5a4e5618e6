#include "text/string_table.h"

#include <atomic>

#include "text/text_format.h"

namespace vqr::text {

namespace {

constexpr std::size_t kLoadBufferUnits = 100;

std::atomic<Language> g_language{Language::kZhTw};

char AsciiLower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
  return true;
}

}  // namespace

std::u16string_view TableText(int id, Language language) {
  return AcceptTranslation(RawTableText(id, Language::kZhTw), RawTableText(id, language));
}

std::u16string StringTableEntry(int id, Language language) {
  return std::u16string(TableText(id, language).substr(0, kLoadBufferUnits - 1));
}

std::u16string StringTableEntry(int id) {
  return StringTableEntry(id, CurrentLanguage());
}

void SetLanguage(Language language) {
  g_language.store(language);
}

Language CurrentLanguage() {
  return g_language.load();
}

std::string_view LanguageTag(Language language) {
  switch (language) {
    case Language::kZhTw:
      break;
    case Language::kEn:
      return "en";
    case Language::kJa:
      return "ja";
    case Language::kZhCn:
      return "zh-CN";
  }
  return "zh-TW";
}

std::optional<Language> ParseLanguageTag(std::string_view tag) {
  for (Language language : kLanguages)
    if (tag == LanguageTag(language)) return language;
  return std::nullopt;
}

Language LanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang) {
  std::string_view locale;
  for (const char* value : {lcAll, lcMessages, lang}) {
    if (value != nullptr && *value != '\0') {
      locale = value;
      break;
    }
  }
  // language[_territory][.codeset][@modifier]
  const std::size_t languageEnd = locale.find_first_of("_-.@");
  const std::string_view language = locale.substr(0, languageEnd);
  std::string_view territory;
  if (languageEnd != std::string_view::npos &&
      (locale[languageEnd] == '_' || locale[languageEnd] == '-')) {
    const std::string_view rest = locale.substr(languageEnd + 1);
    territory = rest.substr(0, rest.find_first_of(".@"));
  }
  if (EqualsIgnoringCase(language, "en")) return Language::kEn;
  if (EqualsIgnoringCase(language, "ja")) return Language::kJa;
  if (EqualsIgnoringCase(language, "zh") &&
      (EqualsIgnoringCase(territory, "CN") || EqualsIgnoringCase(territory, "SG")))
    return Language::kZhCn;
  return Language::kZhTw;  // zh_TW, zh_HK, zh_MO, C, POSIX, and what has no translation
}

Language LanguageFromWindowsLangId(std::uint16_t langId) {
  constexpr std::uint16_t kPrimaryChinese = 0x04, kPrimaryEnglish = 0x09, kPrimaryJapanese = 0x11;
  // Simplified: the PRC and Singapore, and the neutral forms Windows names zh-Hans (0x0004,
  // sublanguage 0) and zh (0x7804, which it writes in Simplified characters). zh-Hant
  // (0x7C04) is Traditional.
  constexpr std::uint16_t kSubNeutral = 0x00, kSubSimplified = 0x02, kSubSingapore = 0x04,
                          kSubChineseNeutral = 0x1E;
  const std::uint16_t primary = langId & 0x3FF;
  const std::uint16_t sub = langId >> 10;
  if (primary == kPrimaryEnglish) return Language::kEn;
  if (primary == kPrimaryJapanese) return Language::kJa;
  if (primary == kPrimaryChinese && (sub == kSubNeutral || sub == kSubSimplified ||
                                     sub == kSubSingapore || sub == kSubChineseNeutral))
    return Language::kZhCn;
  return Language::kZhTw;  // Traditional, Hong Kong, Macao, zh-Hant, and what has no translation
}

std::uint16_t WindowsLangId(Language language) {
  switch (language) {
    case Language::kZhTw:
      break;
    case Language::kEn:
      return 0x0409;  // LANG_ENGLISH, SUBLANG_ENGLISH_US
    case Language::kJa:
      return 0x0411;  // LANG_JAPANESE, SUBLANG_JAPANESE_JAPAN
    case Language::kZhCn:
      return 0x0804;  // LANG_CHINESE, SUBLANG_CHINESE_SIMPLIFIED
  }
  return 0x0404;  // LANG_CHINESE, SUBLANG_CHINESE_TRADITIONAL
}

}  // namespace vqr::text
