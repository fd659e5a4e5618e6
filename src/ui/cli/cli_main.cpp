// vqr03-cli: the updater's workflow behind a terminal, for scripts, factory benches and
// headless machines. Exit code 0 when the update completed (or the listing succeeded), 1 for
// every failure the window would report, 2 for bad arguments (and for more than one device
// without --device), 3 when a signal stopped the run or was held until the update completed.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <map>
#include <memory>
#include <thread>
#include <variant>

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
#include "files/write_file.h"
#include "simulator/sim_bootloader.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "text/user_language.h"
#include "ui/cli/cli_port.h"
#include "ui/cli/cli_signals.h"
#include "ui/cli/console_utf8.h"
#include "ui/shell/controller.h"
#include "ui/shell/window_arguments.h"
#include "vqr_revision.h"
#include "vqr_version.h"
#include "workflow/state.h"
#include "workflow/workers.h"

namespace {

using vqr::cli::CliPort;
using vqr::cli::JsonObject;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 3;

// Set by whichever ends the run first, the main thread or a signal's thread; the other then
// waits for the process to end. A namespace-scope atomic, so that a signal's thread may look
// at it even while main returns.
std::atomic<bool> g_ending{false};

std::string Utf8(const std::u16string& text) {
  return vqr::text::Utf16ToUtf8(text);
}

// --image's value: an item number, digits only. Numbers beyond any catalog are kept as
// INT_MAX, which no listing reaches.
std::optional<int> ParseItemNumber(const std::string& text) {
  if (text.empty()) return std::nullopt;
  for (const char c : text)
    if (c < '0' || c > '9') return std::nullopt;
  const std::size_t first = text.find_first_not_of('0');
  if (first == std::string::npos) return 0;
  if (text.size() - first > 9) return INT_MAX;
  return std::stoi(text.substr(first));
}

// --sim-fault's value, KIND:K: a fault of the simulator and where it strikes.
struct SimFault {
  enum class Kind { kFail, kVanish, kSilent, kFlip };
  Kind kind = Kind::kFail;
  std::uint64_t at = 0;  // a report number (from 1, both directions), or a page for kFlip
};

// The fault `text` names, or what is wrong with it.
std::variant<SimFault, std::string> ParseSimFault(const std::string& text) {
  const std::size_t colon = text.find(':');
  const std::string word = text.substr(0, colon);
  SimFault fault;
  if (word == "fail") {
    fault.kind = SimFault::Kind::kFail;
  } else if (word == "vanish") {
    fault.kind = SimFault::Kind::kVanish;
  } else if (word == "silent") {
    fault.kind = SimFault::Kind::kSilent;
  } else if (word == "flip") {
    fault.kind = SimFault::Kind::kFlip;
  } else {
    return std::string("not fail:K, vanish:K, silent:K or flip:PAGE: ") + text;
  }
  const std::string number = colon == std::string::npos ? "" : text.substr(colon + 1);
  if (number.empty() || number.size() > 12 ||
      number.find_first_not_of("0123456789") != std::string::npos)
    return word + " needs a number of at most 12 digits after the colon: " + text;
  fault.at = std::stoull(number);
  if (fault.kind == SimFault::Kind::kFail && fault.at == 0)
    return "reports are counted from 1: " + text;
  if (fault.kind == SimFault::Kind::kFlip && fault.at >= vqr::sim::kPageCount)
    return "the simulated flash has pages 0 to " + std::to_string(vqr::sim::kPageCount - 1) + ": " +
           text;
  return fault;
}

void InjectFault(vqr::sim::SimBootloader& device, const SimFault& fault) {
  switch (fault.kind) {
    case SimFault::Kind::kFail:
      device.FailReport(fault.at);
      break;
    case SimFault::Kind::kVanish:
      device.VanishAfterReport(fault.at);
      break;
    case SimFault::Kind::kSilent:
      device.SilentAfterReport(fault.at);
      break;
    case SimFault::Kind::kFlip:
      device.FlipBitsOnRead(static_cast<std::uint32_t>(fault.at), 7, 5, 0x80);
      break;
  }
}

const char* OpenWord(vqr::hid::OpenError kind) {
  switch (kind) {
    case vqr::hid::OpenError::kNone:
      return "ok";
    case vqr::hid::OpenError::kAccessDenied:
      return "access-denied";
    case vqr::hid::OpenError::kBusy:
      return "busy";
    case vqr::hid::OpenError::kGone:
      return "gone";
    case vqr::hid::OpenError::kOther:
      break;
  }
  return "failed";
}

// One matching interface: a JSON object on standard output, or an "interface:" line on
// standard output (a listing) or standard error (a refusal).
void ReportInterface(CliPort& port, const vqr::CHidIO::FoundInterface& found, bool toStderr) {
  char product[8];
  std::snprintf(product, sizeof product, "%04x", found.product);
  const std::string detail = Utf8(found.failure.detail);
  if (port.Json()) {
    JsonObject object;
    object.Str("event", "interface")
        .Str("path", Utf8(found.path))
        .Str("product", product)
        .Str("open", OpenWord(found.failure.kind));
    if (!detail.empty()) object.Str("detail", detail);
    port.PrintJson(object);
    if (!toStderr) return;
  }
  std::string line = "interface: " + Utf8(found.path) + " product=" + product +
                     " open=" + OpenWord(found.failure.kind);
  if (!detail.empty()) line += " (" + detail + ")";
  if (toStderr)
    port.PrintError(line);
  else
    port.PrintLine(line);
}

bool ArgumentGiven(int argc, char** argv, const std::string& name) {
  for (int i = 1; i < argc; ++i)
    if (argv[i] == name) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  vqr::cli::UseUtf8Console();
  // Before any thread exists: the signals are taken by a thread of their own. (After the
  // console's code page handler, so that on Windows this handler runs first and a held
  // signal leaves the console's page as it is.)
  vqr::cli::InstallInterruptHandling();
  CLI::App app{"Updates the firmware of a connected VQR03 device from the update server."};
  app.name("vqr03-cli");
  app.set_version_flag("--version", "vqr03-cli " VQR_VERSION_TEXT VQR_REVISION_SUFFIX,
                       "Print the version and exit");
  // The parser's message quotes the arguments: it is escaped whole, as one line, and followed
  // by the parser's hint.
  app.failure_message([](const CLI::App* parser, const CLI::Error& error) {
    std::string text = "vqr03-cli: " + vqr::cli::TerminalText(error.what()) + "\n";
    if (parser->get_help_ptr() != nullptr)
      text += "Run with " + parser->get_help_ptr()->get_name() + " for more information.\n";
    return text;
  });
  std::string server;
  std::string imageText;
  bool noImage = false;
  bool listOnly = false;
  bool yes = false;
  bool json = false;
  bool listDevices = false;
  std::string devicePath;
  double waitSeconds = 30;
  std::string tracePath;
  bool demoMode = false;
  std::vector<std::string> simulateInfos;
  std::string flashOut;
  std::string flashFile;
  unsigned paceMicroseconds = 0;
  std::string faultText;
  std::vector<std::string> trust;
  std::string language;

  app.add_option("--server", server,
                 "Base URL of the update server (absolute http or https URL ending in /)")
      ->type_name("URL")
      ->check([](const std::string& url) -> std::string {
        const std::size_t scheme = url.rfind("https://", 0) == 0  ? 8
                                   : url.rfind("http://", 0) == 0 ? 7
                                                                  : 0;
        if (scheme == 0 || url.size() <= scheme || url[scheme] == '/' || url.back() != '/')
          return "must be an absolute http or https URL ending in /";
        return {};
      });
  auto* imageOption = app.add_option("--image", imageText,
                                     "Optional image to install: item N of the listing (default 0)")
                          ->type_name("N");
  app.add_flag("--no-image", noImage, "Install no optional image")->excludes(imageOption);
  app.add_flag("--list", listOnly, "Stop after listing the catalog");
  app.add_flag("--yes", yes, "Run the update after the listing");
  app.add_flag("--json", json, "Print one JSON object per line on standard output");
  app.add_flag("--list-devices", listDevices,
               "List the connected devices (path, product ID, whether they can be opened)");
  app.add_option("--device", devicePath, "Use the device at PATH (as --list-devices shows it)")
      ->type_name("PATH");
  // Validators here carry no description: CLI11 would append it to the value's name in
  // --help ("SECONDS:FLOAT in [0 - 86400]", "INFO:FILE"); the option's text gives the range.
  app.add_option("--wait", waitSeconds, "Seconds to search for the device, 0 to 86400 (default 30)")
      ->type_name("SECONDS")
      ->check([](const std::string& text) -> std::string {
        // NaN passes every comparison of a range, and no duration can hold it or infinity.
        double value = 0;
        if (CLI::detail::lexical_cast(text, value) && !std::isfinite(value))
          return "not a finite number of seconds: " + text;
        return {};
      })
      ->check(CLI::Range(0.0, 86400.0).description(""));
  app.add_option("--trace", tracePath, "Append every HID report moved to FILE")->type_name("FILE");
  app.add_option("--trust", trust,
                 "Also trust the minisign public KEY (a .pub file or its base64 line); with any "
                 "trusted key every catalog and image must come with a valid .minisig")
      ->type_name("KEY");
  auto* demoOption =
      app.add_flag("--demo", demoMode, "Use a simulated device and a loopback server with samples");
  app.add_option("--simulate", simulateInfos,
                 "Attach a simulated device whose information page is the 256 bytes of INFO "
                 "(again for each further device)")
      ->type_name("INFO")
      ->check(CLI::ExistingFile.description(""))
      ->excludes(demoOption)
      ->group("Testing");
  app.add_option("--sim-flash-out", flashOut,
                 "Write the simulated device's whole flash to FILE when the run ends "
                 "(with --simulate or --demo)")
      ->type_name("FILE")
      ->group("Testing");
  app.add_option("--sim-flash", flashFile,
                 "Keep the simulated device's flash in FILE: loaded when it exists, saved after "
                 "every erase and write")
      ->type_name("FILE")
      ->group("Testing");
  app.add_option("--sim-pace", paceMicroseconds,
                 "The simulated device takes US microseconds (0 to 1000000) per report and four "
                 "times as long per erase")
      ->type_name("US")
      ->check(CLI::Range(0u, 1000000u).description(""))
      ->group("Testing");
  app.add_option("--sim-fault", faultText,
                 "The simulated device shows one fault: fail:K (report K fails), vanish:K (every "
                 "transfer after report K fails), silent:K (no read after report K is "
                 "answered), flip:PAGE (reading back PAGE flips the top bit of 5 of its bytes); "
                 "reports are counted from 1 over both directions")
      ->type_name("KIND:K")
      ->check([](const std::string& text) {
        const auto parsed = ParseSimFault(text);
        const auto* error = std::get_if<std::string>(&parsed);
        return error != nullptr ? *error : std::string();
      })
      ->group("Testing");

  app.add_option("--lang", language,
                 "Language of the device, list, button and message lines: zh-TW, en, ja or zh-CN "
#if defined(_WIN32)
                 "(default: the Windows display language)")
#else
                 "(default: from LC_ALL, LC_MESSAGES or LANG)")
#endif
      ->type_name("LANG")
      ->check([](const std::string& tag) { return vqr::ui::LanguageTagError(tag); });

