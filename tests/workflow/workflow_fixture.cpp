#include "workflow_fixture.h"

#include <atomic>
#include <cstdio>
#include <new>

#include "content/http_backend.h"
#include "text/text_format.h"

namespace {
std::atomic<std::size_t> g_failSize{0};
}

// The workers allocate their buffers with nothrow new; a test can make one such allocation
// fail to reach the paths of a machine that is out of memory. The others are passed on to the
// ordinary allocation of the same form, so that every delete still matches its new.
namespace {
bool FailThisAllocation(std::size_t size) {
  std::size_t expected = size;
  return size != 0 && g_failSize.compare_exchange_strong(expected, 0);
}
}  // namespace

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  if (FailThisAllocation(size)) return nullptr;
  try {
    return ::operator new(size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  if (FailThisAllocation(size)) return nullptr;
  try {
    return ::operator new[](size);
  } catch (const std::bad_alloc&) {
    return nullptr;
  }
}

namespace vqr::testing {

void FailNextAllocationOf(std::size_t bytes) {
  g_failSize.store(bytes);
}

std::string Utf8(const std::u16string& text) {
  return text::Utf16ToUtf8(text);
}

std::array<std::uint8_t, 256> MakeInfoPage(const InfoPageFields& fields) {
  std::array<std::uint8_t, 256> page{};
  page.fill(0x5A);
  for (int i = 0; i < 4; ++i) page[i] = fields.version[i];
  for (int i = 0; i < 3; ++i) page[4 + i] = static_cast<std::uint8_t>(fields.row1[i]);
  page[7] = fields.generation;
  for (int i = 0; i < 4; ++i) page[12 + i] = static_cast<std::uint8_t>(fields.model[i]);
  return page;
}

TestImage MakeImage(const std::string& name, std::uint16_t first, std::uint16_t last,
                    std::uint8_t tailPages) {
  TestImage image;
  image.name = name;
  image.header = {first, last, tailPages};
  image.data.resize(image.header.DataSize());
  std::uint32_t state = 0x9E3779B9u ^ static_cast<std::uint32_t>(std::hash<std::string>{}(name));
  for (std::uint8_t& byte : image.data) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  std::string error;
  image.package = BuildImage(std::string_view(name).substr(2, 4), image.header, image.data, &error);
  EXPECT_FALSE(image.package.empty()) << error;
  return image;
}

void LoopbackServer::Put(const std::string& path, std::vector<std::uint8_t> body) {
  m_files[path] = std::string(body.begin(), body.end());
  m_server->Set("/" + path, test::Serve(m_files[path]));
  if (m_signer) {
    std::string signature;
    std::string error;
    const std::string name = path.substr(path.rfind('/') + 1);
    ASSERT_TRUE(sig::Sign(body, *m_signer,
                          sig::DefaultTrustedComment(1700000000, name, m_prehashed), &signature,
                          &error, m_prehashed))
        << error;
    m_files[path + ".minisig"] = signature;
    m_server->Set("/" + path + ".minisig", test::Serve(m_files[path + ".minisig"]));
  }
}

void LoopbackServer::SignWith(const sig::SecretKey* key, bool prehashed) {
  m_signer = key;
  m_prehashed = prehashed;
}

std::vector<std::uint8_t> LoopbackServer::File(const std::string& path) const {
  const auto found = m_files.find(path);
  if (found == m_files.end()) return {};
  return std::vector<std::uint8_t>(found->second.begin(), found->second.end());
}

void LoopbackServer::Replace(const std::string& path, const std::vector<std::uint8_t>& body) {
  m_files[path] = std::string(body.begin(), body.end());
  m_server->Set("/" + path, test::Serve(m_files[path]));
}

void LoopbackServer::Remove(const std::string& path) {
  m_files.erase(path);
  m_server->Set("/" + path, test::Serve("<html><body>404 Not Found</body></html>", 404));
}

void LoopbackServer::Truncate(const std::string& path, std::size_t bytes) {
  m_server->Set("/" + path, test::CutAfter(m_files[path], bytes));
}

std::vector<std::string> LoopbackServer::Requests() const {
  std::vector<std::string> paths;
  for (const test::SeenRequest& seen : m_server->Seen()) paths.push_back(seen.path.substr(1));
  return paths;
}

void WorkflowTest::SetUp() {
  context.port = &port;
  context.http = &PlatformHttpBackend();
  context.serverBase = server.Base();
  context.shared = &shared;
  g_hidCmd.IO().UseBackend(backend);
  // One file per test: the tests of this program may run in parallel processes.
  const ::testing::TestInfo* test = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(test->test_suite_name()) + "." + test->name();
  for (char& c : name)
    if (c == '/') c = '_';
  tracePath = ::testing::TempDir() + name + ".trace";
  std::remove(tracePath.c_str());
  g_hidCmd.IO().StartTrace(tracePath);
}

void WorkflowTest::TearDown() {
  g_hidCmd.IO().StopTrace();
  g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
  FailNextAllocationOf(0);
}

void WorkflowTest::Attach(const InfoPageFields& fields) {
  info = fields;
  model = fields.model;
  device = std::make_unique<sim::SimBootloader>(MakeInfoPage(fields), flashPages);
  backend.Plug(device.get());
  ASSERT_EQ(FindAndOpenDevice(), 1);
}

void WorkflowTest::Publish(const std::vector<TestImage>& images,
                           const std::vector<std::string>& descriptions, std::uint8_t generation) {
  Catalog catalog;
  catalog.generation = generation;
  for (std::size_t i = 0; i < images.size(); ++i) {
    CatalogEntry& entry = catalog.entries.emplace_back();
    ASSERT_TRUE(entry.SetName(images[i].name));
    entry.size = static_cast<std::uint32_t>(images[i].package.size());
    if (i < descriptions.size()) entry.description = text::Utf8ToUtf16(descriptions[i]);
    server.Put("Pool3" + std::string(1, model[2]) + "x/" + images[i].name, images[i].package);
  }
  std::string error;
  auto bytes = BuildCatalog(model, catalog, &error);
  ASSERT_FALSE(bytes.empty()) << error;
  server.Put("Door3/" + model + ".Bin", bytes);
}

std::vector<TestImage> WorkflowTest::StandardImages() {
  // Row 0 "T0Q712": version 0x12 at characters 4-5. Row 1 "V0Q345": version text "345".
  return {MakeImage("T0Q713.bin", 3, 5, 2), MakeImage("V0Q346.bin", 10, 10, 16),
          MakeImage("C0Q234.bin", 20, 21, 0), MakeImage("C0Q299.bin", 30, 30, 1)};
}

std::vector<std::u16string> WorkflowTest::Captions() const {
  std::vector<std::u16string> captions;
  for (const ui::PortCall& call : port.Calls())
    if (call.kind == ui::PortCall::Kind::kSetText && call.control == ui::kStartButton)
      captions.push_back(call.text);
  return captions;
}

}  // namespace vqr::testing
