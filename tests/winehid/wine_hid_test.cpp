// vqr03-cli.exe and vqr03.exe on Wine's own HID stack: SetupAPI, hid.dll, hidclass.sys and
// winebus.sys between the Windows program and an emulated hidraw node answered by the
// simulated bootloader. Every oracle is the device's own record: the flash it holds, the
// output reports it took and the input reports it gave, in order.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>

#include "demo/demo.h"
#include "simulator/sim_bootloader.h"
#include "wine_stack.h"

namespace vqr::test {
namespace {

using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::Not;

// The programs under test and their environment, set up once for the whole program.
struct Setup {
  std::unique_ptr<WineStack> stack;
  demo::SampleContent content;
  std::unique_ptr<demo::ContentServer> server;
  std::string cli;     // vqr03-cli.exe
  std::string window;  // vqr03.exe
  std::string driver;  // the window's driver
  std::vector<WineStack::Plugged> decoys;
};

// The window asks the update server it was built with, http://127.0.0.1:8303/, for the
// sample content.
class BuiltInServer {
 public:
  explicit BuiltInServer(const std::map<std::string, std::vector<std::uint8_t>>& files) {
    for (const auto& [path, bytes] : files) {
      const std::string body(bytes.begin(), bytes.end());
      m_server.Get("/" + path, [body](const httplib::Request&, httplib::Response& response) {
        response.set_content(body, "application/octet-stream");
      });
    }
    m_listening = m_server.bind_to_port("127.0.0.1", 8303);
    if (m_listening) m_thread = std::thread([this] { m_server.listen_after_bind(); });
  }
  ~BuiltInServer() {
    m_server.stop();
    if (m_thread.joinable()) m_thread.join();
  }
  bool Listening() const { return m_listening; }

