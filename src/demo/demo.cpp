#include "demo/demo.h"

#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "formats/catalog.h"
#include "formats/image.h"
#include "workflow/state.h"

namespace vqr::demo {

namespace {

constexpr char kModel[] = "DM3A";

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t state) {
  std::vector<std::uint8_t> data(size);
  for (std::uint8_t& byte : data) {
    state = state * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(state >> 16);
  }
  return data;
}

}  // namespace

SampleContent MakeSampleContent() {
  SampleContent content;
  std::array<std::uint8_t, 256>& page = content.infoPage;
  page.fill(0);
  // The device holds row 0 version 0x21 and row 1 version "100"; it shows 1 0 0 2.
  page[0] = 0x21;
  page[1] = 0;
  page[2] = 0;
  page[3] = 2;
  page[4] = '1';
  page[5] = '0';
  page[6] = '0';
  page[7] = kUpdaterGeneration;
  for (int i = 0; i < 4; ++i) page[12 + i] = static_cast<std::uint8_t>(kModel[i]);

  struct Sample {
    const char* name;  // characters 2 to 5 are the image's model code
    ImageHeader header;
    const char16_t* description;
  };
  const Sample samples[] = {
      {"BT3A22.bin", {2, 5, 8}, u"開機程式"},  // row 0: version 0x22, newer than the device's
      {"MF3101.bin", {8, 12, 16}, u"主程式"},  // row 1: version "101"
      {"OP3301.bin", {16, 18, 4}, u"繁體中文介面"},
      {"OP3302.bin", {16, 18, 4}, u"English interface"},
      {"OP3303.bin", {16, 17, 0}, u"日本語インターフェース"},
  };
  Catalog catalog;
  std::uint32_t pattern = 1;
  for (const Sample& sample : samples) {
    const std::string name = sample.name;
    std::string error;
    auto package = BuildImage(name.substr(2, 4), sample.header,
                              Pattern(sample.header.DataSize(), pattern++), &error);
    CatalogEntry& entry = catalog.entries.emplace_back();
    entry.SetName(name);
    entry.size = static_cast<std::uint32_t>(package.size());
    entry.description = sample.description;
    content.files["Pool3" + std::string(1, kModel[2]) + "x/" + name] = std::move(package);
  }
  std::string error;
  content.files[std::string("Door3/") + kModel + ".Bin"] = BuildCatalog(kModel, catalog, &error);
  return content;
}

namespace {

// Signs every file with a new key; the public key, or nothing when no key could be made.
std::vector<sig::PublicKey> SignContent(SampleContent* content) {
  sig::SecretKey key;
  std::string error;
  if (!sig::GenerateKeyPair(&key, &error)) return {};
  const auto now = std::chrono::duration_cast<std::chrono::seconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
  std::map<std::string, std::vector<std::uint8_t>> signatures;
  for (const auto& [path, bytes] : content->files) {
    std::string text;
    const std::string name = path.substr(path.rfind('/') + 1);
    if (!sig::Sign(bytes, key, sig::DefaultTrustedComment(now, name, true), &text, &error))
      return {};
    signatures[path + ".minisig"].assign(text.begin(), text.end());
  }
  content->files.merge(signatures);
  return {sig::PublicKeyOf(key)};
}

}  // namespace

Demo::Demo() : m_content(MakeSampleContent()), m_trusted(SignContent(&m_content)) {
  m_device = std::make_unique<sim::SimBootloader>(m_content.infoPage);
  // A full-speed device: one report per millisecond, 20 ms for a sector erase.
  m_device->SetPacing(std::chrono::microseconds(1000), std::chrono::microseconds(20000));
}

Demo::~Demo() {
  m_stop.store(true);
  if (m_plugger.joinable()) m_plugger.join();
  if (&g_hidCmd.IO().Backend() == &m_backend) g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
}

bool Demo::Start(std::chrono::milliseconds plugDelay) {
  m_server = ServeFiles(m_content.files);
  if (!m_server) return false;
  g_hidCmd.IO().UseBackend(m_backend);
  if (plugDelay.count() <= 0) {
    m_backend.Plug(m_device.get());
    return true;
  }
  m_plugger = std::thread([this, plugDelay] {
    const auto until = std::chrono::steady_clock::now() + plugDelay;
    while (!m_stop.load() && std::chrono::steady_clock::now() < until)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!m_stop.load()) m_backend.Plug(m_device.get());
  });
  return true;
}

Demo* StartDemo(std::chrono::milliseconds plugDelay) {
  static Demo demo;
  return demo.Start(plugDelay) ? &demo : nullptr;
}

}  // namespace vqr::demo
