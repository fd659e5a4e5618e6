// Feeds arbitrary downloads to CheckPackage in both modes: it may never read or write past
// the download, a good result must hold a whole header, and scrambling the checked buffer
// again must give back exactly what was downloaded. A good catalog's entry list is parsed
// too.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "formats/catalog.h"
#include "formats/package.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 5 || size > 0x100000) return 0;
  // The first four bytes are the expected model code, the rest is the download.
  const std::string_view model(reinterpret_cast<const char*>(data), 4);
  const std::uint8_t* download = data + 4;
  const std::size_t length = size - 4;
  for (std::int32_t mode : {vqr::kModeCatalog, vqr::kModeImage}) {
    // An exact-size copy, so that AddressSanitizer sees every access past the end.
    std::vector<std::uint8_t> buffer(download, download + length);
    const std::int32_t code =
        vqr::CheckPackage(buffer.data(), static_cast<std::int32_t>(length), model, mode);
    if (code == vqr::kPackageGood && length < vqr::kPackageHeaderSize) __builtin_trap();
    const bool untouched = code == vqr::kPackageCatalogTooLarge || length < vqr::kPackageHeaderSize;
    if (!untouched) vqr::ScramblePackage(buffer, model, mode);
    if (std::memcmp(buffer.data(), download, length) != 0) __builtin_trap();
    if (code == vqr::kPackageGood && mode == vqr::kModeCatalog) {
      vqr::CheckPackage(buffer.data(), static_cast<std::int32_t>(length), model, mode);
      vqr::Catalog catalog;
      vqr::ParseCatalog(buffer, &catalog, nullptr);
      if (catalog.entries.size() > vqr::kCatalogRows) __builtin_trap();
    }
  }
  return 0;
}
