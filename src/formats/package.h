// The package container: the 32-byte header, the XOR scrambling and the two check bytes common
// to every file the updater downloads, with the check (CheckPackage) and its inverse
// (BuildPackage) written as one piece so that the two can never drift apart. What a catalog and
// an image put into the container is in catalog.h and image.h; what the updater accepts, step
// by step, is in accept.h.
//
// Layout (offsets from the first byte, numbers big-endian):
//    0  8  magic "ZNVeloce"                            never scrambled
//    8  1  XOR of bytes 10..L-1 (unscrambled values)   scrambled in both modes
//    9  1  sum of bytes 10..L-1 modulo 256             scrambled in both modes
//   10  6  content header (catalog: byte 10 = generation)
//   16  4  model code, four ASCII characters
//   20  4  total length L, header included
//   24  8  content header (image: 27 tail pages, 28-29 first sector, 30-31 last sector)
//   32     content                                     scrambled in mode 5 only
//
// Decisions:
//
// * Short downloads. A package's length counts its 32-byte header, so no good package is
//   shorter than 32 bytes. Every size from 0 to 31 is rejected with kLengthDiffers (-3)
//   before anything is unscrambled or compared: the buffer is left unchanged and no byte at
//   or beyond `size` is read. A good result therefore always means that the whole header and
//   the content lie within the downloaded bytes.
// * Sizes with the top bit set other than -1 (no download can be that long) are rejected with
//   kLengthDiffers too, after the catalog size limit (which catches them in mode 5 first).
// * The model code is compared as four bytes; a shorter expected code counts as padded with
//   zero bytes, which no real model code contains.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vqr {

inline constexpr std::uint32_t kPackageHeaderSize = 32;
inline constexpr std::uint32_t kCatalogSizeLimit = 2048;
inline constexpr std::int32_t kModeCatalog = 5;  // bytes 8 to the end scrambled
inline constexpr std::int32_t kModeImage = 32;   // bytes 8 to 31 scrambled, content plain
inline constexpr char kPackageMagic[8] = {'Z', 'N', 'V', 'e', 'l', 'o', 'c', 'e'};

// CheckPackage's results, in the order in which the conditions are tested. The codes the
// catalog and the image add after a good check (kCatalogMalformed -8, kImageMalformed -11) are
// in catalog.h and image.h; accept.h names every code.
enum PackageResult : std::int32_t {
  kPackageGood = 0,
  kPackageNoBuffer = -1,
  kPackageDownloadFailed = -9,
  kPackageCatalogTooLarge = -6,
  kPackageModelDiffers = -7,
  kPackageMagicDiffers = -2,
  kPackageLengthDiffers = -3,
  kPackageXorDiffers = -4,
  kPackageSumDiffers = -5,
};

// True when `name` can be a file name on the update server, as it goes into a URL unescaped:
// one or more ASCII letters, digits, '.', '_' and '-', not beginning with '.'. These are the
// characters real package names use (T0A1B215.bin); none of them means anything in a URL
// ('/', '?', '#', '%', a space, CR or LF would change the request), every file system can
// store them, and without a leading '.' a name is never ".", ".." or a hidden file. Otherwise
// false, with a message in *error (when given) that names the first character refused.
bool ValidFileName(std::string_view name, std::string* error);

// True when `model` is a model code: exactly four characters of a file name (ValidFileName),
// since it names the catalog Door3/MODEL.Bin and its third character the image folder.
// Otherwise false, with a message in *error (when given).
bool ValidModelCode(std::string_view model, std::string* error);

// The 64-byte XOR key shared by every model and both modes. It is built from sixteen 32-bit
// words, each contributing its four bytes least significant first. The words are fixed for
// good: every package ever published depends on them.
const std::array<std::uint8_t, 64>& ScrambleKey();

// The key base of a model code: three times the sum of its four character codes, modulo 64.
std::uint32_t KeyBase(std::string_view model);

// Applies the XOR of `mode` with the key base of `model` to `package` in place. The XOR is
// its own inverse: the same call scrambles a plain package and unscrambles a downloaded one.
//   mode 5:  byte k (8 <= k < size) takes key byte (c + 2*(k/32) + k%32) % 64
//   mode 32: byte k (8 <= k < min(size, 32)) takes key byte (c + k) % 64
//   others:  nothing
// Never touches a byte at or beyond package.size().
void ScramblePackage(std::span<std::uint8_t> package, std::string_view model, std::int32_t mode);

// Unscrambles and validates a downloaded package in place. `size` is FetchUrl's result (-1
// for a failed download); the buffer holds at least `size` bytes. Returns a PackageResult.
// Non-blocking, no shared state apart from the constant key; safe on any thread.
std::int32_t CheckPackage(std::uint8_t* buffer, std::int32_t size, std::string_view model,
                          std::int32_t mode);

// ---- Building ---------------------------------------------------------------------------

// The content-specific header bytes: offsets 10 to 15 and 24 to 31.
struct PackageHeaderBytes {
  std::array<std::uint8_t, 6> at10{};
  std::array<std::uint8_t, 8> at24{};
};

// Stores in bytes 8 and 9 the XOR and the sum modulo 256 of bytes 10 to the end.
// `package` must hold at least 10 bytes.
void StoreCheckBytes(std::span<std::uint8_t> package);

// Builds a package: the magic, the header bytes, the model code, the length 32 + content
// size, the content, the check bytes, then the scrambling of `mode` (a mode other than 5 and
// 32 leaves it plain). The model code must be four characters; the result is empty, with a
// message in *error, when it is not or when the package would not fit its 32-bit length.
std::vector<std::uint8_t> BuildPackage(std::string_view model, std::int32_t mode,
                                       const PackageHeaderBytes& header,
                                       std::span<const std::uint8_t> content, std::string* error);

}  // namespace vqr
