// The package container: CheckPackage's codes and their order, the key indices, and the
// builders as the inverse of the check.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "formats/package.h"
#include "text/text_format.h"

namespace vqr {
namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kModel = "A1B2";

Bytes RandomBytes(std::size_t n, unsigned rngSeed) {
  std::mt19937 rng(rngSeed);
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
  const Bytes image = BuildImagePackage(kModel, {3, 5, 3}, data, &error);
  ASSERT_FALSE(image.empty()) << error;
  const Bytes catalog = BuildCatalogPackage(kModel, 3, {{"T0A1B201.bin", 5000, "x"}}, &error);
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
  const ImageLayout layout =
      DecodeImageLayout(std::span<const std::uint8_t, 32>(checked.data(), 32));
  EXPECT_EQ(layout.first, 3);
  EXPECT_EQ(layout.last, 5);
  EXPECT_EQ(layout.tailPages, 3);
  // The catalog's content is scrambled: its first entry's name is not readable on the wire.
  EXPECT_NE(std::memcmp(&catalog[32], "T0A1B2", 6), 0);
}

TEST(CatalogTest, RoundTripThroughTheCheck) {
  const std::vector<CatalogSpecEntry> entries = {
      {"T0A1B215.bin", 100000, "主程式"},
      {"V1A1B2123.bin", 0, ""},
      {"C2A1B2234.bin", 4294967295u, "Demo: 示範 😀"},
  };
  std::string error;
  Bytes catalog = BuildCatalogPackage(kModel, 3, entries, &error);
  ASSERT_FALSE(catalog.empty()) << error;
  ASSERT_EQ(
      CheckPackage(catalog.data(), static_cast<std::int32_t>(catalog.size()), kModel, kModeCatalog),
      kPackageGood);
  EXPECT_EQ(catalog[10], 3);
  // The first entry's size field sits right after its name's zero byte, big-endian.
  EXPECT_EQ(std::memcmp(&catalog[32], "T0A1B215.bin\0\x00\x01\x86\xA0", 17), 0);

  CatalogInfo info;
  ASSERT_TRUE(DecodeCatalog(catalog, &info, &error)) << error;
  EXPECT_EQ(info.generation, 3);
  ASSERT_EQ(info.entries.size(), entries.size());
  for (std::size_t i = 0; i < entries.size(); ++i) {
    EXPECT_EQ(info.entries[i].name, entries[i].name);
    EXPECT_EQ(info.entries[i].size, entries[i].size);
    EXPECT_EQ(info.entries[i].description, text::Utf8ToUtf16(entries[i].description));
  }
  EXPECT_EQ(catalog.back(), 0);  // the list's end
}

TEST(CatalogTest, EmptyCatalogAndOtherGeneration) {
  std::string error;
  Bytes catalog = BuildCatalogPackage("AB7C", 2, {}, &error);
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
    std::vector<CatalogSpecEntry> entries;
    bool ok;
  };
  auto many = [&](std::size_t n) {
    std::vector<CatalogSpecEntry> v;
    for (std::size_t i = 0; i < n; ++i)
      v.push_back({std::string(1, static_cast<char>('A' + i)).append("2A1B2"), 1, "x"});
    return v;
  };
  const Case cases[] = {
      {"name of 31", {{std::string(31, 'n'), 1, ""}}, true},
      {"name of 32", {{std::string(32, 'n'), 1, ""}}, false},
      {"empty name", {{"", 1, ""}}, false},
      {"name with space", {{"a b", 1, ""}}, false},
      {"8 entries", many(8), true},
      {"9 entries", many(9), false},
      {"195 units in the first two", {{"a", 1, d195}, {"b", 1, d195}}, true},
      {"196 units", {{"a", 1, d195 + "d"}}, false},
      {"36 units in the third", {{"a", 1, ""}, {"b", 1, ""}, {"c", 1, d36}}, true},
      {"37 units in the third", {{"a", 1, ""}, {"b", 1, ""}, {"c", 1, d36 + "d"}}, false},
      {"35 characters but 37 units",
       {{"a", 1, ""}, {"b", 1, ""}, {"c", 1, d36.substr(1) + emoji}},
       false},
      {"embedded U+0000", {{"a", 1, std::string("x\0y", 3)}}, false},
  };
  for (const Case& c : cases) {
    std::string error;
    const Bytes catalog = BuildCatalogPackage(kModel, 3, c.entries, &error);
    EXPECT_EQ(!catalog.empty(), c.ok) << c.name;
    EXPECT_EQ(error.empty(), c.ok) << c.name << ": " << error;
  }
  std::string error;
  EXPECT_TRUE(BuildCatalogPackage("A1B", 3, {}, &error).empty());
  EXPECT_TRUE(BuildCatalogPackage("A1B23", 3, {}, &error).empty());
}

