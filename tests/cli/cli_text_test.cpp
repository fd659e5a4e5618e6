// What vqr03-cli makes of text it did not write: the escaping of terminal lines, JSON strings,
// the numbered errors taken apart; and the device listing it builds on.
#include <gmock/gmock.h>

#include <string>

#include "cli_process.h"
#include "device/chidio.h"
#include "device/hid_simulated.h"
#include "text/text_format.h"
#include "ui/cli/cli_port.h"

namespace {

using vqr::cli::JsonString;
using vqr::cli::ParseNumberedError;
using vqr::cli::TerminalText;
using vqr::testing::JsonReader;

struct EscapeCase {
  const char* name;
  std::string in;
  std::string terminal;
  std::string json;  // without the quotes
};

class EscapeTest : public ::testing::TestWithParam<EscapeCase> {};

TEST_P(EscapeTest, TerminalAndJson) {
  const EscapeCase& c = GetParam();
  EXPECT_EQ(TerminalText(c.in), c.terminal);
  const std::string json = JsonString(c.in);
  EXPECT_EQ(json, "\"" + c.json + "\"");
  // Whatever came in, the JSON string is valid JSON and valid UTF-8.
  EXPECT_TRUE(JsonReader::Parse(json).has_value()) << json;
  // No control byte survives in a terminal line.
  for (const char byte : TerminalText(c.in)) {
    const auto b = static_cast<unsigned char>(byte);
    EXPECT_FALSE(b < 0x20 || b == 0x7F) << c.name;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EscapeTest,
    ::testing::Values(
        EscapeCase{"Plain", "OP3301.bin 1.0", "OP3301.bin 1.0", "OP3301.bin 1.0"},
        EscapeCase{"Chinese", "繁體中文介面", "繁體中文介面", "繁體中文介面"},
        EscapeCase{"Backslash", "a\\b", "a\\\\b", "a\\\\b"},
        EscapeCase{"Quote", "say \"hi\"", "say \"hi\"", "say \\\"hi\\\""},
        EscapeCase{"LineFeed", "a\nb", "a\\nb", "a\\nb"},
        // A carriage return would let a text overwrite the start of its own line.
        EscapeCase{"CarriageReturn", "x\rmessage [更新完成]: OK", "x\\rmessage [更新完成]: OK",
                   "x\\rmessage [更新完成]: OK"},
        EscapeCase{"Tab", "a\tb", "a\\tb", "a\\tb"},
        EscapeCase{"Escape", "\x1b[2J", "\\x1b[2J", "\\u001b[2J"},
        EscapeCase{"Nul", std::string("a\0b", 3), "a\\x00b", "a\\u0000b"},
        EscapeCase{"Backspace", "a\bb", "a\\x08b", "a\\bb"},
        EscapeCase{"Delete", "a\x7f", "a\\x7f", "a\\u007f"},
        EscapeCase{"C1NextLine", "a\xc2\x85z", "a\\u{0085}z", "a\\u0085z"},
        EscapeCase{"C1Csi",
                   "\xc2\x9b"
                   "31m",
                   "\\u{009b}31m", "\\u009b31m"},
        EscapeCase{"NoBreakSpaceIsNoControl", "a\xc2\xa0z", "a\xc2\xa0z", "a\xc2\xa0z"},
        EscapeCase{"StrayByte", "a\xff", "a\\xff", "a\\ufffd"},
        EscapeCase{"CutShort", "\xe4\xb8", "\\xe4\\xb8", "\\ufffd\\ufffd"},
        EscapeCase{"Overlong", "\xc0\x80", "\\xc0\\x80", "\\ufffd\\ufffd"},
        EscapeCase{"Surrogate", "\xed\xa0\x80", "\\xed\\xa0\\x80", "\\ufffd\\ufffd\\ufffd"},
        EscapeCase{"FourBytes", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80", "\xf0\x9f\x98\x80"}),
    [](const auto& info) { return std::string(info.param.name); });

struct NumberedCase {
  const char16_t* text;
  std::optional<std::string> code;
  std::optional<std::int64_t> detail;
  std::vector<std::int64_t> more;
  vqr::text::Language language = vqr::text::Language::kZhTw;
};

TEST(NumberedError, TakesTheCodeAndItsNumbersApart) {
  const NumberedCase cases[] = {
      {u"錯誤碼: 0302 -9", "0302", -9, {}},
      {u"錯誤碼: 0402 -11", "0402", -11, {}},
      {u"錯誤碼: 0302  8", "0302", 8, {}},
      {u"錯誤碼: 0401+ 3", "0401", 3, {}},
      {u"錯誤碼: 0403+ 2\n   20480\n      17", "0403", 2, {20480, 17}},
      {u"錯誤碼: 0403+ 1\n       0\n       0", "0403", 1, {0, 0}},
      {u"錯誤碼: 0301", "0301", std::nullopt, {}},
      {u"無法鏈結伺服器!", std::nullopt, std::nullopt, {}},
      {u"錯誤碼: 03x2 -9", std::nullopt, std::nullopt, {}},
      {u"錯誤碼: 0302 -9 trailing", std::nullopt, std::nullopt, {}},
      {u"錯誤碼: 0403+ 2\nabc", std::nullopt, std::nullopt, {}},
      {u"Error code: 0402 -7", "0402", -7, {}, vqr::text::Language::kEn},
      {u"エラーコード: 0403+ 2\n   20480\n      17",
       "0403",
       2,
       {20480, 17},
       vqr::text::Language::kJa},
      {u"错误码: 0302 -13", "0302", -13, {}, vqr::text::Language::kZhCn},
      // Another language's prefix is not a numbered error of this one.
      {u"錯誤碼: 0402 -7", std::nullopt, std::nullopt, {}, vqr::text::Language::kEn},
  };
  for (const NumberedCase& c : cases) {
    const auto parsed = ParseNumberedError(c.text, c.language);
    const std::string shown = vqr::cli::TerminalText(vqr::text::Utf16ToUtf8(c.text));
    ASSERT_EQ(parsed.has_value(), c.code.has_value()) << shown;
    if (!parsed) continue;
    EXPECT_EQ(parsed->code, *c.code);
    EXPECT_EQ(parsed->detail, c.detail);
    EXPECT_EQ(parsed->more, c.more);
  }
}

TEST(JsonObject, BuildsOneObjectInFieldOrder) {
  const std::string text = vqr::cli::JsonObject()
                               .Str("event", "message")
                               .Int("detail", -7)
                               .Bool("install", false)
                               .Num("bytes_per_second", 1234.6)
                               .Ints("numbers", {20480, 17})
                               .Text();
  EXPECT_EQ(text, R"({"event":"message","detail":-7,"install":false,"bytes_per_second":1235,)"
                  R"("numbers":[20480,17]})");
  EXPECT_TRUE(JsonReader::Parse(text).has_value());
}

// The interfaces of the family, each with whether it can be opened, and the path filter that
// --device sets: through CHidIO over the simulated backend.
TEST(MatchingInterfaces, ListsTheFamilyWithWhyOneCannotBeOpened) {
  std::array<std::uint8_t, 256> page{};
  vqr::sim::SimBootloader device(page);
  vqr::hid::SimulatedHidBackend backend;
  using vqr::hid::OpenError;
  using vqr::hid::SimInterface;
  using vqr::hid::SimInterfacePath;
  SimInterface other{SimInterfacePath(0x046D, 0xC52B, 0), 0x046D, 0xC52B};
  SimInterface good{SimInterfacePath(0x0416, 0xF360, 1), 0x0416, 0xF360, &device};
  SimInterface denied{SimInterfacePath(0x0416, 0xF361, 2), 0x0416, 0xF361, &device};
  denied.claimFails = OpenError::kAccessDenied;
  SimInterface busy{SimInterfacePath(0x0416, 0xF36F, 3), 0x0416, 0xF36F, &device};
  busy.claimFails = OpenError::kBusy;
  SimInterface noWrite{SimInterfacePath(0x0416, 0xF362, 4), 0x0416, 0xF362, &device};
  noWrite.openWriteFails = true;
  SimInterface unprobed{SimInterfacePath(0x0416, 0xF363, 5), 0x0416, 0xF363, &device};
  unprobed.probeFails = true;
  backend.SetInterfaces({other, good, denied, busy, noWrite, unprobed});
  vqr::CHidIO io(backend);

  const auto found = io.MatchingInterfaces(true);
  ASSERT_EQ(found.size(), 4u);
  const std::pair<std::uint16_t, OpenError> expected[] = {{0xF360, OpenError::kNone},
                                                          {0xF361, OpenError::kAccessDenied},
                                                          {0xF36F, OpenError::kBusy},
                                                          {0xF362, OpenError::kOther}};
  for (std::size_t i = 0; i < found.size(); ++i) {
    EXPECT_EQ(found[i].product, expected[i].first) << i;
    EXPECT_EQ(found[i].failure.kind, expected[i].second) << i;
  }
  // Nothing stays taken by the listing.
  EXPECT_EQ(backend.OpenHandleCount(), 0);
  EXPECT_FALSE(backend.Claimed(good.path));
  // Without trying, nothing is opened and every one reads as openable.
  for (const auto& entry : io.MatchingInterfaces(false))
    EXPECT_EQ(entry.failure.kind, OpenError::kNone);

  // The filter: only the interface it accepts is listed or opened.
  io.SetPathFilter([&](const std::u16string& path) { return path == noWrite.path; });
  EXPECT_EQ(io.MatchingInterfaces(false).size(), 1u);
  EXPECT_EQ(io.OpenDevice(), 0u) << "the chosen interface cannot be opened for writing";
  EXPECT_EQ(io.LastOpenFailure().path, noWrite.path);
  io.SetPathFilter([&](const std::u16string& path) { return path == good.path; });
  EXPECT_EQ(io.OpenDevice(), 0xF360u);
  EXPECT_EQ(io.OpenedPath(), good.path);
  io.SetPathFilter(nullptr);
  EXPECT_EQ(io.OpenDevice(), 0xF360u) << "the first match that opens";
}

}  // namespace
