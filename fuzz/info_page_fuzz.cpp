// Feeds the identification arbitrary information pages, and the update run arbitrary catalog
// entry lists for them: the first 256 bytes are the page the simulated device holds, the rest
// (when there is any) the content of the catalog the server answers with, packed for the
// page's model. Every request goes to a server of this file's own that records the URL and
// answers 404 to anything but the catalog. Checks:
//  - the device label is "版本 : [ XXXX ]" with the four digits the page gives (the low nibble
//    of byte 0, then bytes 1 to 3, each shown as 0 from 16 on);
//  - a page asking for a newer updater requests nothing;
//  - a page whose model code (bytes 12 to 15, up to a zero) is no file name of four characters
//    requests nothing and ends with 0302 -13; any other requests exactly BASE + "Door3/" +
//    MODEL + ".Bin" first;
//  - every URL requested holds only the base and file-name characters, and an image is asked
//    for only as BASE + "Pool3" + byte 14 + "x/" + NAME, NAME a file name of the catalog.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "content/http_backend.h"
#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "formats/catalog.h"
#include "formats/package.h"
#include "recording_port.h"
#include "simulator/sim_bootloader.h"
#include "workflow/context.h"
#include "workflow/workers.h"

namespace {

constexpr char kBase[] = "http://127.0.0.1:8303/";

bool NameCharacter(char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' ||
         c == '_' || c == '-';
}
bool FileName(const std::string& name) {
  if (name.empty() || name[0] == '.') return false;
  for (const char c : name)
    if (!NameCharacter(c)) return false;
  return true;
}

class Body final : public vqr::HttpRequest {
 public:
  Body(std::vector<std::uint8_t> bytes, int status) : m_bytes(std::move(bytes)), m_status(status) {}
  bool Read(std::uint8_t* chunk, std::uint32_t capacity, std::uint32_t* count) override {
    *count = static_cast<std::uint32_t>(std::min<std::size_t>(capacity, m_bytes.size() - m_at));
    std::memcpy(chunk, m_bytes.data() + m_at, *count);
    m_at += *count;
    return true;
  }
  int Status() const override { return m_status; }
  vqr::HttpFailure Failure() const override { return {}; }

 private:
  std::vector<std::uint8_t> m_bytes;
  std::size_t m_at = 0;
  int m_status;
};

// Answers the catalog's URL with `catalog` and anything else with 404; records every URL.
class Server final : public vqr::HttpBackend {
 public:
  std::vector<std::string> urls;
  std::string catalogUrl;
  std::vector<std::uint8_t> catalog;

  std::unique_ptr<vqr::HttpClient> OpenClient() override {
    class Client final : public vqr::HttpClient {
     public:
      explicit Client(Server& server) : m_server(server) {}
      std::unique_ptr<vqr::HttpRequest> OpenUrl(const char* url, std::uint32_t) override {
        m_server.urls.emplace_back(url);
        if (!m_server.catalog.empty() && m_server.catalogUrl == url)
          return std::make_unique<Body>(m_server.catalog, 200);
        const std::string page = "<html><body>404 Not Found</body></html>";
        return std::make_unique<Body>(std::vector<std::uint8_t>(page.begin(), page.end()), 404);
      }
      vqr::HttpFailure LastFailure() const override { return {}; }

     private:
      Server& m_server;
    };
    return std::make_unique<Client>(*this);
  }
};

struct Rig {
  Rig() : device(std::array<std::uint8_t, vqr::sim::kPageSize>{}) {
    vqr::g_hidCmd.IO().UseBackend(backend);
    backend.Plug(&device);
    if (vqr::FindAndOpenDevice() != 1) __builtin_trap();
  }
  vqr::sim::SimBootloader device;
  vqr::hid::SimulatedHidBackend backend;
};

char16_t Digit(unsigned value) {
  return value < 10 ? static_cast<char16_t>(u'0' + value)
                    : static_cast<char16_t>(u'A' + value - 10);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < vqr::sim::kPageSize) return 0;
  static Rig* rig = new Rig;  // one device for the whole run, as one plugged in
  std::array<std::uint8_t, vqr::sim::kPageSize> page;
  std::memcpy(page.data(), data, page.size());
  rig->device.SetPage(vqr::sim::kInfoPage, page);

  const std::string model(reinterpret_cast<const char*>(&page[12]),
                          strnlen(reinterpret_cast<const char*>(&page[12]), 4));
  Server server;
  server.catalogUrl = std::string(kBase) + "Door3/" + model + ".Bin";
  if (size > page.size()) {
    vqr::PackageHeaderBytes header;
    header.at10[0] = vqr::kUpdaterGeneration;
    std::string error;
    server.catalog = vqr::BuildPackage(
        std::string_view(reinterpret_cast<const char*>(&page[12]), 4), vqr::kModeCatalog, header,
        std::span<const std::uint8_t>(data + page.size(), size - page.size()), &error);
  }

  vqr::ui::RecordingPort port;
  vqr::WorkerShared shared;
  vqr::WorkerContext context;
  context.port = &port;
  context.http = &server;
  context.serverBase = kBase;
  context.trustedKeys = {};
  context.signaturesRequired = false;
  context.shared = &shared;
  if (vqr::IdentifyThread(&context) == 1) {
    port.UserSelects(0);
    vqr::UpdateThread(&context);
  }

  const bool outdated = page[7] > vqr::kUpdaterGeneration;
  if (!outdated) {
    std::u16string label = u"版本 : [ ";
    label += Digit(page[0] & 0x0F);
    for (int i = 1; i <= 3; ++i) label += page[i] < 16 ? Digit(page[i]) : u'0';
    label += u" ]";
    if (port.Text(vqr::ui::kDeviceLabel) != label) __builtin_trap();
  }
  const bool servable = model.size() == 4 && FileName(model);
  if (outdated || !servable) {
    if (!server.urls.empty()) __builtin_trap();
    if (!outdated) {
      const auto boxes = port.MessageBoxes();
      if (boxes.empty() || boxes.front().text != u"錯誤碼: 0302 -13") __builtin_trap();
    }
    return 0;
  }
  if (server.urls.empty() || server.urls.front() != server.catalogUrl) __builtin_trap();
  const std::string pool = std::string(kBase) + "Pool3" + static_cast<char>(page[14]) + "x/";
  for (std::size_t i = 1; i < server.urls.size(); ++i) {
    const std::string& url = server.urls[i];
    if (url.compare(0, pool.size(), pool) != 0 || !FileName(url.substr(pool.size())))
      __builtin_trap();
  }
  for (const std::string& url : server.urls) {
    const std::string path = url.substr(sizeof kBase - 1);
    for (const char c : path)
      if (!NameCharacter(c) && c != '/') __builtin_trap();
  }
  return 0;
}
