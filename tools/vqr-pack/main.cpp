// vqr-pack: builds, checks and serves the update server's packages.
//
//   vqr-pack key
//   vqr-pack catalog --model M [--generation G] --out FILE ENTRY...
//       ENTRY is  NAME:SIZE:DESCRIPTION  (typed by hand; a SIZE of 0 makes the updater skip the
//       row) or  @IMAGE[:DESCRIPTION]  (an image package: the row's name is IMAGE's file name
//       and its size IMAGE's length; IMAGE must be accepted by the updater under that name).
//       Descriptions are UTF-8. Rows are in argument order.
//   vqr-pack image [--model M] [--name NAME] --first S [--last L] [--tail-pages T] --in DATA
//                  --out FILE
//       The image's model code is characters 2 to 5 of NAME (default: FILE's name), as the
//       updater takes it; a --model that differs is refused.
//   vqr-pack check --kind catalog --model M FILE
//   vqr-pack check --kind image [--model M] [--name NAME] FILE
//       Runs the updater's acceptance (formats/accept.h) and prints its result and the fields.
//       An image is checked against characters 2 to 5 of NAME (default: FILE's name).
//   vqr-pack verify DIR
//       Checks a whole update tree (verify_tree.h).
//   vqr-pack serve DIR [--port P] [--bind ADDR] [--tls-cert FILE --tls-key FILE]
//       Serves DIR in the server's layout (serve.h), over HTTPS with a certificate and its key.
//   vqr-pack keygen | sign | verify   (detached signatures: sign_commands.h)
//   vqr-pack --version
//
// Model codes are exactly four printable ASCII characters.
// Exit codes: 0 success (for check and verify: accepted), 1 a package the updater refuses or
// content that breaks its format, 2 bad arguments or a file that cannot be read or written.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string>
#include <vector>

#include "files.h"
#include "formats/accept.h"
#include "serve.h"
#include "sign_commands.h"
#include "text/text_format.h"
#include "verify_tree.h"
#include "vqr_revision.h"
#include "vqr_version.h"

namespace {

using vqr::pack::Download;
using vqr::pack::LoadDownload;
using vqr::pack::ReadFile;
using vqr::pack::WriteFile;

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& message, int code = kExitUsage) {
  std::cerr << "vqr-pack: " << message << "\n";
  return code;
}

std::string FileName(const std::string& path) {
  return std::filesystem::path(path).filename().string();
}

// An image is checked against characters 2 to 5 of its name. A --model given beside the name
// must be a model code and say the same; otherwise false, after a message, with the exit code.
bool ModelAgreesWithName(const std::string& name, const std::string& model, int* exitCode) {
  std::string error;
  if (model.empty()) return true;
  if (!vqr::ValidModelCode(model, &error)) {
    *exitCode = Fail("--model: " + error);
    return false;
  }
  const std::string_view fromName = vqr::ImageModelCode(name);
  if (model != fromName) {
    *exitCode = Fail("--model " + model + " differs from '" + std::string(fromName) +
                         "', characters 2 to 5 of the name '" + name +
                         "': the updater checks the image against its name",
                     kExitRefused);
    return false;
  }
  return true;
}

// The result line of an acceptance, and what follows it.
std::string ResultLine(const vqr::Acceptance& accepted) {
  switch (accepted.verdict) {
    case vqr::Verdict::kAccepted:
      return "result: 0 (accepted)";
    case vqr::Verdict::kOtherGeneration:
      return "result: generation " + std::to_string(accepted.generation) +
             " (refused: the updater takes only generation " +
             std::to_string(vqr::kUpdaterGeneration) + ")";
    case vqr::Verdict::kEmpty:
      return "result: empty (refused)";
    case vqr::Verdict::kRefused:
      break;
  }
  std::string line =
      "result: " + std::to_string(accepted.code) + " (" + vqr::ResultText(accepted.code);
  if (!accepted.detail.empty()) line += ": " + accepted.detail;
  return line + ")";
}

int Key() {
  static const char kHex[] = "0123456789abcdef";
  std::string line;
  for (std::uint8_t b : vqr::ScrambleKey()) {
    line.push_back(kHex[b >> 4]);
    line.push_back(kHex[b & 15]);
  }
  std::cout << line << "\n";
  return 0;
}