  const bool jsonAsked = ArgumentGiven(argc, argv, "--json");
  const auto usageResult = [jsonAsked] {
    if (jsonAsked) {
      std::printf("%s\n", JsonObject()
                              .Str("event", "result")
                              .Int("exit", kExitUsage)
                              .Str("outcome", "usage")
                              .Text()
                              .c_str());
    }
    return kExitUsage;
  };
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    app.exit(e);
    return usageResult();
  }
  vqr::text::SetLanguage(vqr::text::ParseLanguageTag(language).value_or(vqr::text::UserLanguage()));

  vqr::cli::CliOutput output;
  output.json = json;
  output.outTerminal = VQR_ISATTY(VQR_FILENO(stdout)) != 0;
  output.errTerminal = VQR_ISATTY(VQR_FILENO(stderr)) != 0;
  CliPort port(output);
  // The device link's diagnostics go through the port while it lives: standard output holds
  // only the program's own lines (or only JSON objects).
  vqr::SetDiagnosticSink([&port](std::string_view line) { port.PrintDiagnostic(line); });
  struct DiagnosticsBack {
    ~DiagnosticsBack() { vqr::SetDiagnosticSink({}); }
  } diagnosticsBack;
  const auto usage = [&](const std::string& text) {
    port.PrintError(text);
    return usageResult();
  };

  int image = 0;
  if (imageOption->count() > 0) {
    const std::optional<int> number = ParseItemNumber(imageText);
    if (!number) return usage("--image " + imageText + ": not an item number (0, 1, 2, ...)");
    image = *number;
  }
  const bool simulating = demoMode || !simulateInfos.empty();
  if (!flashOut.empty() && !simulating) return usage("--sim-flash-out needs --simulate or --demo");
  if (!flashFile.empty() && !simulating) return usage("--sim-flash needs --simulate or --demo");
  if (!flashFile.empty() && simulateInfos.size() > 1)
    return usage("--sim-flash keeps the flash of one simulated device, not of " +
                 std::to_string(simulateInfos.size()));
  if (paceMicroseconds != 0 && !simulating) return usage("--sim-pace needs --simulate or --demo");
  if (!faultText.empty() && !simulating) return usage("--sim-fault needs --simulate or --demo");
  if (!faultText.empty() && simulateInfos.size() > 1)
    return usage("--sim-fault goes to one simulated device, not to " +
                 std::to_string(simulateInfos.size()));

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
      return usage("--trust " + read.Message());
    }
    vqr::sig::PublicKey key;
    std::string error;
    if (!vqr::sig::ParsePublicKey(text, &key, &error))
      return usage("--trust " + given + ": " + error);
    trustedKeys.push_back(key);
    signaturesRequired = true;
  }

  std::vector<std::unique_ptr<vqr::sim::SimBootloader>> simulated;
  std::map<std::u16string, vqr::sim::SimBootloader*> simulatedByPath;
  vqr::hid::SimulatedHidBackend simulatedBackend;
  vqr::sim::SimBootloader* firstDevice = nullptr;
  // However main ends, g_hidCmd is left over no device before the simulated one goes.
  struct LeaveNoDevice {
    ~LeaveNoDevice() { vqr::g_hidCmd.IO().UseBackend(vqr::hid::NoDeviceHidBackend()); }
  } leaveNoDevice;
  std::string serverBase = vqr::DefaultUpdateServerBase();
  vqr::g_hidCmd.IO().UseBackend(vqr::hid::PlatformHidBackend());
  if (demoMode) {
    vqr::demo::Demo* demo = vqr::demo::StartDemo(std::chrono::milliseconds(0));
    if (demo == nullptr) {
      port.PrintError("the demo's loopback server could not be started");
      return kExitFailure;
    }
    firstDevice = &demo->Device();
    serverBase = demo->ServerBase();
    // The demo's content is signed with a key made for this run; only that key is trusted.
    trustedKeys = demo->TrustedKeys();
    signaturesRequired = !trustedKeys.empty();
  } else if (!simulateInfos.empty()) {
    for (const std::string& info : simulateInfos) {
      std::vector<std::uint8_t> page;
      const vqr::files::ReadResult read =
          vqr::files::ReadBoundedFile(info, 256, "information page", &page);
      if (!read.Ok()) return usage("--simulate: " + read.Message());
      if (page.size() != 256) {
        return usage("--simulate: " + info + " holds " + std::to_string(page.size()) +
                     " bytes, not the 256 of a page");
      }
      simulated.push_back(std::make_unique<vqr::sim::SimBootloader>(
          std::span<const std::uint8_t, 256>(page.data(), 256)));
      simulatedByPath[simulatedBackend.Plug(simulated.back().get())] = simulated.back().get();
    }
    vqr::g_hidCmd.IO().UseBackend(simulatedBackend);
    firstDevice = simulated.front().get();
  }
  if (firstDevice != nullptr && paceMicroseconds != 0) {
    const std::chrono::microseconds perReport(paceMicroseconds);
    for (auto& device : simulated) device->SetPacing(perReport, 4 * perReport);
    if (simulated.empty()) firstDevice->SetPacing(perReport, 4 * perReport);
  }
  if (!faultText.empty()) InjectFault(*firstDevice, std::get<SimFault>(ParseSimFault(faultText)));
  // The simulated flash kept in a file: loaded now, saved after every change.
  std::atomic<bool> flashSaveFailed{false};
  if (!flashFile.empty()) {
    std::error_code error;
    if (std::filesystem::exists(flashFile, error)) {
      std::vector<std::uint8_t> flash;
      const vqr::files::ReadResult read =
          vqr::files::ReadBoundedFile(flashFile, vqr::sim::kFlashSize, "flash", &flash);
      if (!read.Ok()) return usage("--sim-flash " + read.Message());
      if (!firstDevice->LoadFlash(flash)) {
        return usage("--sim-flash " + flashFile + ": " + std::to_string(flash.size()) +
                     " bytes, not the " + std::to_string(vqr::sim::kFlashSize) +
                     " of the simulated flash");
      }
    }
    firstDevice->SetFlashObserver([&](std::span<const std::uint8_t> flash) {
      if (!vqr::files::ReplaceWholeFile(flashFile, flash) && !flashSaveFailed.exchange(true))
        port.PrintError("cannot write the simulated flash to " + flashFile);
    });
  }
  // --device takes the path as the platform gives it or as vqr03-cli prints it (escaped).
  if (!devicePath.empty()) {
    vqr::g_hidCmd.IO().SetPathFilter([&devicePath](const std::u16string& path) {
      const std::string utf8 = Utf8(path);
      return utf8 == devicePath || vqr::cli::TerminalText(utf8) == devicePath;
    });
  }
  if (!server.empty()) serverBase = server;
  if (!tracePath.empty() && !vqr::g_hidCmd.IO().StartTrace(tracePath))
    return usage("cannot open the trace file " + tracePath);

  // The device whose flash --sim-flash-out writes: the one opened, else the first. Kept in an
  // atomic, since a signal's thread may end the run while the main thread searches.
  std::atomic<vqr::sim::SimBootloader*> flashOutDevice{firstDevice};
  // The end of the run, by the main thread or by a signal's thread, whichever comes first:
  // the trace closed, the flash written, the result object. `completed`: whether an
  // interrupted update had completed all the same (the signal was held in its last image).
  const auto wrapUp = [&](int code, const char* outcome, bool completed = false) {
    vqr::g_hidCmd.IO().StopTrace();
    vqr::sim::SimBootloader* device = flashOutDevice.load();
    if (device != nullptr && !flashOut.empty() &&
        !vqr::files::ReplaceWholeFile(flashOut, device->Flash())) {
      port.PrintError("cannot write " + flashOut);
      if (code == 0) code = kExitFailure, outcome = "failed";
    }
    if (flashSaveFailed.load() && code == 0) code = kExitFailure, outcome = "failed";
    if (port.Json()) {
      JsonObject result;
      result.Str("event", "result").Int("exit", code).Str("outcome", outcome);
      if (code == kExitInterrupted) result.Bool("completed", completed);
      port.PrintJson(result);
    }
    return code;
  };
  const auto finish = [&](int code, const char* outcome, bool completed = false) {
    if (g_ending.exchange(true)) {
      // A signal is ending the process.
      for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
    }
    return wrapUp(code, outcome, completed);
  };

  // The signals' actions. Neither waits on the main thread, which may be blocked writing to a
  // pipe that nobody reads while it holds the port's lock or a stream's: each line goes out
  // with PrintErrorNow, and the wrap-up of a forced end gets a bounded time before the process
  // ends without it.
  std::atomic<char> imageLetter{0};
  vqr::cli::SetInterruptActions(
      [&] {
        const std::string notice = std::string("interrupted while image ") + imageLetter.load() +
                                   " is being written: stopping now can leave the device "
                                   "unusable, so the update stops once this image is written; "
                                   "a second signal stops it at once";
        vqr::cli::RunWithin(std::chrono::milliseconds(500),
                            [&port, notice] { port.PrintErrorNow(notice); });
      },
      [&] {
        if (g_ending.exchange(true)) {
          for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
        }
        vqr::cli::RunWithin(std::chrono::seconds(2), [&] {
          port.PrintErrorNow("interrupted: stopped at once");
          wrapUp(kExitInterrupted, "interrupted");
          std::fflush(nullptr);
        });
        vqr::cli::RestoreConsole();
        std::_Exit(kExitInterrupted);
      });

  if (listDevices) {
    for (const auto& found : vqr::g_hidCmd.IO().MatchingInterfaces(true))
      ReportInterface(port, found, false);
    return finish(0, "listed");
  }

  vqr::WorkerContext context;
  context.port = &port;
  context.http = &vqr::PlatformHttpBackend();
  context.serverBase = serverBase;
  context.trustedKeys = trustedKeys;
  context.signaturesRequired = signaturesRequired;
  context.progress = [&port, &imageLetter](const vqr::ProgramProgress& p) {
    imageLetter.store(p.letter);
    vqr::cli::SetCriticalPhase(p.phase != vqr::ProgramPhase::kVerify);
    port.Progress(p);
  };
  context.stopBeforeImage = [] { return vqr::cli::InterruptHeld(); };
  context.diagnose = [&port](const std::string& line) { port.PrintError(line); };
  context.onDeviceInfo = [&port](const vqr::DeviceInfo& info) {
    if (!port.Json()) return;
    port.PrintJson(JsonObject()
                       .Str("event", "device")
                       .Str("version", std::string_view(info.DeviceVersionText))
                       .Str("model", std::string_view(info.ModelCode, strnlen(info.ModelCode, 4)))
                       .Str("path", Utf8(vqr::g_hidCmd.IO().OpenedPath())));
  };
  std::vector<vqr::CatalogEntry> catalogRows;
  context.onCatalog = [&catalogRows](const std::vector<vqr::CatalogEntry>& rows) {
    catalogRows = rows;
  };
  // The command line waits for the device in its own loop; the controller has no timer to run.
  vqr::ui::NoSearchTimer timer;
  vqr::ui::WindowController controller(port, timer, context);
  // Why a device that is plugged in cannot be opened, once per arrival.
  vqr::cli::PrintDeviceNotices(controller, port);
  // The workers run on this thread, one after the other, each to its end.
  std::uint32_t workerResult = 0;
  controller.SetWorkerStarter([&](vqr::WorkerEntry entry) {
    if (const auto it = simulatedByPath.find(vqr::g_hidCmd.IO().OpenedPath());
        it != simulatedByPath.end())
      flashOutDevice.store(it->second);
    workerResult = entry(&controller.WorkerThreads().Context());
    return true;
  });

  // More than one device and none chosen: which one is meant is the user's to say.
  const auto moreThanOne = [&] {
    if (!devicePath.empty()) return false;
    if (vqr::g_hidCmd.IO().MatchingInterfaces(false).size() < 2) return false;
    const auto found = vqr::g_hidCmd.IO().MatchingInterfaces(true);
    port.PrintError(std::to_string(found.size()) +
                    " devices are connected: choose one with --device PATH");
    for (const auto& entry : found) ReportInterface(port, entry, true);
    return true;
  };

  // The search: a probe at once, then one a second until --wait seconds have passed (the last
  // one at the deadline itself), each counted in the device label as the window's timer
  // counts it.
  port.SetText(vqr::ui::kDeviceLabel,
               vqr::text::FormatText(port.LoadString(vqr::text::kStrSearching), {0}));
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                            std::chrono::duration<double>(waitSeconds));
  if (moreThanOne()) return finish(kExitUsage, "usage");
  if (!controller.Probe()) {
    do {
      const auto now = std::chrono::steady_clock::now();
      if (now >= deadline) {
        char text[64];
        std::snprintf(text, sizeof text, "no device found within %g s", waitSeconds);
        port.PrintError(text);
        return finish(kExitFailure, "failed");
      }
      std::this_thread::sleep_for(
          std::min<std::chrono::steady_clock::duration>(std::chrono::seconds(1), deadline - now));
      if (moreThanOne()) return finish(kExitUsage, "usage");
      controller.Tick();
    } while (!controller.DevicePresent());
  }
  if (workerResult != 1 || port.Ended()) return finish(kExitFailure, "failed");

  // The optional image chosen; a number beyond the listing is refused only for an update.
  const int listed = port.ListCount();
  const bool imageBeyondListing =
      !noImage && image >= listed && (image != 0 || imageOption->count() > 0);
  port.ChooseImage(noImage || image >= listed ? -1 : image);

  // What the update would install: the fixed images the device does not hold yet and the
  // chosen optional image.
  std::array<vqr::CatalogEntry, vqr::kCatalogRows> table;
  {
    vqr::WorkflowState& state = vqr::State();
    std::lock_guard lock(state.lock);
    table = state.CatalogTable;
  }
  for (std::size_t i = 0; i < catalogRows.size() && i < table.size(); ++i) {
    const vqr::CatalogEntry& row = catalogRows[i];
    const int item = static_cast<int>(i) - 2;
    const bool install = table[i].size != 0 && (i < 2 || item == port.Choice());
    const char letter = i == 0 ? 'T' : i == 1 ? 'V' : 'C';
    if (port.Json()) {
      JsonObject object;
      object.Str("event", "catalog")
          .Int("index", static_cast<std::int64_t>(i))
          .Str("image", std::string(1, letter));
      if (i >= 2) object.Int("item", item);
      object.Str("name", row.Name())
          .Int("size", row.size)
          .Str("description", Utf8(row.description))
          .Bool("install", install);
      port.PrintJson(object);
    } else if (i < 2) {
      port.PrintLine(std::string("fixed: ") + letter + " " + std::string(row.Name()) + ": " +
                     (install ? "will be installed" : "already on the device"));
    }
  }
  if (listOnly || !yes) return finish(0, "listed");
  if (imageBeyondListing) {
    port.PrintError("--image " + imageText + ": the catalog lists " + std::to_string(listed) +
                    " optional image(s)");
    return finish(kExitUsage, "usage");
  }

  controller.OnStart();
  vqr::cli::SetCriticalPhase(false);
  const bool completed = workerResult == 1 && !port.Ended();
  // A held signal ends the run with 3 whether or not its image was the last; what the device
  // holds is said either way.
  if (vqr::cli::InterruptHeld() && !port.Ended()) {
    if (completed) {
      port.PrintError(std::string("interrupted while image ") + imageLetter.load() +
                      ", the last one, was written: the update completed all the same and the "
                      "device is up to date");
      return finish(kExitInterrupted, "interrupted", true);
    }
    port.PrintError(std::string("interrupted: the update stopped after image ") +
                    imageLetter.load() +
                    "; the device may not start until the update is run again");
    return finish(kExitInterrupted, "interrupted");
  }
  if (!completed) return finish(kExitFailure, "failed");
  return finish(0, "done");
}
