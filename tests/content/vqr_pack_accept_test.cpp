// `vqr-pack check` accepts a file if and only if the updater does: over a table of good and
// broken catalogs and images, the vqr-pack process and the acceptance functions the updater's
// workers call (formats/accept.h) give the same verdict and the same code, and that is the
// verdict each case is written to produce.
#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "formats/accept.h"
#include "run_command.h"

namespace vqr {
namespace {

using Bytes = std::vector<std::uint8_t>;

// The tool's check of a file: its exit code and the first line it prints.
struct ToolRun {
  int exitCode = -1;
  std::string firstLine;
};

ToolRun RunCheck(const std::string& arguments) {
  const testing::CommandRun run =
      testing::RunCommand(std::string(VQR_PACK_PATH) + " check " + arguments + " 2>/dev/null");
  return {run.exitCode, run.FirstLine()};
}

Bytes Golden(const std::string& path) {
  std::ifstream in(std::string(VQR_TEST_DATA_DIR) + "/" + path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Package(const char* model, std::int32_t mode, const PackageHeaderBytes& header,
              const Bytes& content) {
  std::string error;
  return BuildPackage(model, mode, header, content, &error);
}

PackageHeaderBytes CatalogHeader(std::uint8_t generation) {
  PackageHeaderBytes header;
  header.at10[0] = generation;
  return header;
}

PackageHeaderBytes ImageHeaderBytes(std::uint8_t tail, std::uint16_t first, std::uint16_t last) {
  PackageHeaderBytes header;
  header.at24[3] = tail;
  header.at24[4] = static_cast<std::uint8_t>(first >> 8);
  header.at24[5] = static_cast<std::uint8_t>(first);
  header.at24[6] = static_cast<std::uint8_t>(last >> 8);
  header.at24[7] = static_cast<std::uint8_t>(last);
  return header;
}

Bytes Changed(Bytes bytes, const std::function<void(Bytes&)>& change) {
  change(bytes);
  return bytes;
}

// An entry list: `count` entries of one-unit descriptions, ended when `ended`.
Bytes Entries(int count, bool ended = true) {
  Bytes list;
  for (int i = 0; i < count; ++i)
    list.insert(list.end(),
                {'C', '0', 'Q', static_cast<std::uint8_t>('0' + i), 0, 0, 0, 1, 0, 'x', 0, 0, 0});
  if (ended) list.push_back(0);
  return list;
}

struct Case {
  const char* name;
  const char* kind;  // "catalog" or "image"
  // A catalog: the model code checked against. An image: its name, which is the file's name.
  const char* as;
  Bytes file;
  Verdict verdict;
  std::int32_t code;  // kRefused: the code
};

std::vector<Case> Cases() {
  const Bytes goodCatalog = Package("AB7C", kModeCatalog, CatalogHeader(3), Entries(2));
  const Bytes goodImage = Golden("tree/Pool3Bx/T0A1B215.bin");
  const std::string html = "<html><body>404 Not Found</body></html>";
  return {
      {"GoodCatalog", "catalog", "AB7C", goodCatalog, Verdict::kAccepted, 0},
      {"GoldenCatalog", "catalog", "A1B2", Golden("tree/Door3/A1B2.Bin"), Verdict::kAccepted, 0},
      {"EightEntries", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(3), Entries(8)), Verdict::kAccepted, 0},
      {"CatalogOfAnotherModel", "catalog", "AB7D", goodCatalog, Verdict::kRefused,
       kPackageModelDiffers},
      {"ErrorPage", "catalog", "AB7C", Bytes(html.begin(), html.end()), Verdict::kRefused,
       kPackageModelDiffers},
      {"CatalogMagic", "catalog", "AB7C", Changed(goodCatalog, [](Bytes& b) { b[3] ^= 1; }),
       Verdict::kRefused, kPackageMagicDiffers},
      {"CatalogContentByte", "catalog", "AB7C", Changed(goodCatalog, [](Bytes& b) { b[40] ^= 1; }),
       Verdict::kRefused, kPackageXorDiffers},
      {"CatalogCutShort", "catalog", "AB7C", Changed(goodCatalog, [](Bytes& b) { b.pop_back(); }),
       Verdict::kRefused, kPackageLengthDiffers},
      {"CatalogWithAByteBehind", "catalog", "AB7C",
       Changed(goodCatalog, [](Bytes& b) { b.push_back(0); }), Verdict::kRefused,
       kPackageLengthDiffers},
      {"EmptyFile", "catalog", "AB7C", {}, Verdict::kRefused, kPackageLengthDiffers},
      {"CatalogOf2049Bytes", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(3), Bytes(2049 - 32, 0)), Verdict::kRefused,
       kPackageCatalogTooLarge},
      {"OlderGeneration", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(2), Entries(1)), Verdict::kOtherGeneration, 0},
      {"NewerGenerationBrokenList", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(0x10), Entries(1, false)),
       Verdict::kOtherGeneration, 0},
      {"UnendedList", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(3), Entries(1, false)), Verdict::kRefused,
       kCatalogMalformed},
      {"NineEntries", "catalog", "AB7C",
       Package("AB7C", kModeCatalog, CatalogHeader(3), Entries(9)), Verdict::kRefused,
       kCatalogMalformed},

