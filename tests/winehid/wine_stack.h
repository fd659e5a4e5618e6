// The Windows programs on Wine's own HID stack over an emulated kernel. This process holds a
// umockdev testbed (it runs under umockdev-wrapper) whose hidraw nodes are answered by
// simulated bootloaders, and a Wine prefix whose server it starts inside the testbed's
// environment, so that SetupAPI, hid.dll, hidclass.sys and winebus.sys (its udev bus, reading
// and writing the nodes) are the whole path between a Windows program and the device.
#pragma once

#include <chrono>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli_process.h"
#include "emulated_hidraw.h"
#include "simulator/sim_bootloader.h"

namespace vqr::test {

// Where the pieces are: given by the test's environment (see CMakeLists.txt).
struct WineStackConfig {
  std::string wine;        // the loader, /usr/lib/wine/wine64
  std::string wineserver;  // beside it
  std::string prefix;      // a prefix of this test's own
  std::string work;        // a folder for traces, flashes and outputs, ending in '/'
  static WineStackConfig FromEnvironment();
};

// A Windows path for a Unix path: Wine's drive Z: is the Unix root.
std::string WindowsPath(const std::string& unixPath);

class WineStack {
 public:
  explicit WineStack(WineStackConfig config);
  ~WineStack();  // stops the prefix's server
  WineStack(const WineStack&) = delete;
  WineStack& operator=(const WineStack&) = delete;

  // Makes the prefix (once), turns on winebus's udev bus in it, and starts its server and
  // services inside this process's environment, which holds the testbed by then.
  void Start();

  EmulatedHidraw& Kernel() { return m_kernel; }
  const WineStackConfig& Config() const { return m_config; }

  // Plugs in a device and announces it, then starts the Wine session anew: winebus finds the
  // hidraw nodes that are present when its udev bus starts and hears their "remove" uevents,
  // but here it takes up no "add" uevent of a node plugged in later (its trace shows none
  // received), so a device plugged into a running session would not be seen. The device lives as
  // long as this object: the emulated kernel's handlers may still look at it after an unplug.
  struct Plugged {
    std::string node;  // /dev/hidrawN
    sim::SimBootloader* device = nullptr;
  };
  Plugged Plug(std::uint16_t vendor, std::uint16_t product,
               std::unique_ptr<sim::SimBootloader> device, NodeOptions options = {});

  // Starts a Windows program under Wine, its streams in files named after `name`.
  std::unique_ptr<testing::CliProcess> Start(const std::string& exe,
                                             const std::vector<std::string>& arguments,
                                             const std::string& name);
  // Runs one to its end, killing it after `limit`.
  testing::Finished Run(const std::string& exe, const std::vector<std::string>& arguments,
                        const std::string& name,
                        std::chrono::seconds limit = std::chrono::seconds(120));
  // Waits until the session has ended by itself (no program runs, the services stopped). The
  // emulated kernel hands each input report to one reader, so a native program reading the
  // node while Wine's bus still polls it would lose reports to the bus.
  void EndSession() { Server({"-w"}); }

 private:
  void Server(const std::vector<std::string>& arguments);

  void Restart();  // ends the prefix's session and starts it anew in this environment

  WineStackConfig m_config;
  // Before the kernel, so destroyed after it: the kernel's thread has stopped by then.
  std::deque<std::unique_ptr<sim::SimBootloader>> m_devices;
  EmulatedHidraw m_kernel;
  bool m_started = false;
};

// Keeps both cores busy while it lives (a spinning thread per core).
class BusyCores {
 public:
  BusyCores();
  ~BusyCores();
  BusyCores(const BusyCores&) = delete;
  BusyCores& operator=(const BusyCores&) = delete;

 private:
  struct State;
  std::unique_ptr<State> m_state;
};

}  // namespace vqr::test
