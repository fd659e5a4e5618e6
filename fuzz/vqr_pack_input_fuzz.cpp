// Feeds vqr-pack's input paths arbitrary bytes: a catalog entry as typed (NAME:SIZE:DESCRIPTION),
// and a file as `catalog @IMAGE`, `check` and `verify` read it (the bounded reader, then the
// updater's acceptance as an image and as a catalog). Checks:
//  - an entry text is accepted exactly when it has two colons, a SIZE of 1 to 10 decimal
//    digits below 2^32 and a NAME of at most 31 bytes without a zero byte; the entry then
//    holds that name, that size and the UTF-8 description after the second colon as UTF-16;
//  - an entry that BuildCatalog builds comes back unchanged through the updater's acceptance;
//  - a file is read whole within a limit of its size and refused, naming its path, within
//    one byte less; the buffer is never smaller than a package header;
//  - an image the updater accepts has its data within the file, and makes a catalog row
//    (its file name, its size, a description) that comes back unchanged; an accepted catalog
//    names only file names.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "files.h"
#include "formats/accept.h"
#include "formats/catalog.h"
#include "text/text_format.h"

namespace {

constexpr char kModel[] = "AB7C";

bool FileName(std::string_view name) {
  if (name.empty() || name[0] == '.') return false;
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) return false;
  }
  return true;
}

bool SameEntry(const vqr::CatalogEntry& a, const vqr::CatalogEntry& b) {
  return std::string(a.Name()) == std::string(b.Name()) && a.size == b.size &&
         a.description == b.description;
}

// Builds a catalog of `entry` and runs it through the updater's acceptance; false when it is
// not built. Traps when it is built but does not come back unchanged.
bool RoundTrip(const vqr::CatalogEntry& entry) {
  vqr::Catalog catalog;
  catalog.entries.push_back(entry);
  std::string error;
  std::vector<std::uint8_t> bytes = vqr::BuildCatalog(kModel, catalog, &error);
  if (bytes.empty()) return false;
  vqr::Catalog back;
  const vqr::Acceptance accepted =
      vqr::AcceptCatalog(bytes.data(), static_cast<std::int32_t>(bytes.size()), kModel, &back);
  if (!accepted.Accepted() || back.entries.size() != 1 || !SameEntry(back.entries[0], entry))
    __builtin_trap();
  return true;
}

// The file the bytes are written to, named as an image of the model: one folder per fuzzing
// process (-jobs runs several at once), removed when the process ends.
class Scratch {
 public:
  Scratch()
      : m_dir("/tmp/vqr_pack_input_fuzz." + std::to_string(getpid())),
        m_path(m_dir + "/T0AB7C15.bin") {
    if (mkdir(m_dir.c_str(), 0700) != 0 && errno != EEXIST) __builtin_trap();
  }
  ~Scratch() {
    std::remove(m_path.c_str());
    rmdir(m_dir.c_str());
  }
  const std::string& Path() const { return m_path; }

 private:
  std::string m_dir;
  std::string m_path;
};

const std::string& ScratchPath() {
  static const Scratch scratch;
  return scratch.Path();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  // The entry as typed.
  vqr::CatalogEntry entry;
  std::string error;
  const bool parsed = vqr::ParseCatalogEntryText(text, &entry, &error);
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string::npos ? first : text.find(':', first + 1);
  bool wellFormed = second != std::string::npos;
  std::uint64_t sizeValue = 0;
  if (wellFormed) {
    const std::string name = text.substr(0, first);
    const std::string digits = text.substr(first + 1, second - first - 1);
    wellFormed = name.size() <= 31 && name.find('\0') == std::string::npos && !digits.empty() &&
                 digits.size() <= 10 && digits.find_first_not_of("0123456789") == std::string::npos;
    if (wellFormed) sizeValue = std::stoull(digits);
    wellFormed = wellFormed && sizeValue <= 0xFFFFFFFFu;
  }
  if (parsed != wellFormed) __builtin_trap();
  if (parsed) {
    if (std::string(entry.Name()) != text.substr(0, first) || entry.size != sizeValue ||
        entry.description != vqr::text::Utf8ToUtf16(text.substr(second + 1)))
      __builtin_trap();
    RoundTrip(entry);
  }

  // The bytes as a file that vqr-pack reads.
  const std::string& path = ScratchPath();
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    if (size > 0 && std::fwrite(data, 1, size, file) != size) __builtin_trap();
    std::fclose(file);
  } else {
    __builtin_trap();
  }
  vqr::pack::Download download;
  if (!vqr::pack::LoadDownload(path, size, "image", &download, &error) ||
      download.size != static_cast<std::int32_t>(size) || download.buffer.size() < 32 ||
      !std::equal(data, data + size, download.buffer.begin()))
    __builtin_trap();
  if (size > 0) {
    std::vector<std::uint8_t> refused;
    error.clear();
    if (vqr::pack::ReadFile(path, size - 1, "image", &refused, &error) ||
        error.find(path) == std::string::npos)
      __builtin_trap();
  }

  vqr::pack::Download asImage = download;
  vqr::ImageHeader header;
  const std::string name = path.substr(path.rfind('/') + 1);
  if (vqr::AcceptImage(asImage.buffer.data(), asImage.size, name, &header).Accepted()) {
    if (32 + header.DataSize() > size || header.first > header.last || header.tailPages > 16)
      __builtin_trap();
    vqr::CatalogEntry row;
    if (!row.SetName(name)) __builtin_trap();
    row.size = static_cast<std::uint32_t>(size);
    row.description = vqr::text::Utf8ToUtf16(text.substr(0, std::min<std::size_t>(size, 36)));
    RoundTrip(row);
  }
  vqr::pack::Download asCatalog = download;
  vqr::Catalog catalog;
  if (vqr::AcceptCatalog(asCatalog.buffer.data(), asCatalog.size, kModel, &catalog).Accepted()) {
    for (const vqr::CatalogEntry& listed : catalog.entries)
      if (!FileName(listed.Name())) __builtin_trap();
  }
  return 0;
}