 private:
  httplib::Server m_server;
  bool m_listening = false;
  std::thread m_thread;
};
Setup* g_setup = nullptr;

std::string Required(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

std::string Hex(const WireReport& report) {
  static const char kDigits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t byte : report) {
    out += kDigits[byte >> 4];
    out += kDigits[byte & 15];
  }
  return out;
}

// A line of a Windows program's output without the console's carriage return.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines = testing::SplitLines(text);
  for (std::string& line : lines)
    if (!line.empty() && line.back() == '\r') line.pop_back();
  return lines;
}

// A wire trace's lines of one direction ("OUT " or "IN "), without the prefix. Lines that
// start with '#' are notes, not reports.
std::vector<std::string> TraceReports(const std::string& path, const std::string& prefix) {
  std::vector<std::string> reports;
  for (const std::string& line : Lines(testing::ReadText(path)))
    if (line.rfind(prefix, 0) == 0) reports.push_back(line.substr(prefix.size()));
  return reports;
}

std::vector<std::string> Hexes(const std::vector<WireReport>& reports) {
  std::vector<std::string> out;
  for (const WireReport& report : reports) out.push_back(Hex(report));
  return out;
}

// The interface lines of a --list-devices run: path and open word (with its detail) by path.
// The listing escapes a backslash as two; the path is given back as the platform has it.
std::map<std::string, std::string> ListedInterfaces(const testing::Finished& listing) {
  std::map<std::string, std::string> found;
  for (std::string line : Lines(listing.out)) {
    for (std::size_t at = line.find("\\\\"); at != std::string::npos;
         at = line.find("\\\\", at + 1))
      line.erase(at, 1);
    if (line.rfind("interface: ", 0) != 0) continue;
    const std::size_t pathEnd = line.find(" product=");
    const std::size_t open = line.find(" open=");
    if (pathEnd == std::string::npos || open == std::string::npos) continue;
    found[line.substr(11, pathEnd - 11)] = line.substr(open + 6);
  }
  return found;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

std::string ProductHex(std::uint16_t product) {
  char text[8];
  std::snprintf(text, sizeof text, "%04x", product);
  return text;
}

class WineHidTest : public ::testing::Test {
 protected:
  // Whatever a test plugged in is gone before the next one looks for a device.
  void TearDown() override {
    for (const std::string& node : m_plugged) Stack().Kernel().Unplug(node);
  }
  std::vector<std::string> m_plugged;

  static constexpr std::chrono::microseconds kPaced{1000};

  WineStack& Stack() { return *g_setup->stack; }
  const std::string& Cli() { return g_setup->cli; }
  std::string Work() { return Stack().Config().work; }
  std::string Server() { return g_setup->server->Base(); }

  std::unique_ptr<sim::SimBootloader> NewDevice() {
    return std::make_unique<sim::SimBootloader>(g_setup->content.infoPage);
  }

  // Plugs in a device of the family and waits until Wine lists it: in a cold session the bus
  // adds it a moment after the uevent. Returns the interface path Wine gives it.
  std::string PlugAndWaitListed(WineStack::Plugged* plugged, std::uint16_t product = 0xF360,
                                NodeOptions options = {.readiness = Readiness::kWhileDue,
                                                       .descriptor = {}}) {
    *plugged = Stack().Plug(0x0416, product, NewDevice(), options);
    m_plugged.push_back(plugged->node);
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until) {
      // The session is new: the only family interface it lists is this one.
      for (const auto& [path, open] :
           ListedInterfaces(Stack().Run(Cli(), {"--list-devices"}, "list")))
        if (Lower(path).find("pid_" + ProductHex(product)) != std::string::npos) return path;
      std::this_thread::sleep_for(200ms);
    }
    ADD_FAILURE() << "Wine never listed the device at " << plugged->node;
    return {};
  }

  // The flash and the output reports of the same update against the in-process simulated
  // device: what the device must hold and must have seen, whatever the transport.
  struct Expected {
    std::vector<std::uint8_t> flash;
    std::vector<std::string> out;
  };
  const Expected& SimulatedUpdate() {
    static const Expected expected = [this] {
      const std::string info = Work() + "info.bin";
      std::ofstream(info, std::ios::binary)
          .write(reinterpret_cast<const char*>(g_setup->content.infoPage.data()),
                 static_cast<std::streamsize>(g_setup->content.infoPage.size()));
      const std::string flash = Work() + "simulated.flash";
      const std::string trace = Work() + "simulated.trace";
      std::remove(trace.c_str());
      const testing::Finished run = Stack().Run(
          Cli(),
          {"--lang", "zh-TW", "--simulate", WindowsPath(info), "--server", Server(), "--yes",
           "--sim-flash-out", WindowsPath(flash), "--trace", WindowsPath(trace)},
          "simulated");
      EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
      const std::string bytes = testing::ReadText(flash);
      return Expected{std::vector<std::uint8_t>(bytes.begin(), bytes.end()),
                      TraceReports(trace, "OUT ")};
    }();
    return expected;
  }

  std::vector<std::string> UpdateArguments(const std::string& path, const std::string& trace) {
    std::remove(trace.c_str());
    return {"--lang", "zh-TW",  "--device", path,      "--server",        Server(),
            "--yes",  "--wait", "20",       "--trace", WindowsPath(trace)};
  }
  testing::Finished Update(const std::string& path, const std::string& trace,
                           const std::string& name) {
    return Stack().Run(Cli(), UpdateArguments(path, trace), name);
  }

  // The update's whole proof: success said, the flash exact, the wire exact, the trace what
  // the device received and gave.
  // Of a run: the reports the device took and gave from `since` on.
  struct Wire {
    std::vector<std::string> received;
    std::vector<std::string> sent;
  };
  Wire WireSince(const std::string& node, const Wire& since = {}) {
    const NodeTraffic traffic = Stack().Kernel().Traffic(node);
    Wire wire{Hexes(traffic.received), Hexes(traffic.sent)};
    wire.received.erase(wire.received.begin(), wire.received.begin() + since.received.size());
    wire.sent.erase(wire.sent.begin(), wire.sent.begin() + since.sent.size());
    return wire;
  }

  // The update's whole proof: success said, the flash exact, the wire exact, the trace what
  // the device received and gave. Returns whether all of it held.
  bool ExpectExactUpdate(const testing::Finished& run, sim::SimBootloader& device, const Wire& wire,
                         const std::string& trace) {
    const Expected& expected = SimulatedUpdate();
    const bool succeeded = run.exitCode == 0 && run.out.find("更新完成") != std::string::npos &&
                           run.err.find("ERROR:") == std::string::npos;
    const bool flash = device.Flash() == expected.flash;
    const bool order = wire.received == expected.out;
    const bool traced =
        TraceReports(trace, "OUT ") == wire.received && TraceReports(trace, "IN ") == wire.sent;
    EXPECT_TRUE(succeeded) << run.exitCode << "\n" << run.out << run.err;
    EXPECT_TRUE(flash) << "the flash differs from the simulated run's";
    EXPECT_TRUE(order) << "the wire differs from the simulated run's: " << wire.received.size()
                       << " reports, " << expected.out.size() << " expected";
    EXPECT_TRUE(traced) << "the trace is not what the device took and gave";
    return succeeded && flash && order && traced;
  }

  // Waits until the device has taken `count` reports since `since`.
  bool WaitReceived(const std::string& node, std::size_t count, std::chrono::seconds limit = 120s) {
    return testing::WaitFor([&] { return Stack().Kernel().Traffic(node).received.size() >= count; },
                            limit);
  }
};

bool IsWriteCommand(const std::string& report) {
  return report.rfind("00c30e", 0) == 0;  // report ID 0, command 0x0EC3
}

TEST_F(WineHidTest, ListsOnlyTheFamilysInterfaceWithWinesPathAndUpdatesItThroughThatPath) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  // Wine's interface path: the vendor field at characters 12 to 15, as the unplug filter reads.
  EXPECT_THAT(Lower(path), ::testing::StartsWith("\\\\?\\hid#vid_0416&pid_f360"));
  ASSERT_GE(path.size(), 16u);
  EXPECT_EQ(path.substr(12, 4), "0416");

