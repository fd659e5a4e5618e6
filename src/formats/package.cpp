#include "formats/package.h"

#include <algorithm>
#include <cstring>

#include "text/text_format.h"

namespace vqr {

namespace {

// The two check bytes over `n` bytes: their XOR and their sum modulo 256. Eight bytes at a
// time: the XOR of the words, and the bytes' sum in four 16-bit lanes, emptied every 128 words
// before a lane (at most 128 x 2 x 255 = 65280) could carry into the next.
struct CheckBytes {
  std::uint8_t x, s;
};
CheckBytes ComputeCheckBytes(const std::uint8_t* p, std::size_t n) {
  constexpr std::uint64_t kLow = 0x00FF00FF00FF00FFull;
  std::uint64_t x = 0;
  std::uint64_t sum = 0;
  std::size_t i = 0;
  while (n - i >= 8) {
    const std::size_t words = std::min<std::size_t>((n - i) / 8, 128);
    std::uint64_t lanes = 0;
    for (const std::size_t end = i + 8 * words; i < end; i += 8) {
      std::uint64_t w;
      std::memcpy(&w, p + i, 8);
      x ^= w;
      lanes += (w & kLow) + ((w >> 8) & kLow);
    }
    sum += (lanes & 0xFFFF) + ((lanes >> 16) & 0xFFFF) + ((lanes >> 32) & 0xFFFF) + (lanes >> 48);
  }
  for (; i < n; ++i) {
    x ^= p[i];
    sum += p[i];
  }
  x ^= x >> 32;
  x ^= x >> 16;
  x ^= x >> 8;
  return {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(sum)};
}

// The key words. Released with the first server content; they must never change.
constexpr std::uint32_t kScrambleWords[16] = {
    0x57C6D29C, 0x5E27D043, 0x5FDEC2B8, 0xB43C0556, 0x99E74EAE, 0x690DF520, 0xAF4DC05C, 0xEB2F169B,
    0x01543408, 0xD4EEE53D, 0xFE36676B, 0xBBB0A077, 0x406A60AA, 0x93E60FB6, 0x6148F4FB, 0xF989383B,
};

std::array<std::uint8_t, 64> MakeKey() {
  std::array<std::uint8_t, 64> key{};
  for (std::size_t i = 0; i < 64; ++i)
    key[i] = static_cast<std::uint8_t>(kScrambleWords[i / 4] >> (8 * (i % 4)));
  return key;
}

std::uint8_t ModelChar(std::string_view model, std::size_t i) {
  return i < model.size() ? static_cast<std::uint8_t>(model[i]) : 0;
}

std::uint32_t ReadBe32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}

void WriteBe32(std::uint8_t* p, std::uint32_t value) {
  p[0] = static_cast<std::uint8_t>(value >> 24);
  p[1] = static_cast<std::uint8_t>(value >> 16);
  p[2] = static_cast<std::uint8_t>(value >> 8);
  p[3] = static_cast<std::uint8_t>(value);
}

bool ValidModel(std::string_view model, std::string* error) {
  bool ok = model.size() == 4;
  for (char c : model) ok = ok && c > 0x20 && c < 0x7F;
  if (!ok && error != nullptr)
    *error =
        "the model code must be four printable ASCII characters, got '" + std::string(model) + "'";
  return ok;
}

void SetError(std::string* error, std::string text) {
  if (error != nullptr) *error = std::move(text);
}

}  // namespace

const char* PackageResultText(std::int32_t code) {
  switch (code) {
    case kPackageGood:
      return "good package";
    case kPackageNoBuffer:
      return "no buffer";
    case kPackageDownloadFailed:
      return "download failed";
    case kPackageCatalogTooLarge:
      return "catalog larger than 2048 bytes";
    case kPackageModelDiffers:
      return "model code differs";
    case kPackageMagicDiffers:
      return "magic differs";
    case kPackageLengthDiffers:
      return "length differs";
    case kPackageXorDiffers:
      return "XOR check byte differs";
    case kPackageSumDiffers:
      return "sum check byte differs";
    default:
      return "unknown code";
  }
}

const std::array<std::uint8_t, 64>& ScrambleKey() {
  static const std::array<std::uint8_t, 64> key = MakeKey();
  return key;
}

std::uint32_t KeyBase(std::string_view model) {
  std::uint32_t sum = 0;
  for (std::size_t i = 0; i < 4; ++i) sum += ModelChar(model, i);
  return (3 * sum) % 64;
}

void ScramblePackage(std::span<std::uint8_t> package, std::string_view model, std::int32_t mode) {
  const std::array<std::uint8_t, 64>& key = ScrambleKey();
  const std::uint32_t c = KeyBase(model);
  std::size_t end = 0;
  if (mode == kModeCatalog)
    end = package.size();
  else if (mode == kModeImage)
    end = package.size() < kPackageHeaderSize ? package.size() : kPackageHeaderSize;
  // Block n of 32 bytes starts at key index c + 2n; mode 32 is block 0 alone.
  for (std::size_t k = 8; k < end; ++k) package[k] ^= key[(c + 2 * (k / 32) + (k % 32)) % 64];
}

