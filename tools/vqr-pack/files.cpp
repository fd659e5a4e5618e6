#include "files.h"

#include <algorithm>

#include "files/bounded_read.h"
#include "files/write_file.h"

namespace vqr::pack {

bool ReadFile(const std::string& path, std::size_t limit, const char* what,
              std::vector<std::uint8_t>* data, std::string* error) {
  const files::ReadResult read = files::ReadBoundedFile(path, limit, what, data);
  if (!read.Ok()) *error = read.Message();
  return read.Ok();
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& data) {
  return files::WriteWholeFile(path, data);
}

bool LoadDownload(const std::string& path, std::size_t limit, const char* what, Download* download,
                  std::string* error) {
  static_assert(kLargestImageFile <= 0x7FFFFFFEu, "a download count carries every size read");
  if (!ReadFile(path, std::min<std::size_t>(limit, 0x7FFFFFFEu), what, &download->buffer, error))
    return false;
  download->size = static_cast<std::int32_t>(download->buffer.size());
  download->buffer.resize(std::max<std::size_t>(download->buffer.size(), kPackageHeaderSize));
  return true;
}

}  // namespace vqr::pack
