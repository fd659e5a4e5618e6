#include "formats/package.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "formats/internal.h"

namespace vqr {

using formats_internal::ReadBe32;
using formats_internal::SetError;
using formats_internal::WriteBe32;

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

}  // namespace

bool ValidFileName(std::string_view name, std::string* error) {
  if (name.empty()) {
    SetError(error, "a file name needs at least one character");
    return false;
  }
  if (name[0] == '.') {
    SetError(error, "a file name may not begin with '.'");
    return false;
  }
  for (const char c : name) {
    const bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                    c == '.' || c == '_' || c == '-';
    if (!ok) {
      char code[8];
      std::snprintf(code, sizeof code, "0x%02X",
                    static_cast<unsigned>(static_cast<unsigned char>(c)));
      SetError(error, std::string("a file name holds only ASCII letters, digits, '.', '_' and "
                                  "'-', not the byte ") +
                          code);
      return false;
    }
  }
  return true;
}

bool ValidModelCode(std::string_view model, std::string* error) {
  std::string why;
  if (model.size() != 4 || !ValidFileName(model, &why)) {
    SetError(error,
             "the model code must be four ASCII letters, digits, '.', '_' or '-' (not "
             "beginning with '.'), got '" +
                 std::string(model) + "'");
    return false;
  }
  return true;
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
  if (!ValidModelCode(model, error)) return {};
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

}  // namespace vqr