// One ENTRY of the catalog command (see the top of this file).
int CatalogEntryFrom(const std::string& text, vqr::CatalogEntry* entry) {
  std::string error;
  if (text.empty() || text[0] != '@')
    return vqr::ParseCatalogEntryText(text, entry, &error) ? 0 : Fail(error, kExitRefused);

  const std::size_t colon = text.find(':');
  const std::string path = text.substr(1, colon == std::string::npos ? colon : colon - 1);
  const std::string name = FileName(path);
  Download download;
  std::string readError;
  if (!LoadDownload(path, vqr::pack::kLargestImageFile, "image", &download, &readError))
    return Fail(readError);
  vqr::ImageHeader header;
  const vqr::Acceptance accepted =
      vqr::AcceptImage(download.buffer.data(), download.size, name, &header);
  if (!accepted.Accepted())
    return Fail(path + ": the updater refuses it as " + name + ": " + ResultLine(accepted),
                kExitRefused);
  if (!entry->SetName(name))
    return Fail(path + ": the name has more than 31 characters", kExitRefused);
  entry->size = static_cast<std::uint32_t>(download.size);
  entry->description =
      colon == std::string::npos ? u"" : vqr::text::Utf8ToUtf16(text.substr(colon + 1));
  return 0;
}

int Catalog(const std::string& model, int generation, const std::string& out,
            const std::vector<std::string>& texts) {
  vqr::Catalog catalog;
  catalog.generation = static_cast<std::uint8_t>(generation);
  for (const std::string& text : texts) {
    vqr::CatalogEntry entry;
    if (const int code = CatalogEntryFrom(text, &entry)) return code;
    catalog.entries.push_back(std::move(entry));
  }
  std::string error;
  const auto package = vqr::BuildCatalog(model, catalog, &error);
  if (package.empty()) return Fail(error, kExitRefused);
  if (!WriteFile(out, package)) return Fail("cannot write " + out);
  std::cout << out << ": catalog of " << catalog.entries.size() << " entries, " << package.size()
            << " bytes\n";
  return 0;
}

int Image(const std::string& givenModel, const std::string& givenName, int first, int last,
          int tailPages, const std::string& in, const std::string& out) {
  const std::string name = givenName.empty() ? FileName(out) : givenName;
  int exitCode = 0;
  if (!ModelAgreesWithName(name, givenModel, &exitCode)) return exitCode;
  const std::string model(vqr::ImageModelCode(name));
  std::string error;
  if (!vqr::ValidFileName(name, &error))
    return Fail("the name '" + name + "' cannot be an image's file name: " + error, kExitRefused);
  if (!vqr::ValidModelCode(model, &error))
    return Fail("the name '" + name + "' gives no model code in its characters 2 to 5 (" + error +
                    "): the updater checks an image against them",
                kExitRefused);
  std::vector<std::uint8_t> data;
  if (!ReadFile(in, vqr::pack::kLargestImageData, "image's data", &data, &error))
    return Fail(error);
  vqr::ImageHeader header;
  header.first = static_cast<std::uint16_t>(first);
  if (last < 0 && tailPages < 0) {
    if (!vqr::ImageHeaderForData(header.first, data.size(), &header, &error))
      return Fail(error, kExitRefused);
  } else if (last < 0) {
    // The tail is given: the rest of the data is whole sectors.
    const std::uint64_t tailBytes = std::uint64_t(tailPages) * vqr::kPageSize;
    if (data.size() < tailBytes || (data.size() - tailBytes) % vqr::kSectorSize != 0)
      return Fail(
          "the data is not whole sectors followed by " + std::to_string(tailPages) + " pages",
          kExitRefused);
    const std::uint64_t lastSector = first + (data.size() - tailBytes) / vqr::kSectorSize;
    if (lastSector > 0xFFFF) return Fail("the data runs past sector 65535", kExitRefused);
    header.last = static_cast<std::uint16_t>(lastSector);
    header.tailPages = static_cast<std::uint8_t>(tailPages);
  } else {
    if (last < first) return Fail("the first sector lies above the last", kExitRefused);
    header.last = static_cast<std::uint16_t>(last);
    if (tailPages < 0) {
      // The last sector takes what follows the whole sectors.
      const std::uint64_t full = std::uint64_t(last - first) * vqr::kSectorSize;
      if (data.size() < full || (data.size() - full) % vqr::kPageSize != 0)
        return Fail("the data does not fill sectors " + std::to_string(first) + " to " +
                        std::to_string(last - 1) + " and whole pages after them",
                    kExitRefused);
      tailPages = static_cast<int>((data.size() - full) / vqr::kPageSize);
      if (tailPages > 16) return Fail("more than 16 pages for the last sector", kExitRefused);
    }
    header.tailPages = static_cast<std::uint8_t>(tailPages);
  }
  const auto package = vqr::BuildImage(model, header, data, &error);
  if (package.empty()) return Fail(error, kExitRefused);
  if (!WriteFile(out, package)) return Fail("cannot write " + out);
  std::cout << out << ": image of sectors " << header.first << " to " << header.last << ", "
            << int(header.tailPages) << " tail pages, model " << model << ", " << package.size()
            << " bytes\n";
  return 0;
}

