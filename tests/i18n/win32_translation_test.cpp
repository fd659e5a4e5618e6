// The Windows program reads its texts from STRINGTABLE blocks, not from the table the other
// front ends read. There too a translation whose format specifiers differ from the original's
// is refused for the original, judged on the whole entry before the load buffer cuts it. The
// program here holds the resources of translation_cases.inc, translations that pass and fail.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/win32/win32_api.h"
#include "ui/win32/win32_port.h"

namespace {

using vqr::text::Language;

struct TranslationCase {
  int id;
  std::u16string_view original;
  std::u16string_view translation;
  bool shown;
};

constexpr TranslationCase kCases[] = {
#define VQR_CASE(id, original, translation, shown) \
  {id, u"" original, u"" translation, (shown) != 0},
#include "translation_cases.inc"
#undef VQR_CASE
};

std::string Utf8(std::u16string_view text) {
  return vqr::text::Utf16ToUtf8(text);
}

TEST(Win32Translations, OneWithOtherSpecifiersIsRefusedForTheOriginal) {
  HINSTANCE instance = GetModuleHandleW(nullptr);
  for (const TranslationCase& c : kCases) {
    const std::u16string_view shown = c.shown ? c.translation : c.original;
    EXPECT_EQ(Utf8(vqr::win32::LoadTableString(instance, c.id, Language::kEn)),
              Utf8(shown.substr(0, 99)))
        << "entry " << c.id;
    EXPECT_EQ(Utf8(vqr::win32::LoadTableString(instance, c.id, Language::kZhTw)),
              Utf8(c.original.substr(0, 99)))
        << "entry " << c.id;
  }
}

}  // namespace
