// The package container: CheckPackage's codes and their order, the key indices, and the
// builders of catalogs and images as the inverse of their parsers.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "formats/catalog.h"
#include "formats/image.h"
#include "formats/package.h"
#include "text/text_format.h"

namespace vqr {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kModel = "A1B2";

Bytes RandomBytes(std::size_t n, unsigned rngState) {
  std::mt19937 rng(rngState);
  Bytes bytes(n);
  for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
  return bytes;
}

// A plain (unscrambled) package of `total` bytes whose model field holds `field`.
Bytes Plain(std::size_t total, std::string_view field = kModel) {
  std::string error;
  Bytes plain = BuildPackage(field, 0, {}, RandomBytes(total - kPackageHeaderSize, 7), &error);
  EXPECT_EQ(plain.size(), total) << error;
  return plain;
}

// Seals a (possibly tampered) plain package: check bytes (unless `keepChecks`), then the
// scrambling of `mode` with the key base of the expected model.
Bytes Seal(Bytes plain, std::int32_t mode, bool keepChecks = false) {
  if (!keepChecks) StoreCheckBytes(plain);
  ScramblePackage(plain, kModel, mode);
  return plain;
}

TEST(ScrambleKeyTest, HasSixtyFourDistinctBytes) {
  // The index tests below rely on it: a neighbouring key index never gives the same byte.
  const auto& key = ScrambleKey();
  EXPECT_EQ(std::set<std::uint8_t>(key.begin(), key.end()).size(), 64u);
}

TEST(ScrambleKeyTest, WorkedExampleOfTheKeyIndices) {
  ASSERT_EQ(KeyBase(kModel), 50u);
  const auto& key = ScrambleKey();
  struct Case {
    std::size_t offset;
    std::size_t keyIndex;
  };
  const Case cases[] = {{8, 58}, {9, 59}, {31, 17}, {32, 52}, {63, 19}, {2047, 15}};

  // A download of zeros: after the check's unscrambling every byte is its key byte.
  Bytes catalog(2048, 0);
  EXPECT_EQ(CheckPackage(catalog.data(), 2048, kModel, kModeCatalog), kPackageModelDiffers);
  for (const Case& c : cases) EXPECT_EQ(catalog[c.offset], key[c.keyIndex]) << c.offset;
  for (std::size_t k = 0; k < 8; ++k) EXPECT_EQ(catalog[k], 0) << "magic byte " << k;

  // Mode 32 is block 0 of mode 5 and stops at byte 31.
  Bytes image(4096, 0);
  EXPECT_EQ(CheckPackage(image.data(), 4096, kModel, kModeImage), kPackageModelDiffers);
  for (const Case& c : cases)
    EXPECT_EQ(image[c.offset], c.offset < 32 ? key[c.keyIndex] : 0) << c.offset;
}

struct CheckCase {
  const char* name;
  std::int32_t mode;
  std::function<Bytes()> make;  // the downloaded bytes
  std::int32_t size;            // -2: the vector's size
  std::int32_t expected;
  // What the buffer holds afterwards: kept as downloaded, or equal to `plain()`.
  bool unchanged;
  std::function<Bytes()> plain;
};

// A good plain package changed after its check bytes were stored, then scrambled.
Bytes Tampered(std::size_t total, const std::function<void(Bytes&)>& change,
               std::int32_t mode = kModeCatalog) {
  Bytes plain = Plain(total);
  StoreCheckBytes(plain);
  change(plain);
  return Seal(plain, mode, /*keepChecks=*/true);
}

Bytes PlainTampered(std::size_t total, const std::function<void(Bytes&)>& change) {
  Bytes plain = Plain(total);
  StoreCheckBytes(plain);
  change(plain);
  return plain;
}

const auto kNoChange = [](Bytes&) {};
const auto kBadMagic = [](Bytes& p) { p[3] = 'x'; };
const auto kBadXorAndSum = [](Bytes& p) {
  p[8] ^= 0x01;
  p[9] ^= 0x80;
};
const auto kBadSum = [](Bytes& p) { p[9] ^= 0x01; };
// Two content bytes whose low bit is 0 both gain 1: the XOR cannot see it, the sum can.
const auto kXorBlindChange = [](Bytes& p) {
  p[40] &= 0xFE;
  p[41] &= 0xFE;
  StoreCheckBytes(p);
  p[40] |= 1;
  p[41] |= 1;
};

Bytes ErrorPage() {
  const std::string html =
      "<html><head><title>404 Not Found</title></head><body>Not Found</body></html>";
  return Bytes(html.begin(), html.end());
}

Bytes OtherModelField(std::int32_t mode) {
  // Magic, length and check bytes right; the model field names another model.
  return Seal(Plain(600, "Q9Z9"), mode);
}

class CheckPackageTest : public ::testing::TestWithParam<CheckCase> {};

TEST_P(CheckPackageTest, ResultAndBuffer) {
  const CheckCase& c = GetParam();
  Bytes buffer = c.make();
  const Bytes downloaded = buffer;
  const std::int32_t size = c.size == -2 ? static_cast<std::int32_t>(buffer.size()) : c.size;
  EXPECT_EQ(CheckPackage(buffer.data(), size, kModel, c.mode), c.expected);
  if (c.unchanged)
    EXPECT_EQ(buffer, downloaded);
  else
    EXPECT_EQ(buffer, c.plain());
}

constexpr std::int32_t kVectorSize = -2;

const CheckCase kCheckCases[] = {
    {"GoodCatalog", kModeCatalog, [] { return Seal(Plain(600), kModeCatalog); }, kVectorSize,
     kPackageGood, false, [] { return PlainTampered(600, kNoChange); }},
    {"GoodImage", kModeImage, [] { return Seal(Plain(9000), kModeImage); }, kVectorSize,
     kPackageGood, false, [] { return PlainTampered(9000, kNoChange); }},
    {"FailedDownloadCatalog", kModeCatalog, [] { return Seal(Plain(600), kModeCatalog); }, -1,
     kPackageDownloadFailed, true, nullptr},
    {"FailedDownloadImage", kModeImage, [] { return Seal(Plain(600), kModeImage); }, -1,
     kPackageDownloadFailed, true, nullptr},
    {"FailedDownloadWinsOverSizeLimit", kModeCatalog, [] { return Bytes(4096, 0x55); }, -1,
     kPackageDownloadFailed, true, nullptr},
    {"CatalogOf2048Bytes", kModeCatalog, [] { return Seal(Plain(2048), kModeCatalog); },
     kVectorSize, kPackageGood, false, [] { return PlainTampered(2048, kNoChange); }},
    {"CatalogOf2049Bytes", kModeCatalog, [] { return Seal(Plain(2049), kModeCatalog); },
     kVectorSize, kPackageCatalogTooLarge, true, nullptr},
    {"ImageHasNoSizeLimit", kModeImage, [] { return Seal(Plain(70000), kModeImage); }, kVectorSize,
     kPackageGood, false, [] { return PlainTampered(70000, kNoChange); }},
    {"ErrorPageFailsModelBeforeMagic", kModeCatalog, ErrorPage, kVectorSize, kPackageModelDiffers,
     false,
     [] {
       Bytes b = ErrorPage();
       ScramblePackage(b, kModel, kModeCatalog);
       return b;
     }},
    {"OtherModelCatalog", kModeCatalog, [] { return OtherModelField(kModeCatalog); }, kVectorSize,
     kPackageModelDiffers, false, [] { return Plain(600, "Q9Z9"); }},
    {"OtherModelImage", kModeImage, [] { return OtherModelField(kModeImage); }, kVectorSize,
     kPackageModelDiffers, false, [] { return Plain(600, "Q9Z9"); }},
    {"BadMagic", kModeCatalog, [] { return Tampered(600, kBadMagic); }, kVectorSize,
     kPackageMagicDiffers, false, [] { return PlainTampered(600, kBadMagic); }},
    {"ExtraBytesBehind", kModeCatalog,
     [] {
       Bytes b = Seal(Plain(600), kModeCatalog);
       b.resize(605, 0);
       return b;
     },
     kVectorSize, kPackageLengthDiffers, false,
     [] {
       Bytes expected = Seal(Plain(600), kModeCatalog);
       expected.resize(605, 0);
       ScramblePackage(expected, kModel, kModeCatalog);
       return expected;
     }},
    {"CutShortImage", kModeImage,
     [] {
       Bytes b = Seal(Plain(9000), kModeImage);
       b.resize(8999);
       return b;
     },
     kVectorSize, kPackageLengthDiffers, false,
     [] {
       Bytes b = PlainTampered(9000, kNoChange);
       b.resize(8999);
       return b;
     }},
    {"CutToHeaderCatalog", kModeCatalog,
     [] {
       Bytes b = Seal(Plain(600), kModeCatalog);
       b.resize(32);
       return b;
     },
     kVectorSize, kPackageLengthDiffers, false,
     [] {
       Bytes b = PlainTampered(600, kNoChange);
       b.resize(32);
       return b;
     }},
    {"BadXorAndSum", kModeCatalog, [] { return Tampered(600, kBadXorAndSum); }, kVectorSize,
     kPackageXorDiffers, false, [] { return PlainTampered(600, kBadXorAndSum); }},
    {"BadSumOnly", kModeImage, [] { return Tampered(600, kBadSum, kModeImage); }, kVectorSize,
     kPackageSumDiffers, false, [] { return PlainTampered(600, kBadSum); }},
    {"ChangeTheXorCannotSee", kModeCatalog, [] { return Tampered(600, kXorBlindChange); },
     kVectorSize, kPackageSumDiffers, false, [] { return PlainTampered(600, kXorBlindChange); }},
    {"OtherModeOnPlainPackage", 0, [] { return PlainTampered(600, kNoChange); }, kVectorSize,
     kPackageGood, true, nullptr},
    {"OtherModeDoesNotUnscramble", 7, [] { return Seal(Plain(600), kModeCatalog); }, kVectorSize,
     kPackageModelDiffers, true, nullptr},
    {"NegativeSizeImage", kModeImage, [] { return Seal(Plain(600), kModeImage); }, -2000,
     kPackageLengthDiffers, true, nullptr},
    {"NegativeSizeCatalog", kModeCatalog, [] { return Seal(Plain(600), kModeCatalog); }, -2000,
     kPackageCatalogTooLarge, true, nullptr},
};

INSTANTIATE_TEST_SUITE_P(Codes, CheckPackageTest, ::testing::ValuesIn(kCheckCases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(CheckPackageShortTest, NoBuffer) {
  EXPECT_EQ(CheckPackage(nullptr, 600, kModel, kModeCatalog), kPackageNoBuffer);
  EXPECT_EQ(CheckPackage(nullptr, -1, kModel, kModeImage), kPackageNoBuffer);
}

TEST(CheckPackageShortTest, SizesBelowTheHeaderAreRefusedWithoutReadingPastThem) {
  // Each buffer is exactly `size` bytes long (the sanitizer build catches a read beyond it),
  // and is the start of a good package, so only the size can make it fail.
  const Bytes good = Seal(Plain(600), kModeCatalog);
  for (std::int32_t mode : {kModeCatalog, kModeImage, 0}) {
    for (std::int32_t size = 0; size < 32; ++size) {
      auto buffer = std::make_unique<std::uint8_t[]>(static_cast<std::size_t>(size) + 1);
      std::memcpy(buffer.get(), good.data(), static_cast<std::size_t>(size));
      EXPECT_EQ(CheckPackage(buffer.get(), size, kModel, mode), kPackageLengthDiffers)
          << "mode " << mode << " size " << size;
      EXPECT_EQ(std::memcmp(buffer.get(), good.data(), static_cast<std::size_t>(size)), 0)
          << "mode " << mode << " size " << size;
    }
  }
}

TEST(PackageLayoutTest, MagicPlainHeaderScrambledImageContentAsDownloaded) {
  const Bytes data = RandomBytes(2 * 4096 + 3 * 256, 11);
  std::string error;
  const Bytes image = BuildImage(kModel, {3, 5, 3}, data, &error);
  ASSERT_FALSE(image.empty()) << error;
  const Bytes catalog = BuildCatalog(kModel, {3, {{"T0A1B201.bin", 5000, u"x"}}}, &error);
  ASSERT_FALSE(catalog.empty()) << error;

  for (const Bytes* package : {&image, &catalog}) {
    EXPECT_EQ(std::memcmp(package->data(), "ZNVeloce", 8), 0);
    // With a key of nonzero bytes, every scrambled byte differs from its plain value.
    EXPECT_NE(std::memcmp(&(*package)[16], kModel, 4), 0);
  }
  // The image content is plain on the wire, and the check leaves it as it was.
  ASSERT_EQ(image.size(), 32 + data.size());
  EXPECT_TRUE(std::equal(data.begin(), data.end(), image.begin() + 32));
  Bytes checked = image;
  ASSERT_EQ(
      CheckPackage(checked.data(), static_cast<std::int32_t>(checked.size()), kModel, kModeImage),
      kPackageGood);
  EXPECT_TRUE(std::equal(image.begin() + 32, image.end(), checked.begin() + 32));
  ImageHeader header;
  ASSERT_TRUE(ParseImageHeader(checked, &header));
  EXPECT_EQ(header.first, 3);
  EXPECT_EQ(header.last, 5);
  EXPECT_EQ(header.tailPages, 3);
  // The catalog's content is scrambled: its first entry's name is not readable on the wire.
  EXPECT_NE(std::memcmp(&catalog[32], "T0A1B2", 6), 0);
}

// An entry as a vendor writes it: the name, the size and the description in UTF-8.
CatalogEntry Entry(const std::string& name, std::uint32_t size, const std::string& description) {
  CatalogEntry entry;
  EXPECT_TRUE(entry.SetName(name)) << name;
  entry.size = size;
  entry.description = text::Utf8ToUtf16(description);
  return entry;
}

TEST(CatalogTest, RoundTripThroughTheCheck) {
  const std::vector<CatalogEntry> entries = {
      Entry("T0A1B215.bin", 100000, "主程式"),
      Entry("V1A1B2123.bin", 0, ""),
      Entry("C2A1B2234.bin", 4294967295u, "Demo: 示範 😀"),
  };
  std::string error;
  Bytes bytes = BuildCatalog(kModel, {3, entries}, &error);
  ASSERT_FALSE(bytes.empty()) << error;
  ASSERT_EQ(
      CheckPackage(bytes.data(), static_cast<std::int32_t>(bytes.size()), kModel, kModeCatalog),
      kPackageGood);
  EXPECT_EQ(bytes[10], 3);
  // The first entry's size field sits right after its name's zero byte, big-endian.
  EXPECT_EQ(std::memcmp(&bytes[32], "T0A1B215.bin\0\x00\x01\x86\xA0", 17), 0);

  Catalog catalog;
  ASSERT_TRUE(ParseCatalog(bytes, &catalog, &error)) << error;
  EXPECT_EQ(catalog.generation, 3);
  ASSERT_EQ(catalog.entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(catalog.entries[i].Name(), entries[i].Name());
    EXPECT_EQ(catalog.entries[i].size, entries[i].size);
    EXPECT_EQ(catalog.entries[i].description, entries[i].description);
  }
  EXPECT_EQ(bytes.back(), 0);  // the list's end
}

TEST(CatalogTest, EmptyCatalogAndOtherGeneration) {
  std::string error;
  Bytes catalog = BuildCatalog("AB7C", {2, {}}, &error);
  ASSERT_EQ(catalog.size(), 33u) << error;
  ASSERT_EQ(CheckPackage(catalog.data(), 33, "AB7C", kModeCatalog), kPackageGood);
  EXPECT_EQ(catalog[10], 2);
  EXPECT_EQ(catalog[32], 0);
}

TEST(CatalogTest, FormatLimits) {
  const std::string d36(36, 'd');
  const std::string d195(195, 'd');
  const std::string emoji = "😀";  // two UTF-16 units
  struct Case {
    const char* name;
    std::vector<CatalogEntry> entries;
    bool ok;
  };
  auto many = [&](std::size_t n) {
    std::vector<CatalogEntry> v;
    for (std::size_t i = 0; i < n; ++i)
      v.push_back(Entry(std::string(1, static_cast<char>('A' + i)).append("2A1B2"), 1, "x"));
    return v;
  };
  const Case cases[] = {
      {"name of 31", {Entry(std::string(31, 'n'), 1, "")}, true},
      {"empty name", {Entry("", 1, "")}, false},
      {"name with space", {Entry("a b", 1, "")}, false},
      {"8 entries", many(8), true},
      {"9 entries", many(9), false},
      {"195 units in the first two", {Entry("a", 1, d195), Entry("b", 1, d195)}, true},
      {"196 units", {Entry("a", 1, d195 + "d")}, false},
      {"36 units in the third", {Entry("a", 1, ""), Entry("b", 1, ""), Entry("c", 1, d36)}, true},
      {"37 units in the third",
       {Entry("a", 1, ""), Entry("b", 1, ""), Entry("c", 1, d36 + "d")},
       false},
      {"35 characters but 37 units",
       {Entry("a", 1, ""), Entry("b", 1, ""), Entry("c", 1, d36.substr(1) + emoji)},
       false},
      {"embedded U+0000", {Entry("a", 1, std::string("x\0y", 3))}, false},
  };
  for (const Case& c : cases) {
    std::string error;
    const Bytes catalog = BuildCatalog(kModel, {3, c.entries}, &error);
    EXPECT_EQ(!catalog.empty(), c.ok) << c.name;
    EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
  }
  // A name of 32 characters has no place in an entry at all.
  CatalogEntry entry;
  EXPECT_FALSE(entry.SetName(std::string(32, 'n')));
  EXPECT_FALSE(entry.SetName(std::string("a\0b", 3)));
  EXPECT_EQ(entry.Name(), "");
  std::string error;
  EXPECT_TRUE(BuildCatalog("A1B", {3, {}}, &error).empty());
  EXPECT_TRUE(BuildCatalog("A1B23", {3, {}}, &error).empty());
}

TEST(CatalogTest, ParseRefusesAListThatRunsPastTheEnd) {
  std::string error;
  Bytes catalog = BuildCatalog(kModel, {3, {Entry("T0A1B215.bin", 7, "abc")}}, &error);
  ASSERT_EQ(
      CheckPackage(catalog.data(), static_cast<std::int32_t>(catalog.size()), kModel, kModeCatalog),
      kPackageGood);
  Catalog parsed;
  // Every cut inside the entry list, including one that drops only the final zero byte.
  for (std::size_t size = 33; size < catalog.size(); ++size) {
    const Bytes cut(catalog.begin(), catalog.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(ParseCatalog(cut, &parsed, &error)) << size;
  }
  EXPECT_TRUE(ParseCatalog(catalog, &parsed, &error)) << error;
}

// Catalogs written byte by byte, independently of the builder (which refuses to make most of
// them): the parser takes each limit's last good value and refuses the first bad one.
struct RawEntry {
  std::string name;
  std::uint32_t size;
  std::u16string description;
};
Bytes RawCatalog(const std::vector<RawEntry>& entries, bool ended = true) {
  Bytes plain(32, 0);
  plain[10] = 3;
  for (const RawEntry& entry : entries) {
    plain.insert(plain.end(), entry.name.begin(), entry.name.end());
    plain.insert(plain.end(), {0, static_cast<std::uint8_t>(entry.size >> 24),
                               static_cast<std::uint8_t>(entry.size >> 16),
                               static_cast<std::uint8_t>(entry.size >> 8),
                               static_cast<std::uint8_t>(entry.size)});
    for (char16_t unit : entry.description)
      plain.insert(plain.end(),
                   {static_cast<std::uint8_t>(unit), static_cast<std::uint8_t>(unit >> 8)});
    plain.insert(plain.end(), {0, 0});
  }
  if (ended) plain.push_back(0);
  return plain;
}

TEST(CatalogTest, ParserLimitsOnHandWrittenCatalogs) {
  const std::u16string d36(36, u'd');
  const std::u16string d195(195, u'd');
  auto rows = [](std::size_t n) {
    std::vector<RawEntry> v;
    for (std::size_t i = 0; i < n; ++i) v.push_back({"C0Q" + std::to_string(100 + i), 1, u"x"});
    return v;
  };
  struct Case {
    const char* name;
    Bytes plain;
    bool ok;
    std::size_t entries;  // read when ok
  };
  Bytes truncatedSize = RawCatalog({{"T0Q713.bin", 1, u""}}, false);
  truncatedSize.resize(32 + 11 + 3);  // the name, its zero byte and 3 of the 4 size bytes
  Bytes headerOnly(32, 0);
  const Case cases[] = {
      {"no entries", RawCatalog({}), true, 0},
      {"name of 31", RawCatalog({{std::string(31, 'n'), 1, u""}}), true, 1},
      {"name of 32", RawCatalog({{std::string(32, 'n'), 1, u""}}), false, 0},
      {"8 entries", RawCatalog(rows(8)), true, 8},
      {"9 entries", RawCatalog(rows(9)), false, 0},
      {"195 units in the second", RawCatalog({{"a", 1, u""}, {"b", 1, d195}}), true, 2},
      {"196 units in the second", RawCatalog({{"a", 1, u""}, {"b", 1, d195 + u"d"}}), false, 0},
      {"36 units in the third", RawCatalog({{"a", 1, u""}, {"b", 1, u""}, {"c", 1, d36}}), true, 3},
      {"37 units in the third", RawCatalog({{"a", 1, u""}, {"b", 1, u""}, {"c", 1, d36 + u"d"}}),
       false, 0},
      {"no end of the list", RawCatalog({{"a", 1, u"x"}}, false), false, 0},
      {"size cut short", truncatedSize, false, 0},
      {"header only", headerOnly, false, 0},
      {"shorter than the header", Bytes(20, 0), false, 0},
  };
  for (const Case& c : cases) {
    Catalog catalog;
    std::string error;
    EXPECT_EQ(ParseCatalog(c.plain, &catalog, &error), c.ok) << c.name;
    EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
    if (c.ok) {
      EXPECT_EQ(catalog.entries.size(), c.entries) << c.name;
    }
  }
}

TEST(CatalogTest, ParseEntryText) {
  CatalogEntry entry;
  std::string error;
  ASSERT_TRUE(ParseCatalogEntryText("T0A1B215.bin:100000:Main: 主程式", &entry, &error));
  EXPECT_EQ(entry.Name(), "T0A1B215.bin");
  EXPECT_EQ(entry.size, 100000u);
  EXPECT_EQ(entry.description, u"Main: 主程式");
  ASSERT_TRUE(ParseCatalogEntryText("a:4294967295:", &entry, &error));
  EXPECT_EQ(entry.size, 4294967295u);
  EXPECT_EQ(entry.description, u"");
  // Each refusal says what is wrong with the text.
  const std::pair<std::string, std::string> bad[] = {
      {"a:1", "NAME:SIZE:DESCRIPTION"},
      {"a", "NAME:SIZE:DESCRIPTION"},
      {"a:4294967296:x", "below 2^32"},
      {"a::x", "below 2^32"},
      {"a:-1:x", "below 2^32"},
      {"a:1x:y", "below 2^32"},
      {std::string(32, 'n') + ":1:", "more than 31 characters"},
      {std::string("a\0b:1:", 6), "holds a zero byte"},
  };
  for (const auto& [text, why] : bad) {
    error.clear();
    EXPECT_FALSE(ParseCatalogEntryText(text, &entry, &error)) << text;
    EXPECT_NE(error.find(why), std::string::npos) << error;
  }
}

TEST(ImageTest, HeaderFromTheDataLength) {
  struct Case {
    std::uint16_t first;
    std::uint64_t size;
    bool ok;
    std::uint16_t last;
    std::uint8_t tail;
  };
  const Case cases[] = {
      {3, 256, true, 3, 1},        {3, 4096, true, 3, 16},         {3, 8192, true, 4, 16},
      {3, 8192 + 512, true, 5, 2}, {0, 4096 * 3, true, 2, 16},     {3, 0, false, 0, 0},
      {3, 300, false, 0, 0},       {65535, 4096, true, 65535, 16}, {65535, 4096 + 256, false, 0, 0},
  };
  for (const Case& c : cases) {
    ImageHeader header;
    std::string error;
    ASSERT_EQ(ImageHeaderForData(c.first, c.size, &header, &error), c.ok)
        << c.first << " " << c.size;
    if (!c.ok) continue;
    EXPECT_EQ(header.first, c.first);
    EXPECT_EQ(header.last, c.last) << c.size;
    EXPECT_EQ(header.tailPages, c.tail) << c.size;
    EXPECT_EQ(header.DataSize(), c.size);
  }
}

TEST(ImageTest, BuilderRefusesHeadersThatDoNotMatchTheData) {
  std::string error;
  EXPECT_TRUE(BuildImage(kModel, {3, 3, 17}, Bytes(17 * 256), &error).empty());
  EXPECT_TRUE(BuildImage(kModel, {5, 3, 1}, Bytes(256), &error).empty());
  EXPECT_TRUE(BuildImage(kModel, {3, 4, 1}, Bytes(4096), &error).empty());
  EXPECT_TRUE(BuildImage("A1B", {3, 4, 1}, Bytes(4096 + 256), &error).empty());
  EXPECT_FALSE(BuildImage(kModel, {3, 4, 1}, Bytes(4096 + 256), &error).empty());
  // A single sector with no tail page: an erased sector, no data.
  Bytes empty = BuildImage(kModel, {9, 9, 0}, {}, &error);
  ASSERT_EQ(empty.size(), 32u) << error;
  EXPECT_EQ(CheckPackage(empty.data(), 32, kModel, kModeImage), kPackageGood);
}

// The header parser on plain images: each limit's last good value and first bad one.
TEST(ImageTest, ParserLimits) {
  auto plain = [](std::uint8_t tail, std::uint16_t first, std::uint16_t last, std::size_t data) {
    Bytes bytes(32 + data, 0);
    bytes[27] = tail;
    bytes[28] = static_cast<std::uint8_t>(first >> 8);
    bytes[29] = static_cast<std::uint8_t>(first);
    bytes[30] = static_cast<std::uint8_t>(last >> 8);
    bytes[31] = static_cast<std::uint8_t>(last);
    return bytes;
  };
  struct Case {
    const char* name;
    Bytes image;
    bool ok;
  };
  const Case cases[] = {
      {"exactly the data", plain(1, 3, 5, 2 * 4096 + 256), true},
      {"one byte short", plain(1, 3, 5, 2 * 4096 + 255), false},
      {"more than the data", plain(1, 3, 5, 2 * 4096 + 257), true},
      {"16 tail pages", plain(16, 7, 7, 4096), true},
      {"17 tail pages", plain(17, 7, 7, 17 * 256), false},
      {"first above the last", plain(0, 8, 7, 0), false},
      {"one sector, no tail", plain(0, 7, 7, 0), true},
      {"sector 65535", plain(16, 65535, 65535, 4096), true},
      {"shorter than the header", Bytes(31, 0), false},
  };
  for (const Case& c : cases) {
    ImageHeader header;
    std::string error;
    EXPECT_EQ(ParseImageHeader(c.image, &header, &error), c.ok) << c.name;
    EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
  }
}

// The check bytes are computed a word at a time; a byte-by-byte count over the unscrambled
// package must agree at every length, across the boundaries of words and of the lane blocks.
TEST(CheckBytesTest, AgreeWithAByteByByteCountAtEveryLength) {
  std::uint32_t state = 12345;
  for (std::size_t contentSize = 0; contentSize < 2200;
       contentSize += (contentSize < 80 ? 1 : 37)) {
    std::vector<std::uint8_t> content(contentSize);
    for (std::uint8_t& byte : content) {
      state = state * 1664525u + 1013904223u;
      byte = static_cast<std::uint8_t>(state >> 23 | 0x80);  // large bytes fill the lanes fast
    }
    std::string error;
    std::vector<std::uint8_t> package =
        BuildPackage("A1B2", kModeImage, PackageHeaderBytes{}, content, &error);
    ASSERT_EQ(
        CheckPackage(package.data(), static_cast<std::int32_t>(package.size()), "A1B2", kModeImage),
        kPackageGood)
        << contentSize;
    std::uint8_t x = 0;
    std::uint8_t sum = 0;
    for (std::size_t k = 10; k < package.size(); ++k) {
      x ^= package[k];
      sum = static_cast<std::uint8_t>(sum + package[k]);
    }
    EXPECT_EQ(package[8], x) << contentSize;
    EXPECT_EQ(package[9], sum) << contentSize;
  }
}

}  // namespace
}  // namespace vqr