      {"GoldenImage", "image", "T0A1B215.bin", goodImage, Verdict::kAccepted, 0},
      {"HeaderOnly", "image", "T0A1B215.bin",
       Package("A1B2", kModeImage, ImageHeaderBytes(0, 9, 9), {}), Verdict::kAccepted, 0},
      {"MoreDataThanTheRange", "image", "T0A1B215.bin",
       Package("A1B2", kModeImage, ImageHeaderBytes(1, 3, 3), Bytes(512, 7)), Verdict::kAccepted,
       0},
      {"GoldenRangeBeyondTheData", "image", "T0A1B215.bin", Golden("broken/T0A1B215.bin"),
       Verdict::kRefused, kImageMalformed},
      {"SeventeenTailPages", "image", "T0A1B215.bin",
       Package("A1B2", kModeImage, ImageHeaderBytes(17, 3, 3), Bytes(17 * 256, 7)),
       Verdict::kRefused, kImageMalformed},
      {"FirstAboveLast", "image", "T0A1B215.bin",
       Package("A1B2", kModeImage, ImageHeaderBytes(1, 4, 3), Bytes(256, 7)), Verdict::kRefused,
       kImageMalformed},
      {"NameOfAnotherModel", "image", "T0C3D415.bin", goodImage, Verdict::kRefused,
       kPackageModelDiffers},
      {"NameTooShortForAModel", "image", "T0A1", goodImage, Verdict::kRefused,
       kPackageModelDiffers},
      {"ImageWithAByteBehind", "image", "T0A1B215.bin",
       Changed(goodImage, [](Bytes& b) { b.push_back(0); }), Verdict::kRefused,
       kPackageLengthDiffers},
      {"ImageDataByte", "image", "T0A1B215.bin",
       Changed(goodImage, [](Bytes& b) { b[100] ^= 0x40; }), Verdict::kRefused, kPackageXorDiffers},
      {"ShorterThanAHeader", "image", "T0A1B215.bin",
       Bytes(goodImage.begin(), goodImage.begin() + 31), Verdict::kRefused, kPackageLengthDiffers},
  };
}

class ToolAgreesWithTheUpdater : public ::testing::TestWithParam<Case> {};

TEST_P(ToolAgreesWithTheUpdater, SameVerdictAndCode) {
  const Case& c = GetParam();
  const bool catalog = std::string(c.kind) == "catalog";
  const std::filesystem::path folder =
      std::filesystem::path(::testing::TempDir()) / ("vqr_pack_accept_" + std::string(c.name));
  std::filesystem::create_directories(folder);
  const std::filesystem::path path = folder / (catalog ? std::string("catalog.Bin") : c.as);
  {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(c.file.data()),
              static_cast<std::streamsize>(c.file.size()));
  }

  // The updater's path: the download in a buffer of at least 32 bytes.
  Bytes buffer = c.file;
  const auto size = static_cast<std::int32_t>(buffer.size());
  buffer.resize(std::max<std::size_t>(buffer.size(), 32));
  Catalog parsed;
  ImageHeader header;
  const Acceptance updater = catalog ? AcceptCatalog(buffer.data(), size, c.as, &parsed)
                                     : AcceptImage(buffer.data(), size, c.as, &header);
  EXPECT_EQ(updater.verdict, c.verdict);
  EXPECT_EQ(updater.code, c.verdict == Verdict::kRefused ? c.code : 0);

  const ToolRun tool = RunCheck(std::string("--kind ") + c.kind +
                                (catalog ? std::string(" --model ") + c.as : std::string()) + " '" +
                                path.string() + "'");
  EXPECT_EQ(tool.exitCode == 0, updater.Accepted()) << tool.firstLine;
  EXPECT_EQ(tool.exitCode, updater.Accepted() ? 0 : 1) << tool.firstLine;
  switch (updater.verdict) {
    case Verdict::kAccepted:
      EXPECT_EQ(tool.firstLine, "result: 0 (accepted)");
      break;
    case Verdict::kRefused:
      EXPECT_EQ(tool.firstLine.rfind("result: " + std::to_string(updater.code) + " (", 0), 0u)
          << tool.firstLine;
      break;
    case Verdict::kOtherGeneration:
      EXPECT_EQ(
          tool.firstLine.rfind("result: generation " + std::to_string(updater.generation) + " ", 0),
          0u)
          << tool.firstLine;
      break;
    case Verdict::kEmpty:
      ADD_FAILURE() << "no file can pass the package check with zero bytes";
      break;
  }
  std::filesystem::remove_all(folder);
}

INSTANTIATE_TEST_SUITE_P(Files, ToolAgreesWithTheUpdater, ::testing::ValuesIn(Cases()),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vqr
