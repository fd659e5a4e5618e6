#include "formats/catalog.h"

#include <cstring>

#include "formats/internal.h"
#include "formats/package.h"
#include "text/text_format.h"

namespace vqr {

using formats_internal::ReadBe32;
using formats_internal::SetError;
using formats_internal::WriteBe32;

namespace {

std::size_t DescriptionLimit(std::size_t index) {
  return index >= 2 ? kCatalogMaxListedDescription : kCatalogMaxDescription;
}

}  // namespace

std::string_view CatalogEntry::Name() const {
  return std::string_view(name, strnlen(name, sizeof name));
}

bool CatalogEntry::SetName(std::string_view text) {
  if (text.size() > kCatalogMaxName || text.find('\0') != std::string_view::npos) return false;
  std::memset(name, 0, sizeof name);
  std::memcpy(name, text.data(), text.size());
  return true;
}

bool ParseCatalog(std::span<const std::uint8_t> plain, Catalog* catalog, std::string* error) {
  catalog->entries.clear();
  catalog->generation = plain.size() > 10 ? plain[10] : 0;
  const std::size_t end = plain.size();
  if (end < kPackageHeaderSize) {
    SetError(error, "shorter than the package header");
    return false;
  }
  std::size_t p = kPackageHeaderSize;
  while (true) {
    const std::string where = "entry " + std::to_string(catalog->entries.size() + 1);
    if (p >= end) {
      SetError(error, "the entry list does not end within the catalog");
      return false;
    }
    if (plain[p] == 0) return true;
    if (catalog->entries.size() == kCatalogRows) {
      SetError(error, "more than 8 entries");
      return false;
    }

    CatalogEntry entry;
    std::size_t length = 0;
    while (p + length < end && plain[p + length] != 0) ++length;
    if (p + length >= end) {
      SetError(error, where + ": the name runs past the end");
      return false;
    }
    if (length > kCatalogMaxName) {
      SetError(error, where + ": the name has " + std::to_string(length) +
                          " characters, at most 31 are allowed");
      return false;
    }
    std::memcpy(entry.name, &plain[p], length);
    p += length;  // on the name's zero byte
    // The name goes into the image's URL as it stands.
    if (std::string why; !ValidFileName(entry.Name(), &why)) {
      SetError(error, where + ": the name is no file name on the server: " + why);
      return false;
    }

    if (end - p < 5) {
      SetError(error, where + " ('" + std::string(entry.Name()) + "'): the size runs past the end");
      return false;
    }
    entry.size = ReadBe32(&plain[p + 1]);
    p += 5;

    const std::size_t limit = DescriptionLimit(catalog->entries.size());
    while (true) {
      if (end - p < 2) {
        SetError(error, where + " ('" + std::string(entry.Name()) +
                            "'): the description runs past the end");
        return false;
      }
      const char16_t unit = static_cast<char16_t>(plain[p] | plain[p + 1] << 8);
      p += 2;
      if (unit == 0) break;
      if (entry.description.size() == limit) {
        SetError(error, where + " ('" + std::string(entry.Name()) +
                            "'): the description has more than " + std::to_string(limit) +
                            " UTF-16 units");
        return false;
      }
      entry.description.push_back(unit);
    }
    catalog->entries.push_back(std::move(entry));
  }
}

std::vector<std::uint8_t> BuildCatalog(std::string_view model, const Catalog& catalog,
                                       std::string* error) {
  if (!ValidModelCode(model, error)) return {};
  if (catalog.entries.size() > kCatalogRows) {
    SetError(error,
             "a catalog holds at most 8 entries, got " + std::to_string(catalog.entries.size()));
    return {};
  }
  std::vector<std::uint8_t> content;
  for (std::size_t i = 0; i < catalog.entries.size(); ++i) {
    const CatalogEntry& entry = catalog.entries[i];
    const std::string_view name = entry.Name();
    const std::string where = "entry " + std::to_string(i + 1) + " ('" + std::string(name) + "')";
    if (name.empty()) {
      SetError(error, where + ": the name must have 1 to 31 characters");
      return {};
    }
    if (std::string why; !ValidFileName(name, &why)) {
      SetError(error, where + ": " + why);
      return {};
    }
    const std::size_t limit = DescriptionLimit(i);
    if (entry.description.size() > limit) {
      SetError(error, where + ": the description has " + std::to_string(entry.description.size()) +
                          " UTF-16 units, at most " + std::to_string(limit) + " are allowed" +
                          (i >= 2 ? " from the third entry on" : ""));
      return {};
    }
    if (entry.description.find(u'\0') != std::u16string::npos) {
      SetError(error, where + ": the description contains U+0000");
      return {};
    }
    content.insert(content.end(), name.begin(), name.end());
    content.push_back(0);
    std::uint8_t size[4];
    WriteBe32(size, entry.size);
    content.insert(content.end(), size, size + 4);
    for (char16_t unit : entry.description) {
      content.push_back(static_cast<std::uint8_t>(unit & 0xFF));
      content.push_back(static_cast<std::uint8_t>(unit >> 8));
    }
    content.push_back(0);
    content.push_back(0);
  }
  content.push_back(0);  // no further entry
  if (kPackageHeaderSize + content.size() > kCatalogSizeLimit) {
    SetError(error, "the catalog would have " +
                        std::to_string(kPackageHeaderSize + content.size()) +
                        " bytes, at most 2048 are allowed");
    return {};
  }
  PackageHeaderBytes header;
  header.at10[0] = catalog.generation;
  return BuildPackage(model, kModeCatalog, header, content, error);
}

bool ParseCatalogEntryText(std::string_view text, CatalogEntry* entry, std::string* error) {
  const std::size_t first = text.find(':');
  const std::size_t second = first == std::string_view::npos ? first : text.find(':', first + 1);
  if (second == std::string_view::npos) {
    SetError(error, "entry '" + std::string(text) + "' is not NAME:SIZE:DESCRIPTION");
    return false;
  }
  const std::string_view sizeText = text.substr(first + 1, second - first - 1);
  std::uint64_t size = 0;
  bool ok = !sizeText.empty() && sizeText.size() <= 10;
  for (char c : sizeText) {
    ok = ok && c >= '0' && c <= '9';
    if (ok) size = size * 10 + static_cast<std::uint64_t>(c - '0');
  }
  if (!ok || size > 0xFFFFFFFFu) {
    SetError(error, "entry '" + std::string(text) + "': SIZE must be a decimal number below 2^32");
    return false;
  }
  CatalogEntry parsed;
  if (!parsed.SetName(text.substr(0, first))) {
    const std::string_view name = text.substr(0, first);
    SetError(error, "entry '" + std::string(text) + "': the name " +
                        (name.size() > kCatalogMaxName ? "has more than 31 characters"
                                                       : "holds a zero byte"));
    return false;
  }
  parsed.size = static_cast<std::uint32_t>(size);
  parsed.description = text::Utf8ToUtf16(text.substr(second + 1));
  *entry = std::move(parsed);
  return true;
}

}  // namespace vqr
