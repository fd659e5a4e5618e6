// The package container: the 32-byte header, the XOR scrambling and the two check bytes common
// to every file the updater downloads, with the check (CheckPackage) and its inverse (package
// building) written as one piece so that the two can never drift apart.
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

// CheckPackage's results, in the order in which the conditions are tested. (-8 is unused.)
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

// A short English meaning of a result code, for tools and logs ("unknown code" otherwise).
const char* PackageResultText(std::int32_t code);

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

// ---- Catalogs ---------------------------------------------------------------------------

inline constexpr std::uint8_t kCatalogGeneration = 3;
inline constexpr std::size_t kCatalogMaxEntries = 8;
inline constexpr std::size_t kCatalogMaxName = 31;               // ASCII characters
inline constexpr std::size_t kCatalogMaxDescription = 195;       // UTF-16 units
inline constexpr std::size_t kCatalogMaxListedDescription = 36;  // entries 2 and up

// One entry as a vendor writes it: the description in UTF-8.
struct CatalogSpecEntry {
  std::string name;
  std::uint32_t size = 0;
  std::string description;
};

// Parses "NAME:SIZE:DESCRIPTION" (the description may itself contain ':'; SIZE is decimal).
// False with a message in *error when the text has no two colons or SIZE is not a number of
// at most 32 bits. The format limits are checked by BuildCatalogPackage.
bool ParseCatalogSpecEntry(std::string_view text, CatalogSpecEntry* entry, std::string* error);

// Builds a catalog package (mode 5): byte 10 = `generation`, then from offset 32 each entry as
// its name and a zero byte, its size (32-bit big-endian) and its description as UTF-16LE
// with a 16-bit zero, then one zero byte that ends the list. Refuses, with an empty result
// and a message in *error: a model code that is not four ASCII characters, a name that is
// empty, longer than 31 characters or not printable ASCII, more than 8 entries, a
// description of more than 195 UTF-16 units (36 from the third entry on) or with an embedded
// U+0000, and a package larger than 2048 bytes.
std::vector<std::uint8_t> BuildCatalogPackage(std::string_view model, std::uint8_t generation,
                                              const std::vector<CatalogSpecEntry>& entries,
                                              std::string* error);

// A catalog's fields as read back from an unscrambled package.
struct CatalogEntryInfo {
  std::string name;
  std::uint32_t size = 0;
  std::u16string description;
};
struct CatalogInfo {
  std::uint8_t generation = 0;
  std::vector<CatalogEntryInfo> entries;
};

// Reads the entry list of an unscrambled catalog of `size` bytes, never past `size`. False
// with a message when an entry runs past the end or breaks a format limit (the entries read
// so far are kept in *info).
bool DecodeCatalog(std::span<const std::uint8_t> package, CatalogInfo* info, std::string* error);

// ---- Images -----------------------------------------------------------------------------

inline constexpr std::uint32_t kImagePageSize = 256;
inline constexpr std::uint32_t kImageSectorSize = 4096;
inline constexpr std::uint32_t kImageMaxTailPages = 16;

struct ImageLayout {
  std::uint16_t first = 0;
  std::uint16_t last = 0;
  std::uint8_t tailPages = 0;
  // Bytes of sector data the layout needs after the header.
  std::uint64_t DataSize() const;
};

// The layout that raw data of `dataSize` bytes (a nonzero multiple of 256) starting at sector
// `first` fills: its whole sectors, then the pages of the last sector. Data that ends on a
// sector boundary makes its last sector the last one, with 16 tail pages. False with a message
// when the size is 0, not a multiple of 256, or the last sector would exceed 65535.
bool LayoutForData(std::uint16_t first, std::uint64_t dataSize, ImageLayout* layout,
                   std::string* error);

// Builds an image package (mode 32): byte 27 the tail page count, 28-29 the first sector,
// 30-31 the last sector, then the data. Refuses a tail page count above 16, a first sector
// above the last, and data whose size is not exactly what the layout needs.
std::vector<std::uint8_t> BuildImagePackage(std::string_view model, const ImageLayout& layout,
                                            std::span<const std::uint8_t> data, std::string* error);

// Reads the range fields of an unscrambled image package of at least 32 bytes.
ImageLayout DecodeImageLayout(std::span<const std::uint8_t, kPackageHeaderSize> header);

}  // namespace vqr
