// The real hidapi backend, CHidIO and CHidCmd against the emulated kernel: a device of another
// vendor and one of the family, each a USB HID interface with a hidraw node. The search finds
// the family's, moves whole reports, runs an identification and an update through the
// controller, holds the device against a second search and a second program, and says why a
// node this user may not open cannot be opened.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/fsuid.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "content/http_backend.h"
#include "demo/demo.h"
#include "device/chidcmd.h"
#include "device/hid_backend.h"
#include "device/hid_none.h"
#include "emulated_hidraw.h"
#include "recording_port.h"
#include "simulator/sim_bootloader.h"
#include "text/text_format.h"
#include "ui/shell/controller.h"
#include "ui/shell/device_notice.h"
#include "workflow/workers.h"

namespace vqr {
namespace {

using ::testing::HasSubstr;

std::u16string U16(const std::string& text) {
  return text::Utf8ToUtf16(text);
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

std::size_t Occurrences(const std::string& text, const std::string& part) {
  std::size_t count = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++count;
  return count;
}

TEST(HidrawOpenError, ErrnoValuesMapToKinds) {
  struct Case {
    int code;
    hid::OpenError kind;
  };
  const Case cases[] = {
      {EACCES, hid::OpenError::kAccessDenied}, {EPERM, hid::OpenError::kAccessDenied},
      {EBUSY, hid::OpenError::kBusy},          {EWOULDBLOCK, hid::OpenError::kBusy},
      {ENOENT, hid::OpenError::kGone},         {ENODEV, hid::OpenError::kGone},
      {ENXIO, hid::OpenError::kGone},          {EIO, hid::OpenError::kOther},
      {EINVAL, hid::OpenError::kOther},        {0, hid::OpenError::kOther},
  };
  for (const Case& c : cases) EXPECT_EQ(hid::OpenErrorFromCode(c.code), c.kind) << c.code;
}

class HidrawTest : public ::testing::Test {
 protected:
  HidrawTest() : content(demo::MakeSampleContent()), device(content.infoPage) {}
  void SetUp() override {
    // The other vendor's interface comes first in the enumeration.
    decoy = kernel.Plug(0x046D, 0xC52B, nullptr);
    node = kernel.Plug(0x0416, 0xF360, &device);
  }
  void TearDown() override {
    g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());
    EXPECT_EQ(kernel.Opens(decoy), 0) << "the other vendor's node was opened";
    const test::NodeTraffic traffic = kernel.Traffic(node);
    EXPECT_EQ(traffic.malformedWrites, 0u) << "every write is a whole report, report ID 0";
    EXPECT_EQ(traffic.otherReads, 0u) << "every read asks for the 64 data bytes";
  }

  demo::SampleContent content;
  sim::SimBootloader device;
  // Declared after the device, so destroyed before it: the emulated kernel's thread, which
  // hands the device the reports written to its node, has stopped before the device goes.
  test::EmulatedHidraw kernel;
  std::string decoy;
  std::string node;
};

TEST_F(HidrawTest, FindsTheFamilysNodeAndMovesWholeReports) {
  CHidCmd cmd(hid::PlatformHidBackend());
  ASSERT_EQ(cmd.IO().OpenDevice(), 0xF360u);
  EXPECT_EQ(cmd.IO().LastOpenFailure(), hid::OpenFailure{});
  EXPECT_EQ(kernel.Opens(node, 3), 3) << "the claim and one descriptor per direction";

  // One command report and one data report by hand: both count 65 bytes, report ID included.
  std::uint8_t report[hid::kReportSize];
  std::memset(report, kCommandFill, sizeof report);
  report[0] = 0;
  const auto packet = CommandPacket::Make(kCmdRead, sim::kInfoPage, 1).Bytes();
  std::memcpy(&report[1], packet.data(), packet.size());
  std::uint32_t count = 0;
  ASSERT_EQ(cmd.IO().WriteReport(report, &count), 1);
  EXPECT_EQ(count, hid::kReportSize);
  std::memset(report, 0xA5, sizeof report);
  ASSERT_EQ(cmd.IO().ReadReport(report, &count), 1);
  EXPECT_EQ(count, hid::kReportSize);
  EXPECT_EQ(report[0], 0) << "the report ID the kernel does not deliver";
  EXPECT_EQ(std::vector<std::uint8_t>(report + 1, report + 65),
            std::vector<std::uint8_t>(content.infoPage.begin(), content.infoPage.begin() + 64));
  for (int i = 0; i < 3; ++i) ASSERT_EQ(cmd.IO().ReadReport(report, nullptr), 1);

  // The commands, whole: the information page, then a sector erased, written and read back.
  std::array<std::uint8_t, 256> page{};
  EXPECT_EQ(cmd.ReadPages(page.data(), sim::kInfoPage, 1), 256u);
  EXPECT_EQ(page, content.infoPage);
  std::vector<std::uint8_t> sector(kSectorSize);
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(i * 13);
  EXPECT_EQ(cmd.EraseSector(2), 1);
  EXPECT_EQ(cmd.WritePages(sector.data(), 32, 16), 4096u);
  std::vector<std::uint8_t> back(kSectorSize);
  EXPECT_EQ(cmd.ReadPages(back.data(), 32, 16), 4096u);
  EXPECT_EQ(back, sector);

  const test::NodeTraffic traffic = kernel.Traffic(node);
  EXPECT_EQ(traffic.writes, 1u + 1u + 1u + (1u + 64u) + 1u);
  EXPECT_EQ(traffic.reads, 4u + 4u + 64u);
  EXPECT_EQ(device.RejectedCommands(), 0u);
}

// The search, the identification and the update run of the front ends, through the real
// backend: the window's controller with the workers run on this thread.
TEST_F(HidrawTest, IdentifiesAndUpdatesTheDevice) {
  std::unique_ptr<demo::ContentServer> server = demo::ServeFiles(content.files);
  ASSERT_NE(server, nullptr);
  g_hidCmd.IO().UseBackend(hid::PlatformHidBackend());

  ui::NoSearchTimer timer;
  ui::RecordingPort port;
  WorkerContext context;
  context.port = &port;
  context.http = &PlatformHttpBackend();
  context.serverBase = server->Base();
  ui::WindowController controller(port, timer, context);
  std::vector<std::uint32_t> results;
  controller.SetWorkerStarter([&](WorkerEntry entry) {
    results.push_back(entry(&controller.WorkerThreads().Context()));
    return true;
  });
  std::vector<std::u16string> notices;
  controller.SetNoticeHandler([&](const std::u16string& text) { notices.push_back(text); });

  ASSERT_TRUE(controller.Probe());
  ASSERT_EQ(results, std::vector<std::uint32_t>{1});
  EXPECT_EQ(port.Text(ui::kDeviceLabel), u"版本 : [ 1002 ]");
  EXPECT_EQ(port.List().size(), 3u);
  EXPECT_EQ(port.Enabled(ui::kStartButton), std::optional<bool>(true));

  controller.OnStart();
  ASSERT_EQ(results, (std::vector<std::uint32_t>{1, 1}));
  const std::vector<ui::PortCall> boxes = port.MessageBoxes();
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_EQ(boxes[0].caption, u"更新完成");
  EXPECT_EQ(port.Text(ui::kStartButton), u"- 更 新 完 成 -");
  const std::vector<sim::TestCommand> commands = device.TestCommands();
  ASSERT_FALSE(commands.empty());
  EXPECT_EQ(commands.back(), (sim::TestCommand{kClosingWord, kClosingWord}));
  EXPECT_TRUE(notices.empty());
  EXPECT_GT(device.Erases(), 0u);
  EXPECT_EQ(device.RejectedCommands(), 0u);
}

// One program on one device at a time: while one search holds the device (for an update,
// say), a second one cannot open it and says it is busy; it takes the device once the first
// has let go.
TEST_F(HidrawTest, AHeldDeviceIsBusyForASecondSearch) {
  auto holder = std::make_unique<CHidIO>(hid::PlatformHidBackend());
  ASSERT_EQ(holder->OpenDevice(), 0xF360u);
  const int opensBefore = kernel.Opens(node, 3);

  CHidIO second(hid::PlatformHidBackend());
  EXPECT_EQ(second.OpenDevice(), 0u);
  EXPECT_FALSE(second.IsReadOpen());
  EXPECT_FALSE(second.IsWriteOpen());
  const hid::OpenFailure failure = second.LastOpenFailure();
  EXPECT_EQ(failure.kind, hid::OpenError::kBusy);
  EXPECT_EQ(failure.code, EWOULDBLOCK);
  EXPECT_EQ(failure.path, U16(node));
  EXPECT_EQ(failure.detail, U16(std::strerror(EWOULDBLOCK)));
  EXPECT_EQ(kernel.Opens(node, opensBefore + 1), opensBefore + 1) << "only the claim's descriptor";

  holder.reset();
  EXPECT_EQ(second.OpenDevice(), 0xF360u);
  EXPECT_EQ(second.LastOpenFailure(), hid::OpenFailure{});
}

// A second updater in a process of its own: vqr03-cli, started beside a holder of the device,
// sees the same emulated kernel (it inherits the preload library and the testbed), finds the
// device busy on every search, says so once on standard error and gives up when its wait ends.
TEST_F(HidrawTest, ASecondUpdaterProgramIsToldTheDeviceIsBusy) {
  CHidIO holder(hid::PlatformHidBackend());
  ASSERT_EQ(holder.OpenDevice(), 0xF360u);

  const std::string out = ::testing::TempDir() + "hidraw_cli_busy.out";
  const std::string err = ::testing::TempDir() + "hidraw_cli_busy.err";
  const std::string command = std::string("'") + VQR_CLI_PATH +
                              "' --wait 2.5 --server http://127.0.0.1:9/ >'" + out + "' 2>'" + err +
                              "'";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status)) << status;
  EXPECT_EQ(WEXITSTATUS(status), 1);

