#include "files.h"

#include <algorithm>
#include <fstream>
#include <iterator>

#include "formats/package.h"

namespace vqr::pack {

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

LoadResult LoadDownload(const std::string& path, Download* download) {
  if (!ReadFile(path, &download->buffer)) return LoadResult::kUnreadable;
  if (download->buffer.size() > 0x7FFFFFFEu) return LoadResult::kTooLarge;
  download->size = static_cast<std::int32_t>(download->buffer.size());
  download->buffer.resize(std::max<std::size_t>(download->buffer.size(), kPackageHeaderSize));
  return LoadResult::kLoaded;
}

}  // namespace vqr::pack