  const auto listed = ListedInterfaces(Stack().Run(Cli(), {"--list-devices"}, "list-one"));
  EXPECT_EQ(listed.count(path), 1u);
  EXPECT_EQ(listed.at(path), "ok");
  for (const auto& [other, open] : listed)
    EXPECT_THAT(Lower(other), HasSubstr("vid_0416&pid_f36")) << "listed: " << other;

  const std::string trace = Work() + "update.trace";
  const testing::Finished run = Update(path, trace, "update");
  ExpectExactUpdate(run, *plugged.device, WireSince(plugged.node), trace);
  // hidclass granted the read handle's queue of 512 input reports: the trace notes nothing.
  EXPECT_EQ(TraceReports(trace, "#"), std::vector<std::string>{});

  for (const WineStack::Plugged& decoy : g_setup->decoys) {
    const NodeTraffic traffic = Stack().Kernel().Traffic(decoy.node);
    EXPECT_EQ(traffic.writes + traffic.malformedWrites, 0u) << decoy.node << " was written";
  }
}

// The device unplugged in the middle of writing an image: a numbered error, never success;
// every transfer after the removal fails, so the trace holds exactly what the device took,
// and the device link says which commands it could not send.
TEST_F(WineHidTest, RemovalDuringWritingEndsInANumberedErrorAndTracesOnlyWhatTheDeviceTook) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  plugged.device->SetPacing(kPaced, 4 * kPaced);
  const std::string trace = Work() + "removal.trace";
  std::unique_ptr<testing::CliProcess> run =
      Stack().Start(Cli(), UpdateArguments(path, trace), "removal");
  // Ten data reports into the first image's first write.
  ASSERT_TRUE(testing::WaitFor(
      [&] {
        const std::vector<std::string> received = WireSince(plugged.node).received;
        const auto write = std::find_if(received.begin(), received.end(), IsWriteCommand);
        return write != received.end() && received.end() - write > 10;
      },
      120s));
  Stack().Kernel().Unplug(plugged.node);
  const std::optional<testing::Finished> finished = run->WaitUpTo(120s);
  ASSERT_TRUE(finished) << "the run did not end after the removal";
  const Wire wire = WireSince(plugged.node);

  EXPECT_NE(finished->exitCode, 0) << finished->out;
  EXPECT_THAT(finished->out, Not(HasSubstr("更新完成")));
  EXPECT_THAT(finished->out, ::testing::ContainsRegex("message \\[[^]]*\\]: .*04[0-9][0-9]"));
  EXPECT_THAT(finished->err, HasSubstr("ERROR: Send"));  // the device link's diagnostics
  EXPECT_EQ(TraceReports(trace, "OUT "), wire.received) << "the trace holds reports never taken";
  EXPECT_EQ(TraceReports(trace, "IN "), wire.sent);
  EXPECT_LT(wire.received.size(), SimulatedUpdate().out.size());
}

