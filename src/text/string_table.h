// The program's string table (resources/strings.inc): every text the user sees, in each
// language the program speaks, for the front ends that do not load it from a Windows resource,
// and the choice of the language.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace vqr::text {

enum StringId : int {
  kStrClassName = 109,
  kStrStart = 132,
  kStrExit = 133,
  kStrDeviceGroup = 134,
  kStrVersionGroup = 135,
  kStrSearching = 136,
  kStrDownloading = 140,
  kStrAnalysis = 141,
  kStrCheckNetwork = 142,
  kStrWindowTitle = 150,
  kStrErrorCodeText = 151,
  kStrError0302 = 152,
  kStrError0401 = 153,
  kStrError0402 = 154,
  kStrError0403 = 155,
  kStrRuntimeError = 156,
  kStrOutdatedUpdater = 157,
  kStrUpdaterOutdatedCaption = 158,
  kStrDeviceVersion = 159,
  kStrTryOtherServer = 160,
  kStrDataOutdatedCaption = 161,
  kStrFinished = 162,
  kStrFinishedCaption = 163,
  kStrFinishedButton = 164,
  kStrImageListLine = 165,
  kStrSectorCount = 166,
  kStrWriting = 167,
  kStrVerifying = 168,
  kStrVerified = 169,
  kStrNotConnected = 170,
  kStrNetworkProblem = 171,
  kStrCannotConnect = 172,
  kStrCannotCreate = 173,
  kStrLocalFile = 174,
  kStrReadFailed = 175,
  kStrFileTooLarge = 176,
  kStrWriteFailed = 177,
  kStrAboutCaption = 178,
  kStrAboutText = 179,
  kStrAboutOk = 180,
  kStrNoticeLinuxDenied = 190,
  kStrNoticeBusy = 191,
  kStrNoticeGone = 192,
  kStrNoticeOther = 193,
  kStrNoticeWindowsDenied = 194,
};

// Entries from this id up are read whole; those below fit a 100-unit load buffer.
inline constexpr int kFirstWholeEntry = 190;

// The languages, in the order of the table's columns. zh-TW holds the original texts.
enum class Language : std::uint8_t { kZhTw, kEn, kJa, kZhCn };
inline constexpr std::size_t kLanguageCount = 4;
inline constexpr std::array<Language, kLanguageCount> kLanguages{Language::kZhTw, Language::kEn,
                                                                 Language::kJa, Language::kZhCn};

struct TableEntry {
  int id;
  std::array<std::u16string_view, kLanguageCount> text;  // by Language
};

inline constexpr TableEntry kStringTable[] = {
#define VQR_STRING(id, zhTw, en, ja, zhCn) {id, {u"" zhTw, u"" en, u"" ja, u"" zhCn}},
#include "strings.inc"
#undef VQR_STRING
};

// Every entry, in the order of the table.
constexpr std::span<const TableEntry> StringTable() {
  return kStringTable;
}

// The whole text of entry `id` in `language` exactly as the table has it; empty when absent.
constexpr std::u16string_view RawTableText(int id, Language language) {
  for (const TableEntry& entry : kStringTable)
    if (entry.id == id) return entry.text[static_cast<std::size_t>(language)];
  return {};
}

// The whole text of entry `id` in `language`. A translation whose format specifiers differ
// from the original's is refused: the original stands in for it. Empty when absent.
std::u16string_view TableText(int id, Language language);

// Entry `id` in `language`, cut to 99 units as a 100-unit load buffer holds it; empty when
// absent.
std::u16string StringTableEntry(int id, Language language);
// The same in the program's language (SetLanguage; zh-TW until it is set).
std::u16string StringTableEntry(int id);

// The program's language: set once at start, before any worker runs; read from any thread.
void SetLanguage(Language language);
Language CurrentLanguage();

// "zh-TW", "en", "ja", "zh-CN".
std::string_view LanguageTag(Language language);
// The language a --lang value names: exactly one of the tags above; none for anything else.
std::optional<Language> ParseLanguageTag(std::string_view tag);

// The language of a POSIX locale: the first of LC_ALL, LC_MESSAGES and LANG that is set and
// not empty (pass null for one that is unset) names the locale. zh_TW, zh_HK and zh_MO give
// zh-TW; zh_CN and zh_SG give zh-CN; ja gives ja; en gives en; C, POSIX, no locale at all and
// every language without a translation give zh-TW.
Language LanguageFromLocale(const char* lcAll, const char* lcMessages, const char* lang);

// The language of a Windows language identifier (LANGID, as GetUserDefaultUILanguage gives
// it): Chinese Traditional, Hong Kong, Macao and the neutral zh-Hant give zh-TW; Chinese
// Simplified, Singapore and the neutral zh-Hans and zh give zh-CN; Japanese gives ja; English
// gives en; every other language gives zh-TW.
Language LanguageFromWindowsLangId(std::uint16_t langId);
// The LANGID of the resource script's STRINGTABLE block for `language`.
std::uint16_t WindowsLangId(Language language);

}  // namespace vqr::text
