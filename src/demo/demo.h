// The demo: a simulated bootloader "plugged in" a few seconds after start and a loopback HTTP
// server with sample packages built by the package builder, so the whole flow runs with no
// hardware and no network. Used by `vqr03 --demo` and `vqr03-cli --demo`.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "device/hid_simulated.h"
#include "signature/minisign.h"
#include "simulator/sim_bootloader.h"

namespace vqr::demo {

// The sample content: the device's information page and the files of the server, by path
// ("Door3/MODEL.Bin", "Pool3Sx/NAME").
struct SampleContent {
  std::array<std::uint8_t, 256> infoPage{};
  std::map<std::string, std::vector<std::uint8_t>> files;
};
SampleContent MakeSampleContent();

// Serves a set of files over HTTP on 127.0.0.1 on a free port until destroyed.
class ContentServer {
 public:
  virtual ~ContentServer() = default;
  // "http://127.0.0.1:PORT/"
  virtual std::string Base() const = 0;
};
// Null when no server could be started.
std::unique_ptr<ContentServer> ServeFiles(std::map<std::string, std::vector<std::uint8_t>> files);

// Everything the demo runs. The demo's device is what g_hidCmd talks to, so the Demo must
// outlive every use of g_hidCmd; its destructor leaves g_hidCmd over the backend that finds no
// device. Start() points g_hidCmd at the simulated backend and starts the loopback server,
// whose base URL the program then gives its workers (ServerBase()); the device appears
// `plugDelay` later.
class Demo {
 public:
  Demo();
  ~Demo();
  bool Start(std::chrono::milliseconds plugDelay);
  sim::SimBootloader& Device() { return *m_device; }
  // The files the server will serve, each with its detached signature FILE.minisig, made with
  // a key the demo makes when it starts and trusts only for this run (never one built into
  // the program). Changing one before Start() shows what the updater makes of a tampered file.
  std::map<std::string, std::vector<std::uint8_t>>& Files() { return m_content.files; }
  // The public key of that signing key: the only key the demo's workers trust. The demo's
  // content is unsigned (and nothing is required) only if no key could be made.
  const std::vector<sig::PublicKey>& TrustedKeys() const { return m_trusted; }
  hid::SimulatedHidBackend& Backend() { return m_backend; }
  std::string ServerBase() const { return m_server ? m_server->Base() : std::string(); }

 private:
  SampleContent m_content;
  std::vector<sig::PublicKey> m_trusted;
  std::unique_ptr<sim::SimBootloader> m_device;
  hid::SimulatedHidBackend m_backend;
  std::unique_ptr<ContentServer> m_server;
  std::thread m_plugger;
  std::atomic<bool> m_stop{false};
};

// Starts the process's one demo (built on first use, destroyed at exit before g_hidCmd).
// Null when the loopback server could not be started.
Demo* StartDemo(std::chrono::milliseconds plugDelay);

}  // namespace vqr::demo