TEST(CatalogTest, DecodeRefusesAListThatRunsPastTheEnd) {
  std::string error;
  Bytes catalog = BuildCatalogPackage(kModel, 3, {{"T0A1B215.bin", 7, "abc"}}, &error);
  ASSERT_EQ(
      CheckPackage(catalog.data(), static_cast<std::int32_t>(catalog.size()), kModel, kModeCatalog),
      kPackageGood);
  CatalogInfo info;
  // Every cut inside the entry list, including one that drops only the final zero byte.
  for (std::size_t size = 33; size < catalog.size(); ++size) {
    const Bytes cut(catalog.begin(), catalog.begin() + static_cast<std::ptrdiff_t>(size));
    EXPECT_FALSE(DecodeCatalog(cut, &info, &error)) << size;
  }
  EXPECT_TRUE(DecodeCatalog(catalog, &info, &error)) << error;
}

TEST(CatalogTest, ParseEntry) {
  CatalogSpecEntry entry;
  std::string error;
  ASSERT_TRUE(ParseCatalogSpecEntry("T0A1B215.bin:100000:Main: 主程式", &entry, &error));
  EXPECT_EQ(entry.name, "T0A1B215.bin");
  EXPECT_EQ(entry.size, 100000u);
  EXPECT_EQ(entry.description, "Main: 主程式");
  ASSERT_TRUE(ParseCatalogSpecEntry("a:4294967295:", &entry, &error));
  EXPECT_EQ(entry.size, 4294967295u);
  EXPECT_EQ(entry.description, "");
  for (const char* bad : {"a:1", "a", "a:4294967296:x", "a::x", "a:-1:x", "a:1x:y"})
    EXPECT_FALSE(ParseCatalogSpecEntry(bad, &entry, &error)) << bad;
}

TEST(ImageTest, LayoutFromTheDataLength) {
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
    ImageLayout layout;
    std::string error;
    ASSERT_EQ(LayoutForData(c.first, c.size, &layout, &error), c.ok) << c.first << " " << c.size;
    if (!c.ok) continue;
    EXPECT_EQ(layout.first, c.first);
    EXPECT_EQ(layout.last, c.last) << c.size;
    EXPECT_EQ(layout.tailPages, c.tail) << c.size;
    EXPECT_EQ(layout.DataSize(), c.size);
  }
}

TEST(ImageTest, BuilderRefusesLayoutsThatDoNotMatchTheData) {
  std::string error;
  EXPECT_TRUE(BuildImagePackage(kModel, {3, 3, 17}, Bytes(17 * 256), &error).empty());
  EXPECT_TRUE(BuildImagePackage(kModel, {5, 3, 1}, Bytes(256), &error).empty());
  EXPECT_TRUE(BuildImagePackage(kModel, {3, 4, 1}, Bytes(4096), &error).empty());
  EXPECT_FALSE(BuildImagePackage(kModel, {3, 4, 1}, Bytes(4096 + 256), &error).empty());
  // A single sector with no tail page: an erased sector, no data.
  Bytes empty = BuildImagePackage(kModel, {9, 9, 0}, {}, &error);
  ASSERT_EQ(empty.size(), 32u) << error;
  EXPECT_EQ(CheckPackage(empty.data(), 32, kModel, kModeImage), kPackageGood);
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
