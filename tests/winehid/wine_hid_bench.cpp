// Prints the time per report of a whole update through Wine's HID stack (vqr03-cli.exe:
// hid.dll, hidclass.sys, winebus.sys) and through hidapi without Wine (the native vqr03-cli),
// both against the same emulated hidraw node and simulated device, unpaced and paced at 1 ms
// per report. The time runs from the first report the device moves to the last one, so the
// programs' start and the downloads before the first report do not count.
//
//   wine_hid_bench [RUNS]   (under umockdev-wrapper, with the variables of wine_hid_tests and
//                            VQR_NATIVE_CLI, the native vqr03-cli)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "demo/demo.h"
#include "wine_stack.h"

namespace {

using namespace vqr::test;
using Micros = std::chrono::duration<double, std::micro>;

struct Figure {
  double medianUs = 0;
  double floorUs = 0;  // what the device's pacing alone takes per report (erases included)
  std::size_t reports = 0;
  int failures = 0;
};

Figure Measure(WineStack& stack, const WineStack::Plugged& plugged, const std::string& program,
               const std::vector<std::string>& arguments, bool underWine, int runs,
               const std::vector<std::uint8_t>& erased, std::chrono::microseconds pace) {
  std::vector<double> perReport;
  Figure figure;
  for (int i = 0; i < runs; ++i) {
    plugged.device->LoadFlash(erased);
    stack.Kernel().ForgetReports(plugged.node);
    const std::uint64_t erasesBefore = plugged.device->Erases();
    const std::string name = std::string(underWine ? "bench-wine-" : "bench-native-") +
                             std::to_string(pace.count()) + "-" + std::to_string(i);
    vqr::testing::Finished run;
    if (underWine) {
      run = stack.Run(program, arguments, name);
    } else {
      vqr::testing::CliProcess native(program, arguments, stack.Config().work, name);
      run = native.Wait();
    }
    const NodeTraffic traffic = stack.Kernel().Traffic(plugged.node);
    const std::size_t reports = traffic.received.size() + traffic.sent.size();
    if (run.exitCode != 0 || reports < 2) {
      std::fprintf(stderr, "%s failed (exit %d): see %s%s.stdout\n", name.c_str(), run.exitCode,
                   stack.Config().work.c_str(), name.c_str());
      ++figure.failures;
      continue;
    }
    figure.reports = reports;
    const double erases = static_cast<double>(plugged.device->Erases() - erasesBefore);
    figure.floorUs = (static_cast<double>(reports - 1) + 4 * erases) *
                     static_cast<double>(pace.count()) / static_cast<double>(reports - 1);
    perReport.push_back(Micros(traffic.lastReport - traffic.firstReport).count() /
                        static_cast<double>(reports - 1));
  }
  if (!perReport.empty()) {
    std::sort(perReport.begin(), perReport.end());
    figure.medianUs = perReport[perReport.size() / 2];
  }
  return figure;
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const char* preload = std::getenv("LD_PRELOAD");
  const char* cli = std::getenv("VQR_CLI_EXE");
  const char* native = std::getenv("VQR_NATIVE_CLI");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr ||
      cli == nullptr || native == nullptr) {
    std::fprintf(stderr,
                 "%s: run under umockdev-wrapper with VQR_WINE, VQR_WINE_PREFIX, "
                 "VQR_CLI_EXE and VQR_NATIVE_CLI set\n",
                 argv[0]);
    return 1;
  }
  try {
    WineStack stack(WineStackConfig::FromEnvironment());
    const vqr::demo::SampleContent content = vqr::demo::MakeSampleContent();
    const std::unique_ptr<vqr::demo::ContentServer> server = vqr::demo::ServeFiles(content.files);
    if (!server) throw std::runtime_error("no content server");
    stack.Start();
    const WineStack::Plugged plugged =
        stack.Plug(0x0416, 0xF360, std::make_unique<vqr::sim::SimBootloader>(content.infoPage),
                   NodeOptions{.readiness = Readiness::kWhileDue, .descriptor = {}});
    const std::vector<std::uint8_t> erased = plugged.device->Flash();
    // The session is new: wait until Wine lists the device.
    for (int i = 0; i < 100; ++i) {
      const vqr::testing::Finished listing = stack.Run(cli, {"--list-devices"}, "bench-list");
      if (listing.out.find("pid_f360") != std::string::npos) break;
    }
    const std::vector<std::string> update{"--server", server->Base(), "--yes", "--wait", "20"};
    std::printf("%-22s %-14s %14s %9s %9s\n", "stack", "pacing", "us per report", "reports",
                "failures");
    for (const int paceUs : {0, 1000}) {
      plugged.device->SetPacing(std::chrono::microseconds(paceUs),
                                std::chrono::microseconds(4 * paceUs));
      const std::chrono::microseconds pace(paceUs);
      const Figure wine = Measure(stack, plugged, cli, update, true, runs, erased, pace);
      stack.EndSession();
      const Figure direct = Measure(stack, plugged, native, update, false, runs, erased, pace);
      const char* pacing = paceUs == 0 ? "none" : "1 ms/report";
      std::printf("%-22s %-14s %14.1f %9zu %9d\n", "Wine HID stack", pacing, wine.medianUs,
                  wine.reports, wine.failures);
      std::printf("%-22s %-14s %14.1f %9zu %9d\n", "hidapi, no Wine", pacing, direct.medianUs,
                  direct.reports, direct.failures);
      if (direct.medianUs > 0)
        std::printf("  ratio Wine / no Wine: %.2f\n", wine.medianUs / direct.medianUs);
      if (paceUs > 0 && wine.floorUs > 0 && direct.floorUs > 0)
        std::printf(
            "  against the device's own pace (%.1f us per report, erases at 4 ms "
            "included): Wine %.3f x, no Wine %.3f x\n",
            wine.floorUs, wine.medianUs / wine.floorUs, direct.medianUs / direct.floorUs);
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
  return 0;
}
