// A small world for the workers: the simulated device behind g_hidCmd, a real HTTP server on
// 127.0.0.1 serving packages made by the package builder, and the recording window port.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "formats/catalog.h"
#include "formats/image.h"
#include "formats/package.h"
#include "loopback_server.h"
#include "recording_port.h"
#include "signature/minisign.h"
#include "simulator/sim_bootloader.h"
#include "workflow/context.h"
#include "workflow/state.h"

namespace vqr::testing {

// The next nothrow allocation of exactly this many bytes fails (0: none).
void FailNextAllocationOf(std::size_t bytes);

struct InfoPageFields {
  std::array<std::uint8_t, 4> version{0x12, 0x03, 0x04, 0x05};
  std::string row1 = "345";
  std::uint8_t generation = 3;
  std::string model = "AB7C";
};
std::array<std::uint8_t, 256> MakeInfoPage(const InfoPageFields& fields);

// An image for the catalog: its row name, the sectors it covers and its data.
struct TestImage {
  std::string name;
  ImageHeader header;
  std::vector<std::uint8_t> data;
  std::vector<std::uint8_t> package;
};
// An image of `name` (its model code is characters 2 to 5) covering sectors first..last with
// `tailPages` pages in the last one, filled with a pattern that differs per image.
TestImage MakeImage(const std::string& name, std::uint16_t first, std::uint16_t last,
                    std::uint8_t tailPages);

// The update server: files by path on a scripted loopback server, and the paths asked for.
class LoopbackServer {
 public:
  LoopbackServer() : m_server(test::StartLoopbackServer()) {}
  std::string Base() const { return m_server->Url("/"); }
  // Serves `body` at `path`; with a signing key (SignWith), also its signature at
  // path.minisig, made for the file's name.
  void Put(const std::string& path, std::vector<std::uint8_t> body);
  // Signs what is Put from now on with `key` (null: no more signatures).
  void SignWith(const sig::SecretKey* key, bool prehashed = true);
  // What is served at `path` (empty when nothing is).
  std::vector<std::uint8_t> File(const std::string& path) const;
  // Serves `body` at `path` without signing it (a file changed after it was signed).
  void Replace(const std::string& path, const std::vector<std::uint8_t>& body);
  // The path is no longer served: the server answers with its "not found" page.
  void Remove(const std::string& path);
  // The file at `path` is cut off after `bytes` bytes: the connection closes mid-body.
  void Truncate(const std::string& path, std::size_t bytes);
  std::vector<std::string> Requests() const;

 private:
  std::unique_ptr<test::LoopbackServer> m_server;
  std::map<std::string, std::string> m_files;
  const sig::SecretKey* m_signer = nullptr;
  bool m_prehashed = true;
};

class WorkflowTest : public ::testing::Test {
 public:
  void SetUp() override;
  void TearDown() override;

  // Plugs a device with this information page and opens it through g_hidCmd.
  void Attach(const InfoPageFields& fields);
  // Publishes a catalog for the device's model with these rows (sizes of the images given,
  // or `sizes` when not empty) and the images themselves under Pool3<suffix>/.
  void Publish(const std::vector<TestImage>& images, const std::vector<std::string>& descriptions,
               std::uint8_t generation = 3);
  // The default set: two fixed images and two optional ones.
  std::vector<TestImage> StandardImages();

  // The message boxes shown, as (text, caption, icon) in order.
  std::vector<ui::PortCall> Boxes() const { return port.MessageBoxes(); }
  // The start button's captions in order.
  std::vector<std::u16string> Captions() const;

  InfoPageFields info;
  // The size of the next attached device's flash.
  std::uint32_t flashPages = sim::kPageCount;
  std::unique_ptr<sim::SimBootloader> device;
  hid::SimulatedHidBackend backend;
  LoopbackServer server;
  ui::RecordingPort port;
  // What the workers run with: the recorder, the platform's HTTP client, the loopback server.
  WorkerShared shared;
  WorkerContext context;
  std::string model = "AB7C";
  std::string tracePath;
};

std::string Utf8(const std::u16string& text);

}  // namespace vqr::testing
