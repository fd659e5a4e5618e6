// Reading and writing whole files for vqr-pack's commands, and reading a package as the
// updater holds a download of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vqr::pack {

bool ReadFile(const std::string& path, std::vector<std::uint8_t>* data);
bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data);

// A file as the updater's buffer holds its download: `size` bytes of it, in a buffer of at
// least 32 bytes (the updater's buffers are never smaller).
struct Download {
  std::vector<std::uint8_t> buffer;
  std::int32_t size = 0;
};

enum class LoadResult { kLoaded, kUnreadable, kTooLarge };

// Reads `path` into *download. kTooLarge: the file has 2^31 - 1 bytes or more, which no
// download count can carry (the updater's download of it fails).
LoadResult LoadDownload(const std::string& path, Download* download);

}  // namespace vqr::pack