std::int32_t CheckPackage(std::uint8_t* buffer, std::int32_t size, std::string_view model,
                          std::int32_t mode) {
  if (buffer == nullptr) return kPackageNoBuffer;
  if (size == -1) return kPackageDownloadFailed;
  const std::uint32_t length = static_cast<std::uint32_t>(size);
  if (mode == kModeCatalog && length > kCatalogSizeLimit) return kPackageCatalogTooLarge;
  // Too short to hold the header (or impossibly long): nothing is read or changed.
  if (size < static_cast<std::int32_t>(kPackageHeaderSize)) return kPackageLengthDiffers;

  const std::span<std::uint8_t> package(buffer, length);
  ScramblePackage(package, model, mode);

  for (std::size_t i = 0; i < 4; ++i)
    if (package[16 + i] != ModelChar(model, i)) return kPackageModelDiffers;
  if (std::memcmp(package.data(), kPackageMagic, sizeof kPackageMagic) != 0)
    return kPackageMagicDiffers;
  if (ReadBe32(&package[20]) != length) return kPackageLengthDiffers;

  const CheckBytes check = ComputeCheckBytes(package.data() + 10, length - 10);
  if (check.x != package[8]) return kPackageXorDiffers;
  if (check.s != package[9]) return kPackageSumDiffers;
  return kPackageGood;
}

void StoreCheckBytes(std::span<std::uint8_t> package) {
  const CheckBytes check = ComputeCheckBytes(package.data() + 10, package.size() - 10);
  package[8] = check.x;
  package[9] = check.s;
}

std::vector<std::uint8_t> BuildPackage(std::string_view model, std::int32_t mode,
                                       const PackageHeaderBytes& header,
                                       std::span<const std::uint8_t> content, std::string* error) {
  if (!ValidModel(model, error)) return {};
  // The length must also stay below 2^31 so that FetchUrl's signed count can carry it.
  if (content.size() > 0x7FFFFFFFu - kPackageHeaderSize) {
    SetError(error, "the content is too large for a package");
    return {};
  }
  std::vector<std::uint8_t> package(kPackageHeaderSize + content.size());
  std::memcpy(package.data(), kPackageMagic, sizeof kPackageMagic);
  std::memcpy(&package[10], header.at10.data(), header.at10.size());
  std::memcpy(&package[16], model.data(), 4);
  WriteBe32(&package[20], static_cast<std::uint32_t>(package.size()));
  std::memcpy(&package[24], header.at24.data(), header.at24.size());
  if (!content.empty()) std::memcpy(&package[kPackageHeaderSize], content.data(), content.size());
  StoreCheckBytes(package);
  ScramblePackage(package, model, mode);
  return package;
}

// ---- Catalogs ---------------------------------------------------------------------------

bool ParseCatalogSpecEntry(std::string_view text, CatalogSpecEntry* entry, std::string* error) {
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
  entry->name = std::string(text.substr(0, first));
  entry->size = static_cast<std::uint32_t>(size);
  entry->description = std::string(text.substr(second + 1));
  return true;
}

