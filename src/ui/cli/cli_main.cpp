// vqr03-cli: the updater's workflow behind a terminal, for scripts, factory benches and
// headless machines. Exit code 0 when the update completed (or the listing succeeded), 1 for
// every failure the window would report, 2 for bad arguments.
#include <CLI/CLI.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
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

#include "content/http_backend.h"
#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "files/bounded_read.h"
#include "simulator/sim_bootloader.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/cli/cli_port.h"
#include "ui/cli/console_utf8.h"
#include "ui/shell/controller.h"
#include "ui/shell/window_arguments.h"
#include "vqr_revision.h"
#include "vqr_version.h"
#include "workflow/workers.h"

namespace {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// The command line waits for the device in its own loop; the controller has no timer to run.
class NoTimer final : public vqr::ui::SearchTimer {
 public:
  void StartSearchTimer() override {}
  void StopSearchTimer() override {}
};

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
  std::vector<std::string> trust;
  std::string language;

  app.add_option("--server", server,
                 "Base URL of the update server (absolute http or https URL ending in /)")
      ->check([](const std::string& url) -> std::string {
        const std::size_t scheme = url.rfind("https://", 0) == 0  ? 8
                                   : url.rfind("http://", 0) == 0 ? 7
                                                                  : 0;
        if (scheme == 0 || url.size() <= scheme || url[scheme] == '/' || url.back() != '/')
          return "must be an absolute http or https URL ending in /";
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
  app.add_option("--trust", trust,
                 "Also trust the minisign public KEY (a .pub file or its base64 line); with any "
                 "trusted key every catalog and image must come with a valid .minisig")
      ->type_name("KEY");
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

  app.add_option("--lang", language,
                 "Language of the device, list, button and message lines: zh-TW, en, ja or zh-CN "
                 "(default: from LC_ALL, LC_MESSAGES or LANG)")
      ->check([](const std::string& tag) { return vqr::ui::LanguageTagError(tag); });

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
  vqr::text::SetLanguage(
      vqr::text::ParseLanguageTag(language).value_or(vqr::text::LanguageFromLocale(
          std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"))));
  if (!flashOut.empty() && !demoMode && simulateInfo.empty()) {
    std::fprintf(stderr, "vqr03-cli: --sim-flash-out needs --simulate or --demo\n");
    return kExitUsage;
  }

  std::vector<vqr::sig::PublicKey> trustedKeys = vqr::DefaultTrustedKeys();
  bool signaturesRequired = vqr::DefaultSignaturesRequired();
  for (const std::string& given : trust) {
    // A file when one of that name exists, else the key's base64 line itself.
    std::string text;
    const vqr::files::ReadResult read =
        vqr::files::ReadBoundedFile(given, vqr::sig::kMaxKeyTextSize, "key", &text);
    if (read.problem == vqr::files::ReadProblem::kMissing) {
      text = given;
    } else if (!read.Ok()) {
      std::fprintf(stderr, "vqr03-cli: --trust %s\n", read.Message().c_str());
      return kExitUsage;
    }
    vqr::sig::PublicKey key;
    std::string error;
    if (!vqr::sig::ParsePublicKey(text, &key, &error)) {
      std::fprintf(stderr, "vqr03-cli: --trust %s: %s\n", given.c_str(), error.c_str());
      return kExitUsage;
    }
    trustedKeys.push_back(key);
    signaturesRequired = true;
  }

  std::unique_ptr<vqr::sim::SimBootloader> simulated;
  vqr::hid::SimulatedHidBackend simulatedBackend;
  vqr::sim::SimBootloader* device = nullptr;
  // However main ends, g_hidCmd is left over no device before the simulated one goes.
  struct LeaveNoDevice {
    ~LeaveNoDevice() { vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend()); }
  } leaveNoDevice;
  std::string serverBase = vqr::DefaultUpdateServerBase();
  vqr::g_hidCmd.IO().UseBackend(vqr::hid::PlatformHidBackend());
  if (demoMode) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::milliseconds(0));
    if (demo == nullptr) {
      std::fprintf(stderr, "vqr03-cli: the demo's loopback server could not be started\n");
      return kExitFailure;
    }
    device = &demo->Device();
    serverBase = demo->ServerBase();
    // The demo's content is signed with a key made for this run; only that key is trusted.
    trustedKeys = demo->TrustedKeys();
    signaturesRequired = !trustedKeys.empty();
  } else if (!simulateInfo.empty()) {
    std::vector<std::uint8_t> page;
    const vqr::files::ReadResult read =
        vqr::files::ReadBoundedFile(simulateInfo, 256, "information page", &page);
    if (!read.Ok()) {
      std::fprintf(stderr, "vqr03-cli: --simulate: %s\n", read.Message().c_str());
      return kExitUsage;
    }
    if (page.size() != 256) {
      std::fprintf(stderr, "vqr03-cli: --simulate: %s holds %zu bytes, not the 256 of a page\n",
                   simulateInfo.c_str(), page.size());
      return kExitUsage;
    }
    simulated = std::make_unique<vqr::sim::SimBootloader>(
        std::span<const std::uint8_t, 256>(page.data(), 256));
    simulatedBackend.Plug(simulated.get());
    vqr::g_hidCmd.IO().UseBackend(simulatedBackend);
    device = simulated.get();
  }
  if (!server.empty()) serverBase = server;
  if (!tracePath.empty() && !vqr::g_hidCmd.IO().StartTrace(tracePath)) {
    std::fprintf(stderr, "vqr03-cli: cannot open the trace file %s\n", tracePath.c_str());
    return kExitUsage;
  }

  const bool terminal = VQR_ISATTY(VQR_FILENO(stdout)) != 0;
  vqr::cli::CliPort port(stdout, terminal);
  vqr::WorkerContext context;
  context.port = &port;
  context.http = &vqr::PlatformHttpBackend();
  context.serverBase = serverBase;
  context.trustedKeys = trustedKeys;
  context.signaturesRequired = signaturesRequired;
  context.progress = [&port](const vqr::ProgramProgress& p) { port.Progress(p); };
  context.diagnose = [](const std::string& line) {
    std::fprintf(stderr, "vqr03-cli: %s\n", line.c_str());
  };
  NoTimer timer;
  vqr::ui::WindowController controller(port, timer, context);
  // Why a device that is plugged in cannot be opened, once per arrival.
  controller.SetNoticeHandler([](const std::u16string& text) {
    if (!text.empty())
      std::fprintf(stderr, "vqr03-cli: %s\n", vqr::text::Utf16ToUtf8(text).c_str());
  });
  // The workers run on this thread, one after the other, each to its end.
  std::uint32_t workerResult = 0;
  controller.SetWorkerStarter([&controller, &workerResult](vqr::WorkerEntry entry) {
    workerResult = entry(&controller.WorkerThreads().Context());
    return true;
  });

  auto finish = [&](int code) {
    vqr::g_hidCmd.IO().StopTrace();
    if (device != nullptr && !flashOut.empty() && !WriteFile(flashOut, device->Flash())) {
      std::fprintf(stderr, "vqr03-cli: cannot write %s\n", flashOut.c_str());
      if (code == 0) code = kExitFailure;
    }
    return code;
  };

  // The search: a probe at once, then one a second for --wait seconds, each counted in the
  // device label as the window's timer counts it.
  port.SetText(vqr::ui::kDeviceLabel,
               vqr::text::FormatText(port.LoadString(vqr::text::kStrSearching), {0}));
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
  if (!controller.Probe()) {
    do {
      if (std::chrono::steady_clock::now() + std::chrono::seconds(1) > deadline) {
        std::fprintf(stderr, "vqr03-cli: no device found within %g s\n", waitSeconds);
        return finish(kExitFailure);
      }
      std::this_thread::sleep_for(std::chrono::seconds(1));
      controller.Tick();
    } while (!controller.DevicePresent());
  }

  if (workerResult != 1 || port.Ended()) return finish(kExitFailure);
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
  controller.OnStart();
  if (workerResult != 1 || port.Ended()) return finish(kExitFailure);
  return finish(0);
}
