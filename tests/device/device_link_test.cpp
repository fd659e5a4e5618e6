// The device link: command packets, the search and its match rule, the results of a transfer,
// the data loops of the commands and the wire trace.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>

#include <array>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <thread>

#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "simulator/sim_bootloader.h"

namespace vqr {
namespace {

using hid::SimInterface;
using hid::SimInterfacePath;
using hid::SimulatedHidBackend;
using ::testing::ElementsAreArray;

std::array<std::uint8_t, 256> InfoPage() {
  std::array<std::uint8_t, 256> page{};
  for (std::size_t i = 0; i < page.size(); ++i) page[i] = static_cast<std::uint8_t>(i * 7 + 1);
  return page;
}

// --- Command packets ---

struct PacketCase {
  const char* name;
  std::uint16_t code;
  std::uint32_t arg1, arg2;
  std::array<std::uint8_t, 18> bytes;
};

class PacketTest : public ::testing::TestWithParam<PacketCase> {};

TEST_P(PacketTest, EncodesLittleEndianWithByteSum) {
  const PacketCase& c = GetParam();
  EXPECT_THAT(CommandPacket::Make(c.code, c.arg1, c.arg2).Bytes(), ElementsAreArray(c.bytes));
}

INSTANTIATE_TEST_SUITE_P(WorkedExamples, PacketTest,
                         ::testing::Values(PacketCase{"EraseSector2",
                                                      kCmdErase,
                                                      2,
                                                      1,
                                                      {0x71, 0x0E, 0x02, 0, 0, 0, 0x01, 0, 0, 0,
                                                       0x69, 0xE3, 0xBE, 0x93, 0x1F, 0x03, 0, 0}},
                                           PacketCase{"ReadInfoPage",
                                                      kCmdRead,
                                                      8175,
                                                      1,
                                                      {0xD2, 0x0E, 0xEF, 0x1F, 0, 0, 0x01, 0, 0, 0,
                                                       0x69, 0xE3, 0xBE, 0x93, 0x8C, 0x04, 0, 0}},
                                           PacketCase{"WriteSector2",
                                                      kCmdWrite,
                                                      32,
                                                      16,
                                                      {0xC3, 0x0E, 0x20, 0, 0, 0, 0x10, 0, 0, 0,
                                                       0x69, 0xE3, 0xBE, 0x93, 0x9E, 0x03, 0, 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- Search and match rule ---

struct MatchCase {
  std::uint16_t vendor, product;
  bool matches;
};

class MatchRuleTest : public ::testing::TestWithParam<MatchCase> {};

TEST_P(MatchRuleTest, OpensOnlyTheFamily) {
  const MatchCase& c = GetParam();
  SimulatedHidBackend backend;
  backend.SetInterfaces({{SimInterfacePath(c.vendor, c.product, 0), c.vendor, c.product}});
  CHidIO io(backend);
  EXPECT_EQ(io.OpenDevice(), c.matches ? c.product : 0u);
  EXPECT_EQ(io.IsReadOpen(), c.matches);
  EXPECT_EQ(io.IsWriteOpen(), c.matches);
}

INSTANTIATE_TEST_SUITE_P(Products, MatchRuleTest,
                         ::testing::Values(MatchCase{0x0416, 0xF360, true},
                                           MatchCase{0x0416, 0xF36F, true},
                                           MatchCase{0x0416, 0xF35F, false},
                                           MatchCase{0x0416, 0xF370, false},
                                           MatchCase{0x0417, 0xF360, false}));

class SearchTest : public ::testing::Test {
 protected:
  SimulatedHidBackend backend;  // starts with four interfaces that do not match
  sim::SimBootloader first{InfoPage()};
  sim::SimBootloader second{InfoPage()};
};

TEST_F(SearchTest, NothingAttachedOpensNothing) {
  CHidIO io(backend);
  EXPECT_EQ(io.OpenDevice(), 0u);
  EXPECT_FALSE(io.IsReadOpen());
  EXPECT_FALSE(io.IsWriteOpen());
  backend.SetListFails(true);
  EXPECT_EQ(io.OpenDevice(), 0u);
}

TEST_F(SearchTest, FirstMatchWinsAndLaterInterfacesAreNeverProbed) {
  backend.Plug(&first, 0xF363);
  const std::u16string later = backend.Plug(&second, 0xF361);
  CHidIO io(backend);
  EXPECT_EQ(io.OpenDevice(), 0xF363u);
  EXPECT_EQ(backend.ProbeCount(later), 0);
  for (const SimInterface& decoy : backend.Interfaces())
    if (decoy.device == nullptr) {
      EXPECT_EQ(backend.ProbeCount(decoy.path), 1);
    }
}

TEST_F(SearchTest, SecondSearchStartsClosedAndOpensTheSameDeviceAnew) {
  backend.Plug(&first);
  CHidIO io(backend);
  ASSERT_EQ(io.OpenDevice(), 0xF360u);
  backend.SetListFails(true);
  EXPECT_EQ(io.OpenDevice(), 0u);
  EXPECT_FALSE(io.IsReadOpen());
  EXPECT_FALSE(io.IsWriteOpen());
  backend.SetListFails(false);
  EXPECT_EQ(io.OpenDevice(), 0xF360u);
  std::uint8_t report[hid::kReportSize] = {0, 0x5B, 0x0E};
  EXPECT_EQ(io.WriteReport(report, nullptr), 1);
}

TEST_F(SearchTest, SkipsInterfacesThatCannotBeReadAndStopsWhenMemoryRunsOut) {
  auto interfaces = backend.Interfaces();
  SimInterface unreadable{SimInterfacePath(0x0416, 0xF360, 40), 0x0416, 0xF360, &first};
  unreadable.fetchFails = true;
  SimInterface unprobeable = unreadable;
  unprobeable.path = SimInterfacePath(0x0416, 0xF360, 41);
  unprobeable.fetchFails = false;
  unprobeable.probeFails = true;
  SimInterface good{SimInterfacePath(0x0416, 0xF362, 42), 0x0416, 0xF362, &second};
  interfaces.push_back(unreadable);
  interfaces.push_back(unprobeable);
  interfaces.push_back(good);
  backend.SetInterfaces(interfaces);
  CHidIO io(backend);
  EXPECT_EQ(io.OpenDevice(), 0xF362u);

  SimInterface noMemory = unreadable;
  noMemory.fetchFails = false;
  noMemory.allocFails = true;
  interfaces.insert(interfaces.end() - 1, noMemory);
  backend.SetInterfaces(interfaces);
  EXPECT_EQ(io.OpenDevice(), 0u) << "a later match is not examined once memory ran out";
  EXPECT_FALSE(io.IsReadOpen());
}

// A matching interface that cannot be claimed or opened in either direction is not found:
// nothing stays taken, the reason is kept, and the next matching interface is tried.
struct UnopenableCase {
  const char* name;
  bool readFails, writeFails;
  hid::OpenError claimFails;
  hid::OpenError reason;
};

class UnopenableTest : public SearchTest, public ::testing::WithParamInterface<UnopenableCase> {};

TEST_P(UnopenableTest, IsNotFoundAndSaysWhy) {
  const UnopenableCase& c = GetParam();
  SimInterface unopenable{SimInterfacePath(0x0416, 0xF360, 9), 0x0416, 0xF360, &first};
  unopenable.openReadFails = c.readFails;
  unopenable.openWriteFails = c.writeFails;
  unopenable.claimFails = c.claimFails;
  backend.SetInterfaces({unopenable});
  CHidIO io(backend);
  EXPECT_EQ(io.OpenDevice(), 0u);
  EXPECT_FALSE(io.IsReadOpen());
  EXPECT_FALSE(io.IsWriteOpen());
  EXPECT_EQ(backend.OpenHandleCount(), 0);
  EXPECT_FALSE(backend.Claimed(unopenable.path));
  EXPECT_EQ(io.LastOpenFailure().kind, c.reason);
  EXPECT_EQ(io.LastOpenFailure().path, unopenable.path);
  std::uint8_t report[hid::kReportSize] = {};
  std::uint32_t count = 99;
  EXPECT_EQ(io.ReadReport(report, &count), 0);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(io.WriteReport(report, nullptr), 0);

  // A second device of the family behind it is opened; the failure is then forgotten.
  const std::u16string later = backend.Plug(&second, 0xF36A);
  EXPECT_EQ(io.OpenDevice(), 0xF36Au);
  EXPECT_EQ(io.LastOpenFailure(), hid::OpenFailure{});
  EXPECT_TRUE(backend.Claimed(later));
  EXPECT_FALSE(backend.Claimed(unopenable.path));
  EXPECT_EQ(backend.OpenHandleCount(), 2);
}

INSTANTIATE_TEST_SUITE_P(
    Failures, UnopenableTest,
    ::testing::Values(UnopenableCase{"ReadOpenFails", true, false, hid::OpenError::kNone,
                                     hid::OpenError::kOther},
                      UnopenableCase{"WriteOpenFails", false, true, hid::OpenError::kNone,
                                     hid::OpenError::kOther},
                      UnopenableCase{"AccessDenied", false, false, hid::OpenError::kAccessDenied,
                                     hid::OpenError::kAccessDenied},
                      UnopenableCase{"HeldByAnotherProgram", false, false, hid::OpenError::kBusy,
                                     hid::OpenError::kBusy}),
    [](const auto& info) { return std::string(info.param.name); });

// One program on one device at a time: a second search object cannot take a device that the
// first holds, and takes it on its next search once the first has let go.
TEST_F(SearchTest, AHeldDeviceIsBusyForASecondSearchUntilReleased) {
  const std::u16string path = backend.Plug(&first);
  auto holder = std::make_unique<CHidIO>(backend);
  CHidIO other(backend);
  ASSERT_EQ(holder->OpenDevice(), 0xF360u);
  EXPECT_EQ(other.OpenDevice(), 0u);
  EXPECT_EQ(other.LastOpenFailure().kind, hid::OpenError::kBusy);
  EXPECT_EQ(other.LastOpenFailure().path, path);

  // The holder searching again takes the device anew: its own earlier claim is no obstacle.
  ASSERT_EQ(holder->OpenDevice(), 0xF360u);
  EXPECT_EQ(other.OpenDevice(), 0u);

  holder.reset();
  EXPECT_EQ(other.OpenDevice(), 0xF360u);
  EXPECT_EQ(other.LastOpenFailure().kind, hid::OpenError::kNone);
}

// Handles dropped by a search are closed, but never under a transfer still using them.
TEST_F(SearchTest, DroppedHandlesAreClosedOnceNoTransferUsesThem) {
  backend.Plug(&first);
  CHidIO io(backend);
  for (int cycle = 0; cycle < 50; ++cycle) ASSERT_NE(io.OpenDevice(), 0u);
  EXPECT_EQ(backend.OpenHandleCount(), 2);
  EXPECT_EQ(io.RetiredHandleCount(), 0u);

  first.NeverAnswerReads(true);
  backend.SetTransferBound(std::chrono::milliseconds(400));
  std::uint8_t report[hid::kReportSize] = {};
  int readResult = -1;
  std::thread worker([&] { readResult = io.ReadReport(report, nullptr); });
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  ASSERT_NE(io.OpenDevice(), 0u);  // a new search while the worker waits in its read
  EXPECT_EQ(io.RetiredHandleCount(), 2u);
  EXPECT_EQ(backend.OpenHandleCount(), 4);
  worker.join();
  EXPECT_EQ(readResult, 0) << "a read the device never answers ends at the bound";
  EXPECT_EQ(io.RetiredHandleCount(), 0u);
  EXPECT_EQ(backend.OpenHandleCount(), 2);
}

// --- Results of a transfer: a scripted backend plays each outcome of the issue and the wait.

class ScriptedBackend final : public hid::HidBackend {
 public:
  bool issueOk = true;
  hid::WaitResult wait = hid::WaitResult::kIndex1;
  std::uint32_t bytes = hid::kReportSize;
  std::u16string readNote;  // what OpenNote says of the read handle
  std::vector<std::string> log;

  std::unique_ptr<hid::InterfaceList> ListInterfaces() override {
    struct One final : hid::InterfaceList {
      hid::PathResult Path(std::uint32_t index, std::u16string* path) override {
        if (index > 0) return hid::PathResult::kNoMore;
        *path = u"scripted";
        return hid::PathResult::kOk;
      }
    };
    return std::make_unique<One>();
  }
  bool Probe(const std::u16string&, std::uint16_t* v, std::uint16_t* p) override {
    *v = 0x0416;
    *p = 0xF360;
    return true;
  }
  hid::NativeHandle Claim(const std::u16string&, hid::OpenFailure*) override { return 0x30; }
  void ReleaseClaim(hid::NativeHandle c) override {
    log.push_back("release claim " + std::to_string(c));
  }
  hid::NativeHandle Open(const std::u16string&, hid::Direction d, hid::OpenFailure*) override {
    return d == hid::Direction::kRead ? 0x10 : 0x20;
  }
  std::u16string OpenNote(hid::NativeHandle h) override { return h == 0x10 ? readNote : u""; }
  hid::NativeHandle CreateEvent() override { return ++m_events; }
  void SetEvent(hid::NativeHandle) override {}
  void ResetEvent(hid::NativeHandle e) override { log.push_back("reset " + std::to_string(e)); }
  void CloseEvent(hid::NativeHandle e) override {
    log.push_back("close event " + std::to_string(e));
  }
  hid::WaitResult WaitAny(hid::NativeHandle, hid::NativeHandle, std::uint32_t ms) override {
    log.push_back("wait " + std::to_string(ms));
    return wait;
  }
  bool Issue(hid::Direction, hid::NativeHandle, std::uint8_t* report, hid::NativeHandle) override {
    for (std::uint32_t i = 1; i < hid::kReportSize; ++i) report[i] = static_cast<std::uint8_t>(i);
    return issueOk;
  }
  std::uint32_t BytesMoved(hid::Direction, hid::NativeHandle) override { return bytes; }
  void CancelIo(hid::NativeHandle h) override { log.push_back("cancel " + std::to_string(h)); }
  void Close(hid::NativeHandle h) override { log.push_back("close " + std::to_string(h)); }

 private:
  hid::NativeHandle m_events = 0;  // read 1, write 2, cancel 3
};

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct OutcomeCase {
  const char* name;
  bool issueOk;
  hid::WaitResult wait;
  std::uint32_t bytes;  // what the backend says the transfer moved
  int result;
  std::uint32_t count;
  const char* reset;  // the event reset, or "" for none
};

class TransferOutcomeTest : public ::testing::TestWithParam<OutcomeCase> {};

TEST_P(TransferOutcomeTest, ReadAndWriteFollowTheResultsTable) {
  const OutcomeCase& c = GetParam();
  for (const bool read : {true, false}) {
    ScriptedBackend backend;
    backend.issueOk = c.issueOk;
    backend.wait = c.wait;
    backend.bytes = c.bytes;
    CHidIO io(backend);
    ASSERT_EQ(io.OpenDevice(), 0xF360u);
    // A file of this case's own: CTest runs the cases side by side, each in its own process.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '_');
    const std::string trace = ::testing::TempDir() + "outcome." + name + ".trace";
    std::remove(trace.c_str());
    ASSERT_TRUE(io.StartTrace(trace));
    backend.log.clear();
    std::uint8_t report[hid::kReportSize] = {};
    std::uint32_t count = 1234;
    const int result = read ? io.ReadReport(report, &count) : io.WriteReport(report, &count);
    io.StopTrace();
    EXPECT_EQ(result, c.result) << (read ? "read" : "write");
    EXPECT_EQ(count, c.count);
    EXPECT_EQ(ReadLines(trace).size(), c.result == 1 ? 1u : 0u) << "only a report that moved";
    std::vector<std::string> resets;
    for (const std::string& entry : backend.log)
      if (entry.rfind("reset", 0) == 0) resets.push_back(entry);
    const std::string directionEvent = read ? "reset 1" : "reset 2";
    const std::string expected = std::string(c.reset) == "direction" ? directionEvent : c.reset;
    if (expected.empty())
      EXPECT_TRUE(resets.empty());
    else
      EXPECT_THAT(resets, ::testing::ElementsAre(expected));
    if (c.issueOk) {
      EXPECT_THAT(backend.log, ::testing::Contains("wait 100"));
    }
  }
}

// A completion that moved other than a whole report is a failed transfer, whatever backend
// reported it.
INSTANTIATE_TEST_SUITE_P(
    Outcomes, TransferOutcomeTest,
    ::testing::Values(
        OutcomeCase{"IssueFails", false, hid::WaitResult::kIndex1, 65, 0, 0, ""},
        OutcomeCase{"Cancelled", true, hid::WaitResult::kIndex0, 65, 0, 0, "reset 3"},
        OutcomeCase{"Completed", true, hid::WaitResult::kIndex1, 65, 1, 65, "direction"},
        OutcomeCase{"CompletedShort", true, hid::WaitResult::kIndex1, 64, 0, 0, "direction"},
        OutcomeCase{"CompletedEmpty", true, hid::WaitResult::kIndex1, 0, 0, 0, "direction"},
        OutcomeCase{"CompletedLong", true, hid::WaitResult::kIndex1, 66, 0, 0, "direction"},
        OutcomeCase{"TimedOut", true, hid::WaitResult::kTimeout, 65, 0, 0, ""},
        OutcomeCase{"WaitFails", true, hid::WaitResult::kFailed, 65, 0, 0, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// What the backend noted about the opened handles reaches the caller, and the trace as lines
// of their own that no reader takes for a report.
TEST(Transfer, OpenNotesReachTheCallerAndTheTrace) {
  ScriptedBackend backend;
  backend.readNote = u"input report queue holds 32 reports,\r\nnot 512";
  CHidIO io(backend);
  const std::string during = ::testing::TempDir() + "notes_during.trace";
  const std::string after = ::testing::TempDir() + "notes_after.trace";
  std::remove(during.c_str());
  std::remove(after.c_str());
  const std::string noteLine = "# scripted: input report queue holds 32 reports,  not 512";

  ASSERT_TRUE(io.StartTrace(during));  // a trace started before the search
  ASSERT_EQ(io.OpenDevice(), 0xF360u);
  EXPECT_EQ(io.OpenNotes(), std::vector<std::u16string>{backend.readNote});
  std::uint8_t report[hid::kReportSize] = {};
  ASSERT_EQ(io.WriteReport(report, nullptr), 1);
  ASSERT_TRUE(io.StartTrace(after));  // and one started once the device is open
  ASSERT_EQ(io.ReadReport(report, nullptr), 1);
  io.StopTrace();
  EXPECT_THAT(ReadLines(during), ::testing::ElementsAre(noteLine, WireTrace::Line(true, report)));
  EXPECT_THAT(ReadLines(after), ::testing::ElementsAre(noteLine, WireTrace::Line(false, report)));

  backend.readNote.clear();
  ASSERT_EQ(io.OpenDevice(), 0xF360u);
  EXPECT_TRUE(io.OpenNotes().empty()) << "the notes are those of the last search";
}

TEST(Transfer, NullCountBehavesTheSame) {
  ScriptedBackend backend;
  CHidIO io(backend);
  io.OpenDevice();
  std::uint8_t report[hid::kReportSize] = {};
  EXPECT_EQ(io.ReadReport(report, nullptr), 1);
  EXPECT_EQ(io.WriteReport(report, nullptr), 1);
}

TEST(Transfer, ReleasesInOrderOnDestruction) {
  ScriptedBackend backend;
  {
    CHidIO io(backend);
    io.OpenDevice();
    backend.log.clear();
  }
  EXPECT_THAT(backend.log, ::testing::ElementsAre("cancel 16", "cancel 32", "close 16", "close 32",
                                                  "release claim 48", "close event 2",
                                                  "close event 1", "close event 3"));
}

// --- The data loops of the commands, against the simulated device ---

class CommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    backend.Plug(&device);
    ASSERT_NE(cmd.IO().OpenDevice(), 0u);
  }
  // Starts a new trace file named after `name` and returns its path.
  std::string StartTrace(const std::string& name) {
    const std::string path = ::testing::TempDir() + name;
    std::remove(path.c_str());
    EXPECT_TRUE(cmd.IO().StartTrace(path));
    return path;
  }
  std::string Run(const std::function<void()>& body) {
    ::testing::internal::CaptureStdout();
    body();
    std::fflush(stdout);
    return ::testing::internal::GetCapturedStdout();
  }

  SimulatedHidBackend backend;
  sim::SimBootloader device{InfoPage()};
  CHidCmd cmd{backend};
};

TEST_F(CommandTest, ZeroPagesSendOnlyTheCommandReport) {
  std::uint8_t buffer[256] = {};
  EXPECT_EQ(cmd.WritePages(buffer, 32, 0), 0u);
  EXPECT_EQ(cmd.ReadPages(buffer, 32, 0), 0u);
  EXPECT_EQ(device.ReportsSeen(), 2u);
}

TEST_F(CommandTest, WritesAndReadsBackOneSector) {
  std::vector<std::uint8_t> sector(kSectorSize);
  for (std::size_t i = 0; i < sector.size(); ++i) sector[i] = static_cast<std::uint8_t>(i * 31);
  EXPECT_EQ(cmd.EraseSector(2), 1);
  EXPECT_EQ(cmd.WritePages(sector.data(), 32, 16), 4096u);
  EXPECT_EQ(device.ReportsSeen(), 1u + 1u + 64u);
  std::vector<std::uint8_t> back(kSectorSize);
  EXPECT_EQ(cmd.ReadPages(back.data(), 32, 16), 4096u);
  EXPECT_EQ(back, sector);
}

TEST_F(CommandTest, EraseLeavesTheSectorErased) {
  std::vector<std::uint8_t> zeros(kSectorSize, 0);
  cmd.WritePages(zeros.data(), 48, 16);
  EXPECT_EQ(cmd.EraseSector(3), 1);
  std::vector<std::uint8_t> back(kSectorSize);
  cmd.ReadPages(back.data(), 48, 16);
  EXPECT_EQ(back, std::vector<std::uint8_t>(kSectorSize, 0xFF));
}

TEST_F(CommandTest, ReadsTheInformationPageInFourReports) {
  std::array<std::uint8_t, 256> page{};
  EXPECT_EQ(cmd.ReadPages(page.data(), kInfoPage, 1), 256u);
  EXPECT_EQ(page, InfoPage());
  EXPECT_EQ(device.ReportsSeen(), 5u);
}

TEST_F(CommandTest, ReadFailingOnTheThirdDataReportKeepsTheRest) {
  device.FailReport(4);  // the command report, then data reports 1, 2 and 3
  std::vector<std::uint8_t> dest(256, 0xA5);
  std::uint32_t got = 0;
  EXPECT_EQ(Run([&] { got = cmd.ReadPages(dest.data(), kInfoPage, 1); }), "ERROR: Read fail!\n");
  EXPECT_EQ(got, 128u);
  const auto page = InfoPage();
  EXPECT_TRUE(std::equal(dest.begin(), dest.begin() + 128, page.begin()));
  EXPECT_EQ(std::vector<std::uint8_t>(dest.begin() + 128, dest.end()),
            std::vector<std::uint8_t>(128, 0xA5));
}

TEST_F(CommandTest, WriteFailingOnTheSecondDataReportStops) {
  device.FailReport(3);
  std::vector<std::uint8_t> data(kSectorSize, 0x11);
  std::uint32_t sent = 0;
  EXPECT_EQ(Run([&] { sent = cmd.WritePages(data.data(), 32, 16); }), "ERROR: Write fail!\n");
  EXPECT_EQ(sent, 64u);
}

TEST_F(CommandTest, RejectsMalformedCommandReports) {
  std::uint8_t report[hid::kReportSize];
  std::memset(report, 0xCC, sizeof report);
  report[0] = 0;
  auto packet = CommandPacket::Make(kCmdErase, 1, 1).Bytes();
  packet[14] ^= 1;  // wrong checksum
  std::memcpy(&report[1], packet.data(), packet.size());
  EXPECT_EQ(cmd.IO().WriteReport(report, nullptr), 1);
  packet = CommandPacket::Make(kCmdErase, 1, 1).Bytes();
  packet[10] = 0;  // wrong magic, checksum recomputed
  const std::uint32_t sum = CommandPacket::Checksum(packet.data());
  packet[14] = static_cast<std::uint8_t>(sum);
  packet[15] = static_cast<std::uint8_t>(sum >> 8);
  std::memcpy(&report[1], packet.data(), packet.size());
  EXPECT_EQ(cmd.IO().WriteReport(report, nullptr), 1);
  packet = CommandPacket::Make(0x0E00, 1, 1).Bytes();  // unknown code
  std::memcpy(&report[1], packet.data(), packet.size());
  EXPECT_EQ(cmd.IO().WriteReport(report, nullptr), 1);
  EXPECT_EQ(device.RejectedCommands(), 3u);
  EXPECT_EQ(device.Erases(), 0u);
}

TEST(CommandNotOpen, EveryCommandFailsAtItsCommandReport) {
  SimulatedHidBackend backend;
  CHidCmd cmd(backend);
  std::uint8_t buffer[256] = {};
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmd.EraseSector(2), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "ERROR: Send erase command error!\n");
  ::testing::internal::CaptureStdout();
  cmd.SendTest(1, 2);
  EXPECT_EQ(cmd.ReadPages(buffer, 0, 1), 0u);
  EXPECT_EQ(cmd.WritePages(buffer, 0, 1), 0u);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(),
            "ERROR: Send test command error!\nERROR: Send read command error!\n"
            "ERROR: Send write command error!\n");
}

// A backend that says a transfer completed with less (or more) than a whole report: CHidIO
// counts it as failed, so no command is taken as sent, no length below zero is counted and
// nothing is written into or past the destination.
TEST(CommandShortCount, CountOtherThanAWholeReportFailsTheCommand) {
  for (const std::uint32_t bytes : {0u, 1u, 40u, 64u, 66u}) {
    SCOPED_TRACE(bytes);
    ScriptedBackend backend;
    CHidCmd cmd(backend);
    cmd.IO().OpenDevice();
    backend.bytes = bytes;
    std::vector<std::uint8_t> buffer(256 + 64, 0x5A);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(cmd.WritePages(buffer.data(), 0, 1), 0u);
    EXPECT_EQ(cmd.ReadPages(buffer.data(), 0, 1), 0u);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "ERROR: Send write command error!\nERROR: Send read command error!\n");
    EXPECT_EQ(buffer, std::vector<std::uint8_t>(256 + 64, 0x5A));
  }
}

// The command report of every command, as the trace shows it: the packet, then 0xCC up to
// byte 64.
TEST_F(CommandTest, EveryCommandReportFillsTheRestWithCC) {
  const std::string trace = StartTrace("command_reports.trace");

  std::array<std::uint8_t, 256> page{};
  cmd.SendTest(kOpeningWord, 3);
  cmd.EraseSector(4);
  cmd.WritePages(page.data(), 64, 0);
  cmd.ReadPages(page.data(), 64, 0);
  cmd.IO().StopTrace();

  std::ifstream lines(trace);
  std::string line;
  int commands = 0;
  while (std::getline(lines, line)) {
    ASSERT_EQ(line.rfind("OUT 00", 0), 0u) << line;
    const std::string hex = line.substr(4);
    EXPECT_EQ(hex.substr(2 * 17, 4), "0000") << "packet bytes 16 and 17";
    EXPECT_EQ(hex.substr(2 * 19), std::string(2 * 46, 'c')) << line;
    ++commands;
  }
  EXPECT_EQ(commands, 4);
  EXPECT_EQ(device.RejectedCommands(), 0u);
}

// --- The wire trace ---

TEST_F(CommandTest, WireTraceHoldsExactlyTheReportsThatMoved) {
  const std::string path = StartTrace("wire.trace");
  device.FailReport(4);
  std::array<std::uint8_t, 256> page{};
  ::testing::internal::CaptureStdout();
  cmd.ReadPages(page.data(), kInfoPage, 1);
  ::testing::internal::GetCapturedStdout();
  cmd.IO().StopTrace();

  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), 3u) << "the command and two data reports; the failed one did not move";
  std::uint8_t command[hid::kReportSize];
  std::memset(command, 0xCC, sizeof command);
  command[0] = 0;
  const auto packet = CommandPacket::Make(kCmdRead, kInfoPage, 1).Bytes();
  std::memcpy(&command[1], packet.data(), packet.size());
  EXPECT_EQ(lines[0], WireTrace::Line(true, command));
  std::uint8_t in1[hid::kReportSize] = {};
  std::memcpy(&in1[1], InfoPage().data(), 64);
  EXPECT_EQ(lines[1], WireTrace::Line(false, in1));
  EXPECT_EQ(lines[1].size(), 3u + 130u);
  EXPECT_EQ(lines[1].substr(0, 11), "IN 0001080f");
}

}  // namespace
}  // namespace vqr