// One program on one device: a second vqr03-cli.exe, started while the first updates the
// device, finds it held (the first's claim) and gives up when its wait ends, without a
// report; the first completes undisturbed.
TEST_F(WineHidTest, ASecondProgramIsToldTheDeviceIsBusyAndTheFirstCompletes) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  // Slow enough that the first holds the device for the second's whole search.
  plugged.device->SetPacing(10 * kPaced, 4 * kPaced);
  const std::string trace = Work() + "first.trace";
  std::unique_ptr<testing::CliProcess> first =
      Stack().Start(Cli(), UpdateArguments(path, trace), "first");
  ASSERT_TRUE(WaitReceived(plugged.node, 3));

  const testing::Finished second =
      Stack().Run(Cli(), {"--lang", "zh-TW", "--wait", "1", "--server", Server()}, "second", 60s);
  EXPECT_EQ(second.exitCode, 1) << second.out << second.err;
  EXPECT_THAT(second.err, HasSubstr("] 183"));  // ERROR_ALREADY_EXISTS: the first's claim
  EXPECT_THAT(second.err, HasSubstr("no device found"));

  const std::optional<testing::Finished> done = first->WaitUpTo(180s);
  ASSERT_TRUE(done);
  ExpectExactUpdate(*done, *plugged.device, WireSince(plugged.node), trace);
}

// A family interface whose reports are not 65 bytes long (report ID and 64 data bytes): every
// transfer on it would fail, so it is refused when it is opened, and said so.
TEST_F(WineHidTest, AFamilyInterfaceWithOtherReportLengthsIsRefusedWhenOpened) {
  std::vector<std::uint8_t> descriptor = kFamilyReportDescriptor;
  for (std::size_t i = 0; i + 1 < descriptor.size(); ++i)
    if (descriptor[i] == 0x95) descriptor[i + 1] = 0x20;  // report count 32
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(
      &plugged, 0xF361, {.readiness = Readiness::kWhileDue, .descriptor = descriptor});
  ASSERT_FALSE(path.empty());
  const auto listed = ListedInterfaces(Stack().Run(Cli(), {"--list-devices"}, "list-short"));
  ASSERT_EQ(listed.count(path), 1u);
  EXPECT_THAT(listed.at(path), ::testing::StartsWith("failed"));
  EXPECT_THAT(listed.at(path), HasSubstr("33"));  // the report ID and 32 data bytes

  const testing::Finished run =
      Stack().Run(Cli(), {"--device", path, "--wait", "1", "--server", Server()}, "short", 60s);
  EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
  const NodeTraffic traffic = Stack().Kernel().Traffic(plugged.node);
  EXPECT_EQ(traffic.writes + traffic.malformedWrites, 0u);
}

// The window, vqr03.exe as shipped, driven from another process as a user would.
class WineHidWindowTest : public WineHidTest {
 protected:
  void SetUp() override {
    WineHidTest::SetUp();
    server = std::make_unique<BuiltInServer>(g_setup->content.files);
    ASSERT_TRUE(server->Listening()) << "127.0.0.1:8303 is taken";
  }
  std::unique_ptr<testing::CliProcess> StartWindow() {
    return Stack().Start(g_setup->window, {"--lang", "zh-TW"}, "window");
  }
  static void EndWindow(testing::CliProcess& window) {
    if (!window.WaitUpTo(30s)) window.Signal(SIGKILL);
  }
  std::unique_ptr<BuiltInServer> server;
};

TEST_F(WineHidWindowTest, TheStartButtonUpdatesTheDeviceExactly) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  std::unique_ptr<testing::CliProcess> window = StartWindow();
  const testing::Finished driver = Stack().Run(g_setup->driver, {"update"}, "drive-update", 360s);
  EndWindow(*window);
  EXPECT_EQ(driver.exitCode, 0) << driver.out << driver.err;
  EXPECT_THAT(driver.out, HasSubstr("box: 更新完成"));
  EXPECT_THAT(driver.out, HasSubstr("start=[- 更 新 完 成 -]"));
  EXPECT_TRUE(plugged.device->Flash() == SimulatedUpdate().flash);
  EXPECT_EQ(WireSince(plugged.node).received, SimulatedUpdate().out);
}

