// The simulated bootloader: the device's side of the wire.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>

#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "simulator/sim_bootloader.h"

namespace vqr {
namespace {

class SimulatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    path = backend.Plug(&device);
    ASSERT_NE(cmd.IO().OpenDevice(), 0u);
  }
  static std::array<std::uint8_t, 256> Filled() {
    std::array<std::uint8_t, 256> page;
    page.fill(0x42);
    return page;
  }
  std::array<std::uint8_t, 256> info = Filled();
  sim::SimBootloader device{std::span<const std::uint8_t, 256>(info)};
  hid::SimulatedHidBackend backend;
  std::u16string path;
  CHidCmd cmd{backend};
};

TEST_F(SimulatorTest, StartsErasedWithTheInformationPage) {
  const auto flash = device.Flash();
  ASSERT_EQ(flash.size(), 8192u * 256u);
  for (std::uint32_t page = 0; page < 8192; ++page) {
    const std::uint8_t expected = page == kInfoPage ? 0x42 : 0xFF;
    for (std::uint32_t i = 0; i < 256; ++i)
      ASSERT_EQ(flash[page * 256 + i], expected) << "page " << page;
  }
}

TEST_F(SimulatorTest, WritingWithoutEraseOnlyClearsBits) {
  std::vector<std::uint8_t> first(256, 0xF0), second(256, 0x0F);
  cmd.WritePages(first.data(), 0, 1);
  cmd.WritePages(second.data(), 0, 1);
  EXPECT_EQ(device.Page(0)[0], 0x00);
}

TEST_F(SimulatorTest, KeepsTheOpeningAndClosingCommands) {
  cmd.SendTest(kOpeningWord, 3);
  cmd.SendTest(kClosingWord, kClosingWord);
  EXPECT_EQ(device.TestCommands(),
            (std::vector<sim::TestCommand>{{kOpeningWord, 3}, {kClosingWord, kClosingWord}}));
}

TEST_F(SimulatorTest, FlipsBitsOnReadBackOnly) {
  device.FlipBitsOnRead(5, 10, 3, 0x01);
  std::vector<std::uint8_t> page(256);
  cmd.ReadPages(page.data(), 5, 1);
  int differing = 0;
  for (std::uint8_t byte : page) differing += byte != 0xFF;
  EXPECT_EQ(differing, 3);
  EXPECT_EQ(page[10], 0xFE);
  EXPECT_EQ(device.Page(5)[10], 0xFF) << "the flash itself is unchanged";
}

// Silent after report 3 (the read command and two of its four data reports): the rest of the
// page is never answered, while commands and writes still reach the flash.
TEST_F(SimulatorTest, SilentAfterAReportAnswersNoLaterRead) {
  backend.SetTransferBound(std::chrono::milliseconds(20));
  device.SilentAfterReport(3);
  std::vector<std::uint8_t> page(256);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmd.ReadPages(page.data(), 0, 1), 128u);
  std::vector<std::uint8_t> zeros(256, 0);
  cmd.WritePages(zeros.data(), 0, 1);
  EXPECT_EQ(cmd.ReadPages(page.data(), 0, 1), 0u);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(device.Page(0)[0], 0x00);
  EXPECT_FALSE(device.Vanished());
}

TEST_F(SimulatorTest, VanishingFailsEveryLaterTransferAndRaisesARemoval) {
  struct Seen {
    int removals = 0;
    std::u16string path;
  } seen;
  backend.SetRemovalListener(
      [](void* context, const std::u16string& removed, std::uint16_t vendor) {
        auto* s = static_cast<Seen*>(context);
        ++s->removals;
        s->path = removed;
        EXPECT_EQ(vendor, 0x0416);
      },
      &seen);
  device.VanishAfterReport(2);
  std::vector<std::uint8_t> page(256);
  ::testing::internal::CaptureStdout();
  EXPECT_EQ(cmd.EraseSector(0), 1);
  EXPECT_EQ(cmd.EraseSector(1), 1);
  EXPECT_EQ(cmd.EraseSector(2), 0);
  EXPECT_EQ(cmd.ReadPages(page.data(), 0, 1), 0u);
  ::testing::internal::GetCapturedStdout();
  EXPECT_EQ(seen.removals, 1);
  EXPECT_EQ(seen.path, path);
  EXPECT_EQ(cmd.IO().OpenDevice(), 0u) << "the interface is gone";
  backend.SetRemovalListener(nullptr, nullptr);
}

TEST_F(SimulatorTest, PacingKeepsToTheSchedule) {
  device.SetPacing(std::chrono::microseconds(2000), std::chrono::microseconds(0));
  std::vector<std::uint8_t> data(4 * 256, 0);
  const auto start = std::chrono::steady_clock::now();
  cmd.WritePages(data.data(), 0, 4);  // 1 + 16 reports
  const auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(17 * 2 - 2));
}

}  // namespace
}  // namespace vqr
