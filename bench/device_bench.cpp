// Figures for the device link, from one run:
//  - the software cost per report of WritePages and ReadPages over the simulated device with
//    no pacing (what the updater adds on top of the USB transfer itself);
//  - writing and reading back 256 KiB against the simulated device paced at 1 ms per report,
//    as a ratio to the floor of (reports x 1 ms).
#include <array>
#include <chrono>
#include <cstdio>
#include <vector>

#include "device/chidcmd.h"
#include "device/hid_simulated.h"
#include "simulator/sim_bootloader.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

// Programs `sectors` sectors from sector 0 (erase, then 16 pages) and reads them back.
void WriteAndReadBack(vqr::CHidCmd& cmd, const std::vector<std::uint8_t>& data,
                      std::uint32_t sectors, std::vector<std::uint8_t>& back) {
  for (std::uint32_t s = 0; s < sectors; ++s) {
    cmd.EraseSector(s);
    cmd.WritePages(&data[s * vqr::kSectorSize], s * vqr::kPagesPerSector, vqr::kPagesPerSector);
  }
  for (std::uint32_t s = 0; s < sectors; ++s)
    cmd.ReadPages(&back[s * vqr::kSectorSize], s * vqr::kPagesPerSector, vqr::kPagesPerSector);
}

}  // namespace

int main() {
  std::array<std::uint8_t, 256> info{};
  vqr::sim::SimBootloader device(info);
  vqr::hid::SimulatedHidBackend backend;
  backend.Plug(&device);
  vqr::CHidCmd cmd(backend);
  if (cmd.IO().OpenDevice() == 0) {
    std::fprintf(stderr, "the simulated device was not found\n");
    return 1;
  }

  // Unpaced: the cost of the updater's side and the simulator's bookkeeping per report.
  constexpr std::uint32_t kPages = 1024;  // 256 KiB
  std::vector<std::uint8_t> data(kPages * vqr::kPageSize);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13);
  std::vector<std::uint8_t> back(data.size());
  constexpr int kRounds = 20;
  const std::uint64_t reportsPerCall = 1 + kPages * 4;
  auto start = Clock::now();
  for (int round = 0; round < kRounds; ++round) cmd.WritePages(data.data(), 0, kPages);
  const double writeNs = Seconds(Clock::now() - start) * 1e9 / (kRounds * reportsPerCall);
  start = Clock::now();
  for (int round = 0; round < kRounds; ++round) cmd.ReadPages(back.data(), 0, kPages);
  const double readNs = Seconds(Clock::now() - start) * 1e9 / (kRounds * reportsPerCall);
  std::printf("unpaced WritePages: %8.1f ns per report\n", writeNs);
  std::printf("unpaced ReadPages:  %8.1f ns per report\n", readNs);

  // Paced at 1 ms per report: 256 KiB written sector by sector and read back.
  device.SetPacing(std::chrono::microseconds(1000), std::chrono::microseconds(0));
  const std::uint64_t before = device.ReportsSeen();
  start = Clock::now();
  WriteAndReadBack(cmd, data, kPages / vqr::kPagesPerSector, back);
  const double elapsed = Seconds(Clock::now() - start);
  const std::uint64_t reports = device.ReportsSeen() - before;
  const double floor = static_cast<double>(reports) * 1e-3;
  std::printf("paced 256 KiB write + read-back: %llu reports, %.3f s, floor %.3f s, ratio %.4f\n",
              static_cast<unsigned long long>(reports), elapsed, floor, elapsed / floor);
  std::printf("read-back %s\n", back == data ? "identical" : "DIFFERS");
  return back == data ? 0 : 1;
}
