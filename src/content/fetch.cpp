#include "content/fetch.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "content/http_backend.h"
#include "port/window_port.h"

namespace vqr {

namespace {

constexpr std::uint32_t kMaxCount = 0x7FFFFFFE;  // the largest count besides the -1 of failure

std::int32_t Fail(ui::WindowPort& port, const char16_t* text, const char16_t* caption,
                  ui::MessageIcon icon) {
  port.MessageBox(text, caption, icon);
  return -1;
}

// The optional local copy: created anew (replacing an old file), written unbuffered so that
// each chunk's write reports its own outcome.
class LocalFile {
 public:
  bool Create(const std::u16string& name) {
    m_file.pubsetbuf(nullptr, 0);
    return m_file.open(std::filesystem::path(name),
                       std::ios::out | std::ios::binary | std::ios::trunc) != nullptr;
  }
  bool Write(const std::uint8_t* data, std::uint32_t count) {
    const auto written = m_file.sputn(reinterpret_cast<const char*>(data), count);
    return written == static_cast<std::streamsize>(count) && m_file.pubsync() == 0;
  }
  void Close() { m_file.close(); }

 private:
  std::filebuf m_file;
};

}  // namespace

std::int32_t FetchUrl(const FetchContext& context, std::uint8_t* dest, std::uint32_t capacity,
                      const char* url, const std::u16string& localFile) {
  ui::WindowPort& port = context.port;
  if (dest == nullptr) capacity = 0;
  const std::uint32_t bound = capacity < kMaxCount ? capacity : kMaxCount;

  std::unique_ptr<HttpClient> client = context.http.OpenClient();
  if (!client) return Fail(port, u"未連線!請先上網!", u"網路問題", ui::MessageIcon::kError);

  // The request is released before the client (declared after it).
  std::unique_ptr<HttpRequest> request = client->OpenUrl(url);
  if (!request) return Fail(port, u"無法鏈結伺服器!", u"網路問題", ui::MessageIcon::kInformation);

  LocalFile file;
  const bool toFile = !localFile.empty();
  if (toFile && !file.Create(localFile))
    return Fail(port, u"無法建立!", u"本地檔", ui::MessageIcon::kInformation);

  std::array<std::uint8_t, kFetchChunkSize> chunk;
  std::uint32_t total = 0;
  for (;;) {
    std::uint32_t count = 0;
    const bool stopped = context.stop != nullptr && context.stop->load();
    if (stopped || !request->Read(chunk.data(), kFetchChunkSize, &count) ||
        count > kFetchChunkSize) {
      if (toFile) file.Close();
      return Fail(port, u"讀檔案出錯!", u"網路問題", ui::MessageIcon::kInformation);
    }
    if (count == 0) {
      if (toFile) file.Close();
      return static_cast<std::int32_t>(total);
    }
    if (count > bound - total) {
      if (toFile) file.Close();
      return Fail(port, u"檔案過大!", u"網路問題", ui::MessageIcon::kInformation);
    }
    if (toFile && !file.Write(chunk.data(), count)) {
      file.Close();
      return Fail(port, u"寫入失敗!", u"本地檔", ui::MessageIcon::kInformation);
    }
    std::memcpy(dest + total, chunk.data(), count);
    total += count;
  }
}

}  // namespace vqr
