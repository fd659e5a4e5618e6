#include "content/fetch.h"

#include <array>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>

#include "content/http_backend.h"
#include "port/window_port.h"
#include "text/string_table.h"

namespace vqr {

namespace {

constexpr std::uint32_t kMaxCount = 0x7FFFFFFE;  // the largest count besides the -1 of failure

// A message box with string-table entries `text` and `caption`, then the -1 of failure.
std::int32_t Fail(ui::WindowPort& port, int text, int caption, ui::MessageIcon icon) {
  port.MessageBox(port.LoadString(text), port.LoadString(caption), icon);
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

std::string Describe(const HttpFailure& failure) {
  std::string line = HttpFailureText(failure.kind);
  if (!failure.detail.empty()) line += ": " + failure.detail;
  return line;
}

}  // namespace

const char* HttpFailureText(HttpFailure::Kind kind) {
  switch (kind) {
    case HttpFailure::Kind::kNone:
      return "no failure";
    case HttpFailure::Kind::kResolve:
      return "the host name does not resolve";
    case HttpFailure::Kind::kConnect:
      return "no connection to the server";
    case HttpFailure::Kind::kCertificate:
      return "the server's certificate was not accepted";
    case HttpFailure::Kind::kTimeout:
      return "the server did not answer in time";
    case HttpFailure::Kind::kInsecureRedirect:
      return "refused a redirect from https to http";
    case HttpFailure::Kind::kOther:
      break;
  }
  return "the request failed";
}

std::int32_t FetchUrl(const FetchContext& context, std::uint8_t* dest, std::uint32_t capacity,
                      const char* url, const std::u16string& localFile) {
  ui::WindowPort& port = context.port;
  const auto diagnose = [&context, url](const std::string& cause) {
    if (context.diagnose) context.diagnose(std::string(url != nullptr ? url : "") + ": " + cause);
  };
  if (dest == nullptr) capacity = 0;
  const std::uint32_t bound = capacity < kMaxCount ? capacity : kMaxCount;

  std::unique_ptr<HttpClient> client = context.http.OpenClient();
  if (!client) {
    diagnose("the HTTP client could not be started");
    return Fail(port, text::kStrNotConnected, text::kStrNetworkProblem, ui::MessageIcon::kError);
  }

  // The request is released before the client (declared after it).
  std::unique_ptr<HttpRequest> request = client->OpenUrl(url, bound);
  if (!request) {
    diagnose(Describe(client->LastFailure()));
    return Fail(port, text::kStrCannotConnect, text::kStrNetworkProblem,
                ui::MessageIcon::kInformation);
  }
  // An error status is no failure of the download: its body goes to the package check, which
  // refuses it. The line says what the server said, so that a missing file does not read as a
  // dead network.
  if (request->Status() >= 400)
    diagnose("the server answered HTTP " + std::to_string(request->Status()));

  LocalFile file;
  const bool toFile = !localFile.empty();
  if (toFile && !file.Create(localFile))
    return Fail(port, text::kStrCannotCreate, text::kStrLocalFile, ui::MessageIcon::kInformation);

  std::array<std::uint8_t, kFetchChunkSize> chunk;
  std::uint32_t total = 0;
  for (;;) {
    std::uint32_t count = 0;
    const bool stopped = context.stop != nullptr && context.stop->load();
    if (stopped || !request->Read(chunk.data(), kFetchChunkSize, &count) ||
        count > kFetchChunkSize) {
      diagnose(stopped ? "the download was stopped"
                       : "the download broke off: " + Describe(request->Failure()));
      if (toFile) file.Close();
      return Fail(port, text::kStrReadFailed, text::kStrNetworkProblem,
                  ui::MessageIcon::kInformation);
    }
    if (count == 0) {
      if (toFile) file.Close();
      return static_cast<std::int32_t>(total);
    }
    if (count > bound - total) {
      diagnose("the file is larger than the " + std::to_string(bound) + " bytes it may have");
      if (toFile) file.Close();
      return Fail(port, text::kStrFileTooLarge, text::kStrNetworkProblem,
                  ui::MessageIcon::kInformation);
    }
    if (toFile && !file.Write(chunk.data(), count)) {
      file.Close();
      return Fail(port, text::kStrWriteFailed, text::kStrLocalFile, ui::MessageIcon::kInformation);
    }
    std::memcpy(dest + total, chunk.data(), count);
    total += count;
  }
}

}  // namespace vqr
