// The text conversions every front end relies on: UTF-8 to UTF-16 and back.
#include <gtest/gtest.h>

#include <string>

#include "text/text_format.h"

namespace vqr::text {
namespace {

struct Decoding {
  const char* name;
  std::string utf8;
  std::u16string utf16;
};

class Utf8DecodingTest : public ::testing::TestWithParam<Decoding> {};

TEST_P(Utf8DecodingTest, DecodesValidTextAndReplacesEverythingElse) {
  EXPECT_EQ(Utf8ToUtf16(GetParam().utf8), GetParam().utf16);
}

INSTANTIATE_TEST_SUITE_P(
    Table, Utf8DecodingTest,
    ::testing::Values(
        Decoding{"Ascii", "Demo 1", u"Demo 1"},
        Decoding{"TwoThreeAndFourBytes", "\xC3\xA9\xE7\xB9\x81\xF0\x9F\x98\x80", u"é繁\U0001F600"},
        Decoding{"LargestScalar", "\xF4\x8F\xBF\xBF", u"\U0010FFFF"},
        Decoding{"LastBeforeSurrogates", "\xED\x9F\xBF", u"\uD7FF"},
        Decoding{"StrayContinuation", "a\x80z", u"a\uFFFDz"},
        Decoding{"CutShort", "a\xE7\xB9", u"a\uFFFD\uFFFD"},
        Decoding{"OverlongNul", std::string("\xC0\x80", 2), u"\uFFFD\uFFFD"},
        Decoding{"OverlongSlash", "\xE0\x80\xAF", u"\uFFFD\uFFFD\uFFFD"},
        Decoding{"OverlongFourBytes", "\xF0\x8F\xBF\xBF", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        Decoding{"AboveLargestScalar", "\xF4\x90\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD"},
        Decoding{"HighSurrogateEncoded", "\xED\xA0\x80", u"\uFFFD\uFFFD\uFFFD"},
        Decoding{"LowSurrogateEncoded", "x\xED\xBF\xBFy", u"x\uFFFD\uFFFD\uFFFDy"},
        Decoding{"NoSuchLeadByte", "\xF8\x88\x80\x80\x80", u"\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Utf16ToUtf8, RoundTripsScalarsAndReplacesLoneSurrogates) {
  const std::u16string text = u"版本 é \U0001F600";
  EXPECT_EQ(Utf8ToUtf16(Utf16ToUtf8(text)), text);
  const char16_t highThenA[] = {0xD800, u'a'};
  const char16_t aThenLow[] = {u'a', 0xDC00};
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(highThenA, 2)),
            "\xEF\xBF\xBD"
            "a");
  EXPECT_EQ(Utf16ToUtf8(std::u16string_view(aThenLow, 2)), "a\xEF\xBF\xBD");
}

}  // namespace
}  // namespace vqr::text