int CheckCatalog(const std::string& model, Download& download) {
  std::string error;
  if (model.empty()) return Fail("check --kind catalog needs --model, the device's model code");
  if (!vqr::ValidModelCode(model, &error)) return Fail("--model: " + error);
  vqr::Catalog catalog;
  const vqr::Acceptance accepted =
      vqr::AcceptCatalog(download.buffer.data(), download.size, model, &catalog);
  std::cout << ResultLine(accepted) << "\n";
  const bool checked =
      accepted.verdict != vqr::Verdict::kRefused || accepted.code == vqr::kCatalogMalformed;
  if (checked) {
    // The package check passed: its fields can be read, and the entries read before a fault.
    std::cout << "generation: " << int(accepted.generation)
              << "\nentries: " << catalog.entries.size() << "\n";
    for (std::size_t i = 0; i < catalog.entries.size(); ++i) {
      const vqr::CatalogEntry& entry = catalog.entries[i];
      std::cout << "  " << i << ": " << entry.Name() << " size " << entry.size << " \""
                << vqr::text::Utf16ToUtf8(entry.description) << "\"\n";
    }
  }
  return accepted.Accepted() ? 0 : kExitRefused;
}

int CheckImage(const std::string& givenModel, const std::string& name, Download& download) {
  int exitCode = 0;
  if (!ModelAgreesWithName(name, givenModel, &exitCode)) return exitCode;
  vqr::ImageHeader header;
  const vqr::Acceptance accepted =
      vqr::AcceptImage(download.buffer.data(), download.size, name, &header);
  std::cout << ResultLine(accepted) << "\nmodel: '" << vqr::ImageModelCode(name)
            << "' (characters 2 to 5 of " << name << ")\n";
  if (accepted.Accepted() || accepted.code == vqr::kImageMalformed)
    std::cout << "first: " << header.first << "\nlast: " << header.last
              << "\ntail pages: " << int(header.tailPages) << "\n";
  return accepted.Accepted() ? 0 : kExitRefused;
}

int Check(const std::string& model, const std::string& name, const std::string& kind,
          const std::string& path) {
  Download download;
  std::string error;
  const bool catalog = kind == "catalog";
  if (!LoadDownload(path,
                    catalog ? vqr::pack::kLargestCatalogDownload : vqr::pack::kLargestImageFile,
                    catalog ? "catalog download" : "image", &download, &error))
    return Fail(error);
  if (catalog) {
    if (!name.empty()) return Fail("--name is for images: a catalog is checked against --model");
    return CheckCatalog(model, download);
  }
  return CheckImage(model, name.empty() ? FileName(path) : name, download);
}

