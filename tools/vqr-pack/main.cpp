// vqr-pack: builds, checks and serves the update server's packages.
//
//   vqr-pack key
//   vqr-pack catalog --model M [--generation G] --out FILE ENTRY...   (ENTRY = NAME:SIZE:DESC)
//   vqr-pack image --model M --first S [--last L] [--tail-pages T] --in DATA --out FILE
//   vqr-pack check --model M --kind catalog|image FILE
//   vqr-pack serve DIR [--port P] [--bind ADDR]
//   vqr-pack keygen | sign | verify   (detached signatures: sign_commands.h)
//   vqr-pack --version
//
// Exit codes: 0 success (for check: a good package), 1 a package refused by the check or
// content that breaks its format, 2 bad arguments or a file that cannot be read or written.
#include <httplib.h>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "formats/package.h"
#include "sign_commands.h"
#include "text/text_format.h"
#include "vqr_revision.h"
#include "vqr_version.h"

namespace {

constexpr int kExitRefused = 1;
constexpr int kExitUsage = 2;

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  data->assign(std::istreambuf_iterator<char>(in), {});
  return !in.bad();
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  out.close();
  return !out.fail();
}

int Fail(const std::string& message, int code = kExitUsage) {
  std::cerr << "vqr-pack: " << message << "\n";
  return code;
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

int Catalog(const std::string& model, int generation, const std::string& out,
            const std::vector<std::string>& texts) {
  std::vector<vqr::CatalogSpecEntry> entries;
  std::string error;
  for (const std::string& text : texts) {
    vqr::CatalogSpecEntry entry;
    if (!vqr::ParseCatalogSpecEntry(text, &entry, &error)) return Fail(error, kExitRefused);
    entries.push_back(entry);
  }
  const auto package =
      vqr::BuildCatalogPackage(model, static_cast<std::uint8_t>(generation), entries, &error);
  if (package.empty()) return Fail(error, kExitRefused);
  if (!WriteFile(out, package)) return Fail("cannot write " + out);
  std::cout << out << ": catalog of " << entries.size() << " entries, " << package.size()
            << " bytes\n";
  return 0;
}

int Image(const std::string& model, int first, int last, int tailPages, const std::string& in,
          const std::string& out) {
  std::vector<std::uint8_t> data;
  if (!ReadFile(in, &data)) return Fail("cannot read " + in);
  std::string error;
  vqr::ImageLayout layout;
  layout.first = static_cast<std::uint16_t>(first);
  if (last < 0 && tailPages < 0) {
    if (!vqr::LayoutForData(layout.first, data.size(), &layout, &error))
      return Fail(error, kExitRefused);
  } else if (last < 0) {
    // The tail is given: the rest of the data is whole sectors.
    const std::uint64_t tailBytes = std::uint64_t(tailPages) * vqr::kImagePageSize;
    if (data.size() < tailBytes || (data.size() - tailBytes) % vqr::kImageSectorSize != 0)
      return Fail(
          "the data is not whole sectors followed by " + std::to_string(tailPages) + " pages",
          kExitRefused);
    const std::uint64_t lastSector = first + (data.size() - tailBytes) / vqr::kImageSectorSize;
    if (lastSector > 0xFFFF) return Fail("the data runs past sector 65535", kExitRefused);
    layout.last = static_cast<std::uint16_t>(lastSector);
    layout.tailPages = static_cast<std::uint8_t>(tailPages);
  } else {
    if (last < first) return Fail("the first sector lies above the last", kExitRefused);
    layout.last = static_cast<std::uint16_t>(last);
    if (tailPages < 0) {
      // The last sector takes what follows the whole sectors.
      const std::uint64_t full = std::uint64_t(last - first) * vqr::kImageSectorSize;
      if (data.size() < full || (data.size() - full) % vqr::kImagePageSize != 0)
        return Fail("the data does not fill sectors " + std::to_string(first) + " to " +
                        std::to_string(last - 1) + " and whole pages after them",
                    kExitRefused);
      tailPages = static_cast<int>((data.size() - full) / vqr::kImagePageSize);
      if (tailPages > 16) return Fail("more than 16 pages for the last sector", kExitRefused);
    }
    layout.tailPages = static_cast<std::uint8_t>(tailPages);
  }
  const auto package = vqr::BuildImagePackage(model, layout, data, &error);
  if (package.empty()) return Fail(error, kExitRefused);
  if (!WriteFile(out, package)) return Fail("cannot write " + out);
  std::cout << out << ": image of sectors " << layout.first << " to " << layout.last << ", "
            << int(layout.tailPages) << " tail pages, " << package.size() << " bytes\n";
  return 0;
}

int Check(const std::string& model, const std::string& kind, const std::string& path) {
  std::vector<std::uint8_t> data;
  if (!ReadFile(path, &data)) return Fail("cannot read " + path);
  if (data.size() > 0x7FFFFFFEu) return Fail(path + " is too large for a package", kExitRefused);
  const std::int32_t mode = kind == "catalog" ? vqr::kModeCatalog : vqr::kModeImage;
  const std::int32_t size = static_cast<std::int32_t>(data.size());
  // The updater's buffers always hold at least a header's worth of bytes.
  data.resize(std::max<std::size_t>(data.size(), vqr::kPackageHeaderSize));
  const std::int32_t code = vqr::CheckPackage(data.data(), size, model, mode);
  std::cout << "result: " << code << " (" << vqr::PackageResultText(code) << ")\n";
  if (code != vqr::kPackageGood) return kExitRefused;
  const std::span<const std::uint8_t> package(data.data(), static_cast<std::size_t>(size));

  if (mode == vqr::kModeCatalog) {
    vqr::CatalogInfo info;
    std::string error;
    const bool ok = vqr::DecodeCatalog(package, &info, &error);
    std::cout << "generation: " << int(info.generation)
              << (info.generation == vqr::kCatalogGeneration ? "" : " (the updater expects 3)")
              << "\nentries: " << info.entries.size() << "\n";
    for (std::size_t i = 0; i < info.entries.size(); ++i) {
      const auto& entry = info.entries[i];
      std::cout << "  " << i << ": " << entry.name << " size " << entry.size << " \""
                << vqr::text::Utf16ToUtf8(entry.description) << "\"\n";
    }
    if (!ok) return Fail("entry list: " + error, kExitRefused);
    return 0;
  }
  const vqr::ImageLayout layout =
      vqr::DecodeImageLayout(std::span<const std::uint8_t, 32>(data.data(), 32));
  std::cout << "first: " << layout.first << "\nlast: " << layout.last
            << "\ntail pages: " << int(layout.tailPages) << "\n";
  if (layout.tailPages > vqr::kImageMaxTailPages)
    return Fail("the tail page count is above 16", kExitRefused);
  if (layout.first > layout.last) return Fail("the first sector lies above the last", kExitRefused);
  if (package.size() - vqr::kPackageHeaderSize < layout.DataSize())
    return Fail("the image holds " + std::to_string(package.size() - vqr::kPackageHeaderSize) +
                    " data bytes, its range needs " + std::to_string(layout.DataSize()),
                kExitRefused);
  return 0;
}

int Serve(const std::string& dir, int port, const std::string& bind) {
  const std::filesystem::path root(dir);
  if (!std::filesystem::is_directory(root)) return Fail(dir + " is not a directory");
  httplib::Server server;
  auto sendFile = [](const std::filesystem::path& file, httplib::Response& response) {
    std::vector<std::uint8_t> data;
    std::error_code error;
    if (!std::filesystem::is_regular_file(file, error) || !ReadFile(file.string(), &data)) {
      response.status = 404;
      response.set_content("not found\n", "text/plain");
      return;
    }
    response.set_content(reinterpret_cast<const char*>(data.data()), data.size(),
                         "application/octet-stream");
  };
  // The two URL forms of the updater; nothing else is served. A component cannot hold '/'.
  server.Get(R"(/Door3/([^/]+)\.Bin)",
             [&](const httplib::Request& request, httplib::Response& response) {
               sendFile(root / "Door3" / (request.matches[1].str() + ".Bin"), response);
             });
  server.Get(R"(/Pool3([^/]+)/([^/]+))",
             [&](const httplib::Request& request, httplib::Response& response) {
               const std::string pool = "Pool3" + request.matches[1].str();
               const std::string name = request.matches[2].str();
               if (name == "." || name == "..") {
                 response.status = 404;
                 return;
               }
               sendFile(root / pool / name, response);
             });
  server.set_logger([](const httplib::Request& request, const httplib::Response& response) {
    std::printf("%s %s %d %zu \"%s\"\n", request.method.c_str(), request.path.c_str(),
                response.status, response.body.size(),
                request.get_header_value("User-Agent").c_str());
    std::fflush(stdout);
  });
  int bound = port;
  if (port == 0)
    bound = server.bind_to_any_port(bind);
  else if (!server.bind_to_port(bind, port))
    bound = -1;
  if (bound <= 0) return Fail("cannot listen on " + bind + ":" + std::to_string(port));
  std::printf("serving %s on http://%s:%d/\n", dir.c_str(), bind.c_str(), bound);
  std::fflush(stdout);
  return server.listen_after_bind() ? 0 : kExitUsage;
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
  std::string out;
  int generation = vqr::kCatalogGeneration;
  std::vector<std::string> entries;
  auto* catalog = app.add_subcommand("catalog", "build a catalog package");
  catalog->add_option("--model", model, "four-character model code")->required();
  catalog->add_option("--generation", generation, "catalog generation (byte 10)")
      ->check(CLI::Range(0, 255));
  catalog->add_option("--out", out, "output file")->required();
  catalog->add_option("entries", entries, "NAME:SIZE:DESCRIPTION (description in UTF-8)");

  int first = 0;
  int last = -1;
  int tailPages = -1;
  std::string in;
  auto* image = app.add_subcommand("image", "build an image package from raw sector data");
  image->add_option("--model", model, "four-character model code")->required();
  image->add_option("--first", first, "first sector")->required()->check(CLI::Range(0, 65535));
  image->add_option("--last", last, "last sector (default: from the data length)")
      ->check(CLI::Range(0, 65535));
  image->add_option("--tail-pages", tailPages, "pages of the last sector (default: from the data)")
      ->check(CLI::Range(0, 16));
  image->add_option("--in", in, "raw sector data, a multiple of 256 bytes")->required();
  image->add_option("--out", out, "output file")->required();

  std::string kind;
  std::string file;
  auto* check = app.add_subcommand("check", "check a package and print its fields");
  check->add_option("--model", model, "expected model code")->required();
  check->add_option("--kind", kind, "catalog or image")
      ->required()
      ->check(CLI::IsMember({"catalog", "image"}));
  check->add_option("file", file, "package file")->required();

  std::string dir;
  int port = 8303;
  std::string bind = "127.0.0.1";
  auto* serve = app.add_subcommand("serve", "serve DIR in the update server's layout");
  serve->add_option("dir", dir, "content folder (Door3/MODEL.Bin, Pool3S/NAME)")->required();
  serve->add_option("--port", port, "port (0: any free port)")->check(CLI::Range(0, 65535));
  serve->add_option("--bind", bind, "address to listen on");

  const auto runSignCommand = vqr::pack::AddSignCommands(app);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }
  if (*key) return Key();
  if (*catalog) return Catalog(model, generation, out, entries);
  if (*image) return Image(model, first, last, tailPages, in, out);
  if (*check) return Check(model, kind, file);
  if (*serve) return Serve(dir, port, bind);
  if (const auto code = runSignCommand()) return *code;
  return kExitUsage;
}
