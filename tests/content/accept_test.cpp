// The updater's acceptance of catalogs and images (formats/accept.h): the order of its steps,
// and the golden files under tests/data, which were written once and are never rebuilt here:
// the builders must reproduce them byte for byte, and the acceptance must take them apart as
// they were made.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "formats/accept.h"
#include "text/text_format.h"

namespace vqr {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Golden(const std::string& path) {
  std::ifstream in(std::string(VQR_TEST_DATA_DIR) + "/" + path, std::ios::binary);
  EXPECT_TRUE(in.good()) << "cannot read tests/data/" << path;
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

// A download held as the updater holds it: in a buffer of at least 32 bytes.
Acceptance AcceptCatalogFile(Bytes bytes, const std::string& model, Catalog* catalog) {
  const auto size = static_cast<std::int32_t>(bytes.size());
  bytes.resize(std::max<std::size_t>(bytes.size(), 32));
  return AcceptCatalog(bytes.data(), size, model, catalog);
}
Acceptance AcceptImageFile(Bytes bytes, const std::string& name, ImageHeader* header) {
  const auto size = static_cast<std::int32_t>(bytes.size());
  bytes.resize(std::max<std::size_t>(bytes.size(), 32));
  return AcceptImage(bytes.data(), size, name, header);
}

CatalogEntry Entry(const char* name, std::uint32_t size, const std::u16string& description) {
  CatalogEntry entry;
  EXPECT_TRUE(entry.SetName(name));
  entry.size = size;
  entry.description = description;
  return entry;
}

// The entries the golden catalog was made from.
Catalog GoldenCatalogInput() {
  return {3,
          {Entry("T0A1B215.bin", 8480, u"主程式"), Entry("V1A1B2123.bin", 0, u""),
           Entry("C2A1B2234.bin", 288, text::Utf8ToUtf16("Demo: 示範 😀"))}};
}

TEST(GoldenTest, BuildersReproduceTheGoldenFiles) {
  std::string error;
  EXPECT_EQ(BuildCatalog("A1B2", GoldenCatalogInput(), &error), Golden("tree/Door3/A1B2.Bin"))
      << error;

  struct Image {
    const char* data;
    std::uint16_t first;
    const char* package;
  };
  for (const Image& image : {Image{"T0A1B215.data", 3, "tree/Pool3Bx/T0A1B215.bin"},
                             Image{"C2A1B2234.data", 16, "tree/Pool3Bx/C2A1B2234.bin"}}) {
    const Bytes data = Golden(image.data);
    ImageHeader header;
    ASSERT_TRUE(ImageHeaderForData(image.first, data.size(), &header, &error)) << error;
    EXPECT_EQ(BuildImage("A1B2", header, data, &error), Golden(image.package)) << image.package;
  }
}

TEST(GoldenTest, TheAcceptanceTakesTheGoldenFilesApart) {
  Catalog catalog;
  const Acceptance catalogResult =
      AcceptCatalogFile(Golden("tree/Door3/A1B2.Bin"), "A1B2", &catalog);
  ASSERT_TRUE(catalogResult.Accepted()) << catalogResult.code << " " << catalogResult.detail;
  EXPECT_EQ(catalogResult.generation, 3);
  const Catalog expected = GoldenCatalogInput();
  ASSERT_EQ(catalog.entries.size(), expected.entries.size());
  for (std::size_t i = 0; i < expected.entries.size(); ++i) {
    EXPECT_EQ(catalog.entries[i].Name(), expected.entries[i].Name());
    EXPECT_EQ(catalog.entries[i].size, expected.entries[i].size);
    EXPECT_EQ(catalog.entries[i].description, expected.entries[i].description);
  }

  struct Case {
    const char* package;
    const char* name;
    std::int32_t code;  // 0: accepted
    ImageHeader header;
    const char* data;  // what follows the header, when accepted
  };
  const Case cases[] = {
      {"tree/Pool3Bx/T0A1B215.bin", "T0A1B215.bin", 0, {3, 5, 1}, "T0A1B215.data"},
      {"tree/Pool3Bx/C2A1B2234.bin", "C2A1B2234.bin", 0, {16, 16, 1}, "C2A1B2234.data"},
      {"broken/T0A1B215.bin", "T0A1B215.bin", kImageMalformed, {3, 9, 1}, nullptr},
      // The good image under a name whose characters 2 to 5 name another model.
      {"tree/Pool3Bx/T0A1B215.bin", "T0C3D415.bin", kPackageModelDiffers, {}, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.package) + " as " + c.name);
    ImageHeader header;
    const Bytes file = Golden(c.package);
    const Acceptance result = AcceptImageFile(file, c.name, &header);
    EXPECT_EQ(result.Accepted(), c.code == 0);
    EXPECT_EQ(result.code, c.code);
    if (c.code == kPackageModelDiffers) continue;
    EXPECT_EQ(header.first, c.header.first);
    EXPECT_EQ(header.last, c.header.last);
    EXPECT_EQ(header.tailPages, c.header.tailPages);
    if (c.data != nullptr) {
      EXPECT_EQ(Bytes(file.begin() + 32, file.end()), Golden(c.data));
    }
  }
}

// A catalog package with the given plain content after its header, generation and model.
Bytes CatalogPackage(const Bytes& content, std::uint8_t generation, const char* model = "AB7C") {
  PackageHeaderBytes header;
  header.at10[0] = generation;
  std::string error;
  return BuildPackage(model, kModeCatalog, header, content, &error);
}

const Bytes kOneEntry = {'T', '0', 'Q', '7', '1', '3', 0, 0, 0, 0, 9, 'A', 0, 0, 0, 0};
const Bytes kUnendedEntry = {'T', '0', 'Q', '7', '1', '3', 0, 0, 0, 0, 9, 'A', 0, 'B', 0};

TEST(AcceptCatalogTest, StepsInTheUpdatersOrder) {
  struct Case {
    const char* name;
    Bytes download;
    std::int32_t size;  // -2: the download's size
    Verdict verdict;
    std::int32_t code;
    std::uint8_t generation;
  };
  const Case cases[] = {
      {"Good", CatalogPackage(kOneEntry, 3), -2, Verdict::kAccepted, 0, 3},
      {"FailedDownload", CatalogPackage(kOneEntry, 3), -1, Verdict::kRefused,
       kPackageDownloadFailed, 0},
      {"OtherModel", CatalogPackage(kOneEntry, 3, "AB7D"), -2, Verdict::kRefused,
       kPackageModelDiffers, 0},
      // The package check comes first: a damaged package of another generation is damaged.
      {"DamagedOfOtherGeneration",
       [] {
         Bytes b = CatalogPackage(kOneEntry, 2);
         b[40] ^= 1;
         return b;
       }(),
       -2, Verdict::kRefused, kPackageXorDiffers, 0},
      // The generation comes before the entry list.
      {"OlderGenerationBrokenList", CatalogPackage(kUnendedEntry, 2), -2, Verdict::kOtherGeneration,
       0, 2},
      {"NewerGeneration", CatalogPackage(kOneEntry, 0x10), -2, Verdict::kOtherGeneration, 0, 0x10},
      {"BrokenList", CatalogPackage(kUnendedEntry, 3), -2, Verdict::kRefused, kCatalogMalformed, 3},
      {"TooLarge", CatalogPackage(Bytes(2048 - 32 + 1, 0), 3), -2, Verdict::kRefused,
       kPackageCatalogTooLarge, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes buffer = c.download;
    const std::int32_t size = c.size == -2 ? static_cast<std::int32_t>(buffer.size()) : c.size;
    Catalog catalog;
    const Acceptance result = AcceptCatalog(buffer.data(), size, "AB7C", &catalog);
    EXPECT_EQ(result.verdict, c.verdict);
    EXPECT_EQ(result.code, c.code);
    EXPECT_EQ(result.generation, c.generation);
    EXPECT_EQ(catalog.entries.size(), c.verdict == Verdict::kAccepted ? 1u : 0u);
    EXPECT_EQ(result.detail.empty(), c.code != kCatalogMalformed) << result.detail;
  }
}

TEST(AcceptImageTest, ModelCodeFromTheName) {
  EXPECT_EQ(ImageModelCode("T0A1B215.bin"), "A1B2");
  EXPECT_EQ(ImageModelCode("T0A1B"), "A1B");
  EXPECT_EQ(ImageModelCode("T0"), "");
  EXPECT_EQ(ImageModelCode(""), "");

  std::string error;
  const Bytes data(256, 0x5A);
  const Bytes image = BuildImage("A1B2", {1, 1, 1}, data, &error);
  struct Case {
    const char* name;
    std::int32_t code;
  };
  for (const Case& c :
       {Case{"T0A1B215.bin", 0}, Case{"xxA1B2", 0}, Case{"T0A1B3.bin", kPackageModelDiffers},
        Case{"T0A1B", kPackageModelDiffers}, Case{"T", kPackageModelDiffers}}) {
    ImageHeader header;
    EXPECT_EQ(AcceptImageFile(image, c.name, &header).code, c.code) << c.name;
  }
}

TEST(AcceptImageTest, PackageCheckBeforeTheHeader) {
  // An image whose header claims more than it holds, cut short as well: the length differs
  // (-3) before the header is looked at.
  Bytes broken = Golden("broken/T0A1B215.bin");
  ImageHeader header;
  EXPECT_EQ(AcceptImageFile(broken, "T0A1B215.bin", &header).code, kImageMalformed);
  broken.pop_back();
  EXPECT_EQ(AcceptImageFile(broken, "T0A1B215.bin", &header).code, kPackageLengthDiffers);
  Bytes buffer(32, 0);
  EXPECT_EQ(AcceptImage(buffer.data(), -1, "T0A1B215.bin", &header).code, kPackageDownloadFailed);
}

}  // namespace
}  // namespace vqr