// The unplug handler, driven by the device-change broadcast Wine sends when its bus removes
// the interface: back to searching, the list emptied and disabled, the start button disabled
// with its caption back, the count from 0 again.
TEST_F(WineHidWindowTest, UnplugReturnsTheWindowToSearching) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  std::unique_ptr<testing::CliProcess> window = StartWindow();
  std::unique_ptr<testing::CliProcess> driver =
      Stack().Start(g_setup->driver, {"unplug"}, "drive-unplug");
  const std::string said = Work() + "drive-unplug.stdout";
  ASSERT_TRUE(testing::WaitFor(
      [&] { return testing::ReadText(said).find("identified") != std::string::npos; }, 120s))
      << testing::ReadText(said);
  Stack().Kernel().Unplug(plugged.node);
  const std::optional<testing::Finished> done = driver->WaitUpTo(120s);
  EndWindow(*window);
  ASSERT_TRUE(done);
  EXPECT_EQ(done->exitCode, 0) << done->out;
  EXPECT_THAT(done->out, ::testing::ContainsRegex(
                             "searching: device=\\[尋 找 中\\.\\.\\.\\.\\. +[012]\\] list=0 "
                             "disabled start=\\[開 始 更 新\\] disabled"));
}

// Many updates in a row with both cores busy: unpaced, the device answers every report at once
// (a 16-page read sends its 64 input reports back to back), and paced at 1 ms per report. Not
// one may fail or differ.
TEST_F(WineHidTest, SoakTwentyUpdatesAtOnceAndTwentyPacedWithBothCoresBusy) {
  WineStack::Plugged plugged;
  const std::string path = PlugAndWaitListed(&plugged);
  ASSERT_FALSE(path.empty());
  const std::vector<std::uint8_t> erased = plugged.device->Flash();
  SimulatedUpdate();
  BusyCores busy;
  for (const std::chrono::microseconds pace : {std::chrono::microseconds{0}, kPaced}) {
    plugged.device->SetPacing(pace, 4 * pace);
    int failures = 0;
    for (int i = 0; i < 20; ++i) {
      ASSERT_TRUE(plugged.device->LoadFlash(erased));
      const Wire before = WireSince(plugged.node);
      const std::string trace = Work() + "soak.trace";
      const testing::Finished run = Update(path, trace, "soak");
      if (!ExpectExactUpdate(run, *plugged.device, WireSince(plugged.node, before), trace))
        ++failures;
    }
    EXPECT_EQ(failures, 0) << "pace " << pace.count() << " us";
  }
}

}  // namespace
}  // namespace vqr::test

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  if (GTEST_FLAG_GET(list_tests)) return RUN_ALL_TESTS();
  const char* preload = std::getenv("LD_PRELOAD");
  if (preload == nullptr || std::strstr(preload, "libumockdev-preload") == nullptr) {
    std::fprintf(stderr, "%s: run under umockdev-wrapper\n", argv[0]);
    return 1;
  }
  using namespace vqr::test;
  Setup setup;
  setup.cli = Required("VQR_CLI_EXE");
  setup.window = Required("VQR_WINDOW_EXE");
  setup.driver = Required("VQR_DRIVER_EXE");
  if (setup.cli.empty() || setup.window.empty() || setup.driver.empty()) {
    std::fprintf(stderr, "%s: VQR_CLI_EXE, VQR_WINDOW_EXE and VQR_DRIVER_EXE must be set\n",
                 argv[0]);
    return 1;
  }
  try {
    setup.stack = std::make_unique<WineStack>(WineStackConfig::FromEnvironment());
    // Another vendor's device and one of the vendor outside the family, never readable.
    const NodeOptions quiet{.readiness = Readiness::kWhileDue, .descriptor = {}};
    setup.decoys.push_back(setup.stack->Plug(0x046D, 0xC52B, nullptr, quiet));
    setup.decoys.push_back(setup.stack->Plug(0x0416, 0xF370, nullptr, quiet));
    setup.stack->Start();
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", argv[0], error.what());
    return 1;
  }
  setup.content = vqr::demo::MakeSampleContent();
  setup.server = vqr::demo::ServeFiles(setup.content.files);
  if (!setup.server) {
    std::fprintf(stderr, "%s: no content server\n", argv[0]);
    return 1;
  }
  g_setup = &setup;
  const int result = RUN_ALL_TESTS();
  g_setup = nullptr;
  return result;
}
