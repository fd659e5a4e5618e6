#include "files/write_file.h"

#include <filesystem>
#include <fstream>
#include <system_error>

namespace vqr::files {

bool WriteWholeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  out.close();
  return !out.fail();
}

bool ReplaceWholeFile(const std::string& path, std::span<const std::uint8_t> bytes) {
  const std::string temporary = path + ".tmp";
  if (!WriteWholeFile(temporary, bytes)) return false;
  std::error_code error;
  std::filesystem::rename(temporary, path, error);
  return !error;
}

}  // namespace vqr::files