std::vector<std::uint8_t> BuildCatalogPackage(std::string_view model, std::uint8_t generation,
                                              const std::vector<CatalogSpecEntry>& entries,
                                              std::string* error) {
  if (!ValidModel(model, error)) return {};
  if (entries.size() > kCatalogMaxEntries) {
    SetError(error, "a catalog holds at most 8 entries, got " + std::to_string(entries.size()));
    return {};
  }
  std::vector<std::uint8_t> content;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    const CatalogSpecEntry& entry = entries[i];
    const std::string where = "entry " + std::to_string(i + 1) + " ('" + entry.name + "')";
    if (entry.name.empty() || entry.name.size() > kCatalogMaxName) {
      SetError(error, where + ": the name must have 1 to 31 characters");
      return {};
    }
    for (char c : entry.name) {
      if (c <= 0x20 || c >= 0x7F) {
        SetError(error, where + ": the name must be printable ASCII without spaces");
        return {};
      }
    }
    const std::u16string description = text::Utf8ToUtf16(entry.description);
    const std::size_t limit = i >= 2 ? kCatalogMaxListedDescription : kCatalogMaxDescription;
    if (description.size() > limit) {
      SetError(error, where + ": the description has " + std::to_string(description.size()) +
                          " UTF-16 units, at most " + std::to_string(limit) + " are allowed" +
                          (i >= 2 ? " from the third entry on" : ""));
      return {};
    }
    if (description.find(u'\0') != std::u16string::npos) {
      SetError(error, where + ": the description contains U+0000");
      return {};
    }
    content.insert(content.end(), entry.name.begin(), entry.name.end());
    content.push_back(0);
    std::uint8_t size[4];
    WriteBe32(size, entry.size);
    content.insert(content.end(), size, size + 4);
    for (char16_t unit : description) {
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
  header.at10[0] = generation;
  return BuildPackage(model, kModeCatalog, header, content, error);
}

bool DecodeCatalog(std::span<const std::uint8_t> package, CatalogInfo* info, std::string* error) {
  info->entries.clear();
  if (package.size() < kPackageHeaderSize) {
    SetError(error, "shorter than the package header");
    return false;
  }
  info->generation = package[10];
  std::size_t p = kPackageHeaderSize;
  while (p < package.size() && package[p] != 0) {
    if (info->entries.size() == kCatalogMaxEntries) {
      SetError(error, "more than 8 entries");
      return false;
    }
    CatalogEntryInfo entry;
    while (p < package.size() && package[p] != 0)
      entry.name.push_back(static_cast<char>(package[p++]));
    if (p + 5 > package.size()) {
      SetError(error, "entry " + std::to_string(info->entries.size() + 1) + " runs past the end");
      return false;
    }
    entry.size = ReadBe32(&package[p + 1]);
    p += 5;
    bool ended = false;
    while (p + 2 <= package.size()) {
      const char16_t unit = static_cast<char16_t>(package[p] | (package[p + 1] << 8));
      p += 2;
      if (unit == 0) {
        ended = true;
        break;
      }
      entry.description.push_back(unit);
    }
    if (!ended) {
      SetError(error, "entry " + std::to_string(info->entries.size() + 1) + " runs past the end");
      return false;
    }
    const std::size_t limit =
        info->entries.size() >= 2 ? kCatalogMaxListedDescription : kCatalogMaxDescription;
    const bool fits = entry.name.size() <= kCatalogMaxName && entry.description.size() <= limit;
    info->entries.push_back(std::move(entry));
    if (!fits) {
      SetError(error, "entry " + std::to_string(info->entries.size()) + " breaks a format limit");
      return false;
    }
  }
  if (p >= package.size()) {
    SetError(error, "the entry list does not end within the catalog");
    return false;
  }
  return true;
}

// ---- Images -----------------------------------------------------------------------------

std::uint64_t ImageLayout::DataSize() const {
  const std::uint64_t full = first < last ? std::uint64_t{last} - first : 0;
  return full * kImageSectorSize + std::uint64_t{tailPages} * kImagePageSize;
}

bool LayoutForData(std::uint16_t first, std::uint64_t dataSize, ImageLayout* layout,
                   std::string* error) {
  if (dataSize == 0 || dataSize % kImagePageSize != 0) {
    SetError(error,
             "the data must be a nonzero multiple of 256 bytes, got " + std::to_string(dataSize));
    return false;
  }
  std::uint64_t full = dataSize / kImageSectorSize;
  std::uint64_t tail = (dataSize % kImageSectorSize) / kImagePageSize;
  if (tail == 0) {  // the last whole sector is the last sector, written in full
    full -= 1;
    tail = kImageMaxTailPages;
  }
  if (first + full > 0xFFFF) {
    SetError(error, "the data runs past sector 65535");
    return false;
  }
  layout->first = first;
  layout->last = static_cast<std::uint16_t>(first + full);
  layout->tailPages = static_cast<std::uint8_t>(tail);
  return true;
}

std::vector<std::uint8_t> BuildImagePackage(std::string_view model, const ImageLayout& layout,
                                            std::span<const std::uint8_t> data,
                                            std::string* error) {
  if (layout.tailPages > kImageMaxTailPages) {
    SetError(error, "the tail page count must be 0 to 16");
    return {};
  }
  if (layout.first > layout.last) {
    SetError(error, "the first sector lies above the last");
    return {};
  }
  if (data.size() != layout.DataSize()) {
    SetError(error, "sectors " + std::to_string(layout.first) + " to " +
                        std::to_string(layout.last) + " with " + std::to_string(layout.tailPages) +
                        " tail pages need " + std::to_string(layout.DataSize()) +
                        " bytes of data, got " + std::to_string(data.size()));
    return {};
  }
  PackageHeaderBytes header;
  header.at24[3] = layout.tailPages;
  header.at24[4] = static_cast<std::uint8_t>(layout.first >> 8);
  header.at24[5] = static_cast<std::uint8_t>(layout.first);
  header.at24[6] = static_cast<std::uint8_t>(layout.last >> 8);
  header.at24[7] = static_cast<std::uint8_t>(layout.last);
  return BuildPackage(model, kModeImage, header, data, error);
}

ImageLayout DecodeImageLayout(std::span<const std::uint8_t, kPackageHeaderSize> header) {
  ImageLayout layout;
  layout.tailPages = header[27];
  layout.first = static_cast<std::uint16_t>((header[28] << 8) | header[29]);
  layout.last = static_cast<std::uint16_t>((header[30] << 8) | header[31]);
  return layout;
}

}  // namespace vqr
