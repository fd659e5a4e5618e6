// Reading and writing whole files for vqr-pack's commands, and reading a package as the
// updater holds a download of it. Every file is read within the largest size that can be
// valid for what it is (files/bounded_read.h): anything else is refused with a message.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "formats/image.h"
#include "formats/package.h"

namespace vqr::pack {

// The largest file of each kind worth reading:
//   an image package: the largest image any header describes;
//   an image's raw data: that without the package header;
//   a catalog as the updater downloads it: its catalog buffer, 16 KiB (a larger body fails
//   the download before any check; up to that the acceptance gives its own verdict, -6 for a
//   catalog over 2,048 bytes).
inline constexpr std::size_t kLargestImageFile = kLargestImage;
inline constexpr std::size_t kLargestImageData = kLargestImage - kPackageHeaderSize;
inline constexpr std::size_t kLargestCatalogDownload = 0x4000;

// Reads `path` whole when it is a regular file of at most `limit` bytes; otherwise false with
// "PATH: the reason" in *error. `what` names the input ("image").
bool ReadFile(const std::string& path, std::size_t limit, const char* what,
              std::vector<std::uint8_t>* data, std::string* error);
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data);

// A file as the updater's buffer holds its download: `size` bytes of it, in a buffer of at
// least 32 bytes (the updater's buffers are never smaller).
struct Download {
  std::vector<std::uint8_t> buffer;
  std::int32_t size = 0;
};

// Reads `path` into *download, within `limit` bytes (as ReadFile).
bool LoadDownload(const std::string& path, std::size_t limit, const char* what, Download* download,
                  std::string* error);

}  // namespace vqr::pack
