// FetchUrl: downloads one file into a caller's buffer, and optionally into a local file.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

namespace vqr {

class HttpBackend;
namespace ui {
class WindowPort;
}

// What a download needs of its caller: the window that shows its message boxes, the HTTP
// backend, optionally a flag that asks it to give up between two chunks (the program is
// ending; a download given up that way is a failed one, -1), and optionally a receiver of one
// plain English line per problem that names the URL and the cause ("URL: certificate not
// accepted: ...", "URL: the server answered HTTP 404"), which the command line prints on
// standard error. The window keeps to its message boxes.
struct FetchContext {
  ui::WindowPort& port;
  HttpBackend& http;
  const std::atomic<bool>* stop = nullptr;
  std::function<void(const std::string&)> diagnose;
};

// Size of one read from the response.
inline constexpr std::uint32_t kFetchChunkSize = 0x4000;

// Downloads `url` (an absolute http URL) into `dest`, which holds `capacity` bytes, and, when
// `localFile` is not empty, also into that file (created anew; an existing file is replaced).
// Returns the number of body bytes received (0 or more) or -1 after showing a message box
// through the context's window port:
//   the client cannot be opened     "未連線!請先上網!"   "網路問題"  error icon
//   the URL cannot be opened        "無法鏈結伺服器!"   "網路問題"  information icon
//   the local file cannot be made   "無法建立!"         "本地檔"    information icon
//   a write to the local file fails "寫入失敗!"         "本地檔"    information icon
//   a read from the response fails  "讀檔案出錯!"       "網路問題"  information icon
//   the body exceeds `capacity`     "檔案過大!"         "網路問題"  information icon
// A body longer than `capacity` (or than 2^31 - 2 bytes, the most a count can say) is a failed
// download: nothing is ever stored beyond `capacity`; the chunks that fitted stay in `dest`
// and, with a local file, on disk, exactly as after any other failure. A result other than -1
// is always the number of valid bytes at the start of `dest`.
// Blocks until the download has ended or failed, including the time a message box is open.
// Keeps no state between calls.
std::int32_t FetchUrl(const FetchContext& context, std::uint8_t* dest, std::uint32_t capacity,
                      const char* url, const std::u16string& localFile);

}  // namespace vqr