  const std::string errors = ReadWhole(err);
  const std::u16string busy(ui::FindDeviceNotice(hid::OpenError::kBusy, ui::kThisPlatform).english);
  const std::u16string chinese(
      ui::FindDeviceNotice(hid::OpenError::kBusy, ui::kThisPlatform).chinese);
  EXPECT_EQ(Occurrences(errors, text::Utf16ToUtf8(busy)), 1u) << errors;
  EXPECT_EQ(Occurrences(errors, text::Utf16ToUtf8(chinese)), 1u) << errors;
  EXPECT_THAT(errors, HasSubstr("[" + node + "] " + std::to_string(EWOULDBLOCK)));
  EXPECT_THAT(errors, HasSubstr("no device found"));
  // The device label counted on as if nothing were plugged in.
  EXPECT_THAT(ReadWhole(out), HasSubstr("device: 尋 找 中.....   2\n"));
  EXPECT_EQ(device.ReportsSeen(), 0u) << "the second program moved no report";
}

// A node this user may not open (no udev rule for it). Its mode is 0; a root user, who passes
// every permission check, searches from a thread whose file-system user is nobody.
TEST_F(HidrawTest, ANodeThisUserMayNotOpenIsAccessDenied) {
  kernel.DenyAccess(node);
  CHidIO io(hid::PlatformHidBackend());
  std::uint32_t product = 1;
  std::thread search([&] {
    if (::geteuid() == 0) {
      ::setfsuid(65534);
      if (::setfsuid(static_cast<uid_t>(-1)) != 65534) return;  // product stays 1: fails below
    }
    product = io.OpenDevice();
  });
  search.join();
  kernel.AllowAccess(node);

  EXPECT_EQ(product, 0u);
  const hid::OpenFailure failure = io.LastOpenFailure();
  EXPECT_EQ(failure.kind, hid::OpenError::kAccessDenied);
  EXPECT_EQ(failure.code, EACCES);
  EXPECT_EQ(failure.path, U16(node));
  EXPECT_EQ(failure.detail, U16(std::strerror(EACCES)));
  EXPECT_THAT(text::Utf16ToUtf8(ui::DeviceNoticeText(failure, ui::NoticePlatform::kLinux)),
              HasSubstr("Install the udev rule /usr/lib/udev/rules.d/70-vqr03.rules"));

  // With the permission in place the next search opens it.
  EXPECT_EQ(io.OpenDevice(), 0xF360u);
  EXPECT_EQ(io.LastOpenFailure(), hid::OpenFailure{});
}

}  // namespace
}  // namespace vqr