// The files of an update tree that devices download: Door3/*.Bin and every file of each
// Pool3*/ folder, signatures aside, in a stable order.
std::vector<std::string> TreeFiles(const std::filesystem::path& root) {
  std::vector<std::string> files;
  std::error_code error;
  for (const auto& folder : std::filesystem::directory_iterator(root, error)) {
    const std::string name = folder.path().filename().string();
    if (!folder.is_directory(error) || (name != "Door3" && name.rfind("Pool3", 0) != 0)) continue;
    for (const auto& file : std::filesystem::directory_iterator(folder.path(), error)) {
      if (!file.is_regular_file(error) || file.path().extension() == ".minisig") continue;
      if (name == "Door3" && file.path().extension() != ".Bin") continue;
      files.push_back(file.path().string());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

// `verify DIR` checks an update tree as devices meet it; with --public KEY it also checks the
// signature of every catalog and image in it. `verify --public KEY FILE...` checks the
// signatures of the files named.
int Verify(const std::string& publicKey, const std::vector<std::string>& paths) {
  std::error_code error;
  const bool tree = paths.size() == 1 && std::filesystem::is_directory(paths[0], error);
  if (!tree && publicKey.empty())
    return Fail("verify takes one update tree (a directory), or --public KEY and files");
  if (!tree) return vqr::pack::VerifySignatures(publicKey, paths);
  const int treeCode = vqr::pack::VerifyTreeCommand(paths[0]);
  if (publicKey.empty()) return treeCode;
  const std::vector<std::string> files = TreeFiles(paths[0]);
  if (files.empty()) return std::max(treeCode, kExitRefused);
  return std::max(treeCode, vqr::pack::VerifySignatures(publicKey, files));
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"vqr-pack: builds, checks and serves update packages"};
  app.name("vqr-pack");
  app.set_version_flag("--version", "vqr-pack " VQR_VERSION_TEXT VQR_REVISION_SUFFIX,
                       "print the version and exit");
  app.require_subcommand(1);

  auto* key = app.add_subcommand("key", "print the 64 key bytes as 128 hexadecimal digits");

  std::string model;
  std::string name;
  std::string out;
  int generation = vqr::kUpdaterGeneration;
  std::vector<std::string> entries;
  auto* catalog = app.add_subcommand("catalog", "build a catalog package");
  catalog->add_option("--model", model, "four-character model code")->required();
  catalog->add_option("--generation", generation, "catalog generation (byte 10)")
      ->check(CLI::Range(0, 255));
  catalog->add_option("--out", out, "output file")->required();
  catalog->add_option("entries", entries,
                      "NAME:SIZE:DESCRIPTION, or @IMAGE[:DESCRIPTION] to take the name and "
                      "size from an image package (descriptions in UTF-8)");

  int first = 0;
  int last = -1;
  int tailPages = -1;
  std::string in;
  auto* image = app.add_subcommand("image", "build an image package from raw sector data");
  image->add_option("--model", model,
                    "four-character model code (default: characters 2 to 5 of the name)");
  image->add_option("--name", name, "the image's name in the catalog (default: the --out name)");
  image->add_option("--first", first, "first sector")->required()->check(CLI::Range(0, 65535));
  image->add_option("--last", last, "last sector (default: from the data length)")
      ->check(CLI::Range(0, 65535));
  image->add_option("--tail-pages", tailPages, "pages of the last sector (default: from the data)")
      ->check(CLI::Range(0, 16));
  image->add_option("--in", in, "raw sector data, a multiple of 256 bytes")->required();
  image->add_option("--out", out, "output file")->required();

  std::string kind;
  std::string file;
  auto* check = app.add_subcommand("check", "check a package as the updater does");
  check->add_option("--model", model,
                    "expected model code (a catalog: required; an image: must match its name)");
  check->add_option("--name", name, "an image's name in the catalog (default: the file's name)");
  check->add_option("--kind", kind, "catalog or image")
      ->required()
      ->check(CLI::IsMember({"catalog", "image"}));
  check->add_option("file", file, "package file")->required();

  std::string publicKey;
  std::vector<std::string> verifyPaths;
  auto* verify = app.add_subcommand(
      "verify", "check an update tree DIR as devices meet it, or the signatures of files");
  verify->add_option("--public", publicKey,
                     ".pub file or base64 public key line: check FILE.minisig for each file "
                     "(for DIR: each catalog and image)");
  verify->add_option("paths", verifyPaths, "DIR (an update tree), or FILE... with --public")
      ->required();

  vqr::pack::ServeOptions serveOptions;
  auto* serve = app.add_subcommand("serve", "serve DIR in the update server's layout");
  serve->add_option("dir", serveOptions.dir, "content folder (Door3/MODEL.Bin, Pool3S/NAME)")
      ->required();
  serve->add_option("--port", serveOptions.port, "port (0: any free port)")
      ->check(CLI::Range(0, 65535));
  serve->add_option("--bind", serveOptions.bind, "address to listen on");
  auto* tlsCert = serve->add_option("--tls-cert", serveOptions.tlsCert,
                                    "PEM certificate (chain) to serve HTTPS with");
  auto* tlsKey =
      serve->add_option("--tls-key", serveOptions.tlsKey, "the certificate's PEM private key");
  tlsCert->needs(tlsKey);
  tlsKey->needs(tlsCert);

  const auto runSignCommand = vqr::pack::AddSignCommands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }
  if (*key) return Key();
  if (*catalog) return Catalog(model, generation, out, entries);
  if (*image) return Image(model, name, first, last, tailPages, in, out);
  if (*check) return Check(model, name, kind, file);
  if (*verify) return Verify(publicKey, verifyPaths);
  if (*serve) return vqr::pack::Serve(serveOptions);
  if (const auto code = runSignCommand()) return *code;
  return kExitUsage;
}
