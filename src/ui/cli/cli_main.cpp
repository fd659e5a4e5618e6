// vqr03-cli: the updater's workflow behind a terminal, for scripts, factory benches and
// headless machines. Exit code 0 when the update completed (or the listing succeeded), 1 for
// every failure the window would report, 2 for bad arguments.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <thread>

#if defined(_WIN32)
#include <io.h>
#define VQR_ISATTY _isatty
#define VQR_FILENO _fileno
#else
#include <unistd.h>
#define VQR_ISATTY isatty
#define VQR_FILENO fileno
#endif

#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "simulator/sim_bootloader.h"
#include "ui/cli/cli_port.h"
#include "ui/cli/console_utf8.h"
#include "ui/string_table.h"
#include "ui/text_format.h"
#include "vqr_revision.h"
#include "vqr_version.h"
#include "workflow/catalog.h"
#include "workflow/program.h"
#include "workflow/workers.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

}  // namespace

int main(int argc, char** argv) {
  vqr::cli::UseUtf8Console();
  CLI::App app{"Updates the firmware of a connected VQR03 device from the update server."};
  app.name("vqr03-cli");
  app.set_version_flag("--version", "vqr03-cli " VQR_VERSION_TEXT VQR_REVISION_SUFFIX,
                       "Print the version and exit");
  std::string server;
  int image = 0;
  bool noImage = false;
  bool listOnly = false;
  bool yes = false;
  double waitSeconds = 30;
  std::string tracePath;
  bool demoMode = false;
  std::string simulateInfo;
  std::string flashOut;

  app.add_option("--server", server,
                 "Base URL of the update server (absolute http URL ending in /)")
      ->check([](const std::string& url) -> std::string {
        if (url.rfind("http://", 0) != 0 || url.size() <= 7 || url.back() != '/')
          return "must be an absolute http URL ending in /";
        return {};
      });
  auto* imageOption = app.add_option("--image", image,
                                     "Optional image to install: item N of the listing (default 0)")
                          ->check(CLI::NonNegativeNumber);
  app.add_flag("--no-image", noImage, "Install no optional image")->excludes(imageOption);
  app.add_flag("--list", listOnly, "Stop after listing the catalog");
  app.add_flag("--yes", yes, "Run the update after the listing");
  app.add_option("--wait", waitSeconds, "Seconds to search for the device (default 30)")
      ->check(CLI::Range(0.0, 86400.0));
  app.add_option("--trace", tracePath, "Append every HID report moved to FILE");
  auto* demoOption =
      app.add_flag("--demo", demoMode, "Use a simulated device and a loopback server with samples");
  auto* simulateOption =
      app.add_option("--simulate", simulateInfo,
                     "Attach a simulated device whose information page is the 256 bytes of INFO")
          ->check(CLI::ExistingFile)
          ->excludes(demoOption);
  app.add_option("--sim-flash-out", flashOut,
                 "Write the simulated device's whole flash to FILE when the run ends "
                 "(with --simulate or --demo)");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return kExitUsage;
  }
  (void)simulateOption;
  if (!flashOut.empty() && !demoMode && simulateInfo.empty()) {
    std::fprintf(stderr, "vqr03-cli: --sim-flash-out needs --simulate or --demo\n");
    return kExitUsage;
  }

  std::unique_ptr<vqr::sim::SimBootloader> simulated;
  vqr::hid::SimulatedHidBackend simulatedBackend;
  vqr::sim::SimBootloader* device = nullptr;
  if (demoMode) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::milliseconds(0));
    if (demo == nullptr) {
      std::fprintf(stderr, "vqr03-cli: the demo's loopback server could not be started\n");
      return kExitFailure;
    }
    device = &demo->Device();
  } else if (!simulateInfo.empty()) {
    std::ifstream in(simulateInfo, std::ios::binary);
    std::vector<std::uint8_t> page((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
    if (page.size() != 256) {
      std::fprintf(stderr, "vqr03-cli: --simulate: %s holds %zu bytes, not the 256 of a page\n",
                   simulateInfo.c_str(), page.size());
      return kExitUsage;
    }
    simulated = std::make_unique<vqr::sim::SimBootloader>(
        std::span<const std::uint8_t, 256>(page.data(), 256));
    simulatedBackend.Plug(simulated.get());
    vqr::g_hidCmd.m_io.UseBackend(simulatedBackend);
    device = simulated.get();
  }
  if (!server.empty()) vqr::SetUpdateServerBase(server);
  if (!tracePath.empty() && !vqr::g_hidCmd.m_io.StartTrace(tracePath)) {
    std::fprintf(stderr, "vqr03-cli: cannot open the trace file %s\n", tracePath.c_str());
    return kExitUsage;
  }

  const bool terminal = VQR_ISATTY(VQR_FILENO(stdout)) != 0;
  vqr::cli::CliPort port(stdout, terminal);
  vqr::ui::SetPort(&port);
  vqr::SetProgressObserver([&port](const vqr::ProgramProgress& p) { port.Progress(p); });

  auto finish = [&](int code) {
    vqr::SetProgressObserver(nullptr);
    vqr::g_hidCmd.m_io.StopTrace();
    if (device != nullptr && !flashOut.empty() && !WriteFile(flashOut, device->Flash())) {
      std::fprintf(stderr, "vqr03-cli: cannot write %s\n", flashOut.c_str());
      if (code == 0) code = kExitFailure;
    }
    vqr::ui::SetPort(nullptr);
    // The simulated device goes away with main: hand g_hidCmd back to the platform first.
    if (simulated) vqr::g_hidCmd.m_io.UseBackend(vqr::hid::PlatformHidBackend());
    return code;
  };

  // The search, once a second, as the window's timer does it.
  const std::u16string searching = vqr::ui::StringTableEntry(vqr::ui::kStrSearching);
  port.SetText(vqr::ui::kDeviceLabel, vqr::ui::FormatText(searching, {0}));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  int count = 0;
  while (vqr::FindAndOpenDevice() == 0) {
    if (std::chrono::steady_clock::now() + std::chrono::seconds(1) > deadline) {
      std::fprintf(stderr, "vqr03-cli: no device found within %g s\n", waitSeconds);
      return finish(kExitFailure);
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    port.SetText(vqr::ui::kDeviceLabel, vqr::ui::FormatText(searching, {++count}));
  }

  if (vqr::IdentifyThread(nullptr) != 1 || port.Ended()) return finish(kExitFailure);
  if (listOnly || !yes) return finish(0);

  if (noImage) {
    port.ChooseImage(-1);
  } else if (image >= port.ListCount() && (image != 0 || imageOption->count() > 0)) {
    std::fprintf(stderr, "vqr03-cli: --image %d: the catalog lists %d optional image(s)\n", image,
                 port.ListCount());
    return finish(kExitUsage);
  } else {
    port.ChooseImage(image < port.ListCount() ? image : -1);
  }
  if (vqr::UpdateThread(nullptr) != 1 || port.Ended()) return finish(kExitFailure);
  return finish(0);
}
