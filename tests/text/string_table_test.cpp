// The string table in every language: the translations keep the originals' conversions, fit
// the load buffer, keep numbers, codes and file names; the language the environment names.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::text {
namespace {

std::string Tag(Language language) {
  return std::string(LanguageTag(language));
}

struct SpecifierCase {
  const char* name;
  std::u16string_view original;
  std::u16string_view translation;
  bool accepted;
};

class SpecifierTest : public ::testing::TestWithParam<SpecifierCase> {};

TEST_P(SpecifierTest, ATranslationPlacesTheSameValuesInTheSameOrder) {
  const SpecifierCase& c = GetParam();
  EXPECT_EQ(SameSpecifiers(c.original, c.translation), c.accepted);
  EXPECT_EQ(AcceptTranslation(c.original, c.translation), c.accepted ? c.translation : c.original);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SpecifierTest,
    ::testing::Values(SpecifierCase{"SameInOtherWords", u"錯誤碼: 0402 %2d",
                                    u"Error code: 0402 %2d", true},
                      SpecifierCase{"NoneAtAll", u"錯誤分析", u"Troubleshooting", true},
                      SpecifierCase{"PercentSignsAreNoConversion", u"%d%%", u"%% %d", true},
                      SpecifierCase{"LongFormStaysLong", u"%ld", u"%ld", true},
                      SpecifierCase{"OtherWidth", u"[ %5d ]", u"[ %4d ]", false},
                      SpecifierCase{"WidthDropped", u"尋 找 中..... %3d", u"Searching %d", false},
                      SpecifierCase{"OrderSwapped", u"%c - %5d -", u"%5d - %c", false},
                      SpecifierCase{"OneMissing", u"0403+%2d\n%8d\n%8d", u"0403+%2d\n%8d", false},
                      SpecifierCase{"OneAdded", u"版本 : [ %S ]", u"Version %S %s", false},
                      SpecifierCase{"NarrowForWide", u" %S  [ %s ]", u" %s  [ %s ]", false},
                      SpecifierCase{"UnknownConversionCounts", u"OK", u"OK %x", false},
                      SpecifierCase{"CutShortAtTheEnd", u"100", u"100 %3", false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(StringTable, EveryTranslationKeepsTheOriginalsConversions) {
  for (const TableEntry& entry : StringTable())
    for (Language language : kLanguages) {
      const std::u16string_view text = entry.text[static_cast<std::size_t>(language)];
      EXPECT_TRUE(SameSpecifiers(entry.text[0], text))
          << "entry " << entry.id << " in " << Tag(language) << ": " << Utf16ToUtf8(text);
      EXPECT_EQ(TableText(entry.id, language), text);
    }
}

// Digits stay as they are in every language: error codes, versions, the generation letters'
// file name, the udev rule's path. Every run of ASCII digits, in order.
std::vector<std::u16string> DigitRuns(std::u16string_view text) {
  std::vector<std::u16string> runs;
  std::u16string run;
  for (char16_t c : text) {
    if (c >= u'0' && c <= u'9') {
      run.push_back(c);
    } else if (!run.empty()) {
      runs.push_back(run);
      run.clear();
    }
  }
  if (!run.empty()) runs.push_back(run);
  return runs;
}

TEST(StringTable, NumbersCodesAndFileNamesAreTheSameInEveryLanguage) {
  const std::u16string_view kNames[] = {
      u"VQR03", u"VQR1",   u".exe", u"vqr03-cli", u"/usr/lib/udev/rules.d/70-vqr03.rules",
      u"udev",  u"Windows"};
  for (const TableEntry& entry : StringTable())
    for (Language language : kLanguages) {
      const std::u16string_view text = entry.text[static_cast<std::size_t>(language)];
      SCOPED_TRACE("entry " + std::to_string(entry.id) + " in " + Tag(language));
      EXPECT_EQ(DigitRuns(text), DigitRuns(entry.text[0]));
      for (std::u16string_view name : kNames)
        EXPECT_EQ(text.find(name) != text.npos, entry.text[0].find(name) != text.npos)
            << Utf16ToUtf8(name);
    }
}

TEST(StringTable, EntriesReadThroughALoadBufferFitItInEveryLanguage) {
  std::set<int> ids;
  for (const TableEntry& entry : StringTable()) {
    EXPECT_TRUE(ids.insert(entry.id).second) << "entry " << entry.id << " twice";
    for (Language language : kLanguages) {
      const std::u16string_view text = entry.text[static_cast<std::size_t>(language)];
      EXPECT_FALSE(text.empty()) << entry.id << " " << Tag(language);
      if (entry.id < kFirstWholeEntry) {
        EXPECT_LE(text.size(), 99u) << entry.id << " " << Tag(language);
        EXPECT_EQ(StringTableEntry(entry.id, language), text);
      }
    }
  }
}

TEST(StringTable, OriginalsAreTheTraditionalChineseTexts) {
  struct Original {
    int id;
    std::u16string_view text;
  };
  const Original originals[] = {
      {kStrStart, u"開 始 更 新"},
      {kStrSearching, u"尋 找 中..... %3d"},
      {kStrWindowTitle, u" VQR03   [%2d.%2d ]"},
      {kStrError0403, u"錯誤碼: 0403+%2d\n%8d\n%8d"},
      {kStrOutdatedUpdater, u"請下載最新版更新程式\n[ VQR%c%c.exe ]"},
      {kStrFinished, u"OK\n拔線＋離開程式\nGoodbye."},
      {kStrFinishedButton, u"- 更 新 完 成 -"},
      {kStrVerifying, u"Verify %c - %5d -"},
      {kStrNotConnected, u"未連線!請先上網!"},
  };
  for (const Original& original : originals)
    EXPECT_EQ(TableText(original.id, Language::kZhTw), original.text) << original.id;
}

TEST(StringTable, TheProgramsLanguageChoosesTheColumnAndAnAbsentEntryIsEmpty) {
  ASSERT_EQ(CurrentLanguage(), Language::kZhTw) << "the original language until one is set";
  EXPECT_EQ(StringTableEntry(kStrExit), u"離  開");
  SetLanguage(Language::kJa);
  EXPECT_EQ(StringTableEntry(kStrExit), u"終了");
  SetLanguage(Language::kEn);
  EXPECT_EQ(StringTableEntry(kStrExit), u"Exit");
  EXPECT_TRUE(StringTableEntry(999).empty());
  SetLanguage(Language::kZhTw);
  EXPECT_TRUE(TableText(999, Language::kZhCn).empty());
  // The device notices are read whole, beyond any load buffer.
  EXPECT_GT(TableText(kStrNoticeLinuxDenied, Language::kEn).size(), 99u);
  EXPECT_EQ(StringTableEntry(kStrNoticeLinuxDenied, Language::kEn).size(), 99u);
}

struct LocaleCase {
  const char* lcAll;
  const char* lcMessages;
  const char* lang;
  Language expected;
};

TEST(LanguageFromLocale, FirstSetVariableNamesTheLanguage) {
  using L = Language;
  const LocaleCase cases[] = {
      {nullptr, nullptr, nullptr, L::kZhTw},
      {"", "", "", L::kZhTw},
      {"C", nullptr, "ja_JP.UTF-8", L::kZhTw},  // LC_ALL wins, and C has no translation
      {"POSIX", nullptr, nullptr, L::kZhTw},
      {"C.UTF-8", nullptr, nullptr, L::kZhTw},
      {"", "ja_JP.UTF-8", "en_US.UTF-8", L::kJa},  // an empty LC_ALL is unset
      {nullptr, "", "en_GB.UTF-8", L::kEn},
      {"en_US.UTF-8", "ja_JP.UTF-8", "zh_CN.UTF-8", L::kEn},
      {nullptr, nullptr, "en", L::kEn},
      {nullptr, nullptr, "ja", L::kJa},
      {nullptr, nullptr, "ja_JP.eucJP", L::kJa},
      {nullptr, nullptr, "zh_TW.UTF-8", L::kZhTw},
      {nullptr, nullptr, "zh_HK.Big5-HKSCS", L::kZhTw},
      {nullptr, nullptr, "zh_MO", L::kZhTw},
      {nullptr, nullptr, "zh_CN.GB18030", L::kZhCn},
      {nullptr, nullptr, "zh_SG.UTF-8", L::kZhCn},
      {nullptr, nullptr, "zh_CN", L::kZhCn},
      {nullptr, nullptr, "zh", L::kZhTw},
      {nullptr, nullptr, "de_DE.UTF-8", L::kZhTw},
      {nullptr, nullptr, "eo", L::kZhTw},
      {nullptr, nullptr, "sr_RS@latin", L::kZhTw},
      {nullptr, nullptr, "jam_JM", L::kZhTw},  // a language code that only begins like "ja"
      {nullptr, nullptr, "eng", L::kZhTw},
  };
  for (const LocaleCase& c : cases)
    EXPECT_EQ(LanguageFromLocale(c.lcAll, c.lcMessages, c.lang), c.expected)
        << (c.lcAll ? c.lcAll : "-") << " " << (c.lcMessages ? c.lcMessages : "-") << " "
        << (c.lang ? c.lang : "-");
}

TEST(LanguageFromWindowsLangId, UiLanguagesMapToTheTranslations) {
  struct Case {
    std::uint16_t langId;
    Language expected;
  };
  const Case cases[] = {
      {0x0404, Language::kZhTw},  // Chinese (Taiwan)
      {0x0C04, Language::kZhTw},  // Chinese (Hong Kong)
      {0x1404, Language::kZhTw},  // Chinese (Macao)
      {0x0804, Language::kZhCn},  // Chinese (PRC)
      {0x1004, Language::kZhCn},  // Chinese (Singapore)
      {0x0004, Language::kZhCn},  // Chinese (Simplified), neutral: zh-Hans
      {0x7804, Language::kZhCn},  // Chinese, neutral: zh
      {0x7C04, Language::kZhTw},  // Chinese (Traditional), neutral: zh-Hant
      {0x0411, Language::kJa},   {0x0409, Language::kEn},
      {0x0809, Language::kEn},   {0x0407, Language::kZhTw},  // German: no translation
      {0x0000, Language::kZhTw},
  };
  for (const Case& c : cases)
    EXPECT_EQ(LanguageFromWindowsLangId(c.langId), c.expected) << std::hex << c.langId;
  for (Language language : kLanguages)
    EXPECT_EQ(LanguageFromWindowsLangId(WindowsLangId(language)), language) << Tag(language);
}

TEST(ParseLanguageTag, AcceptsExactlyTheFourTags) {
  for (Language language : kLanguages) EXPECT_EQ(ParseLanguageTag(LanguageTag(language)), language);
  for (const char* wrong : {"", "zh", "zh_TW", "zh-tw", "EN", "en-US", "jp", "zh-HK", " en"})
    EXPECT_FALSE(ParseLanguageTag(wrong).has_value()) << wrong;
}

}  // namespace
}  // namespace vqr::text
