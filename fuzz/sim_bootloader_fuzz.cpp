// Feeds the simulated bootloader arbitrary reports in both directions and holds it to a model
// of the wire written here from the protocol: a command report carries code, two arguments,
// the magic and the sum of its first 14 bytes; erase clears one sector of 16 pages; write and
// read of N pages from page P are followed by 4·N data reports; programming only clears bits;
// an output report during a read ends the read; an input report outside a read fails. Checks
// after every report that the device's answer and its counters are the model's, and at the end
// that every page the reports reached (and the information page) is.
//
// Input: one byte per report (bit 0: output or input; bit 1: make the report a well-formed
// command, so that the fuzzer reaches every command), then, for an output report, 64 bytes.
// The first byte picks the flash size.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <map>
#include <memory>

#include "simulator/sim_bootloader.h"

namespace {

constexpr std::uint32_t kMagic = 0x93BEE369;

std::uint32_t Le32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}
void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// The flash as far as the reports touched it: pages by number, the rest as the device started
// (erased, the information page its own). Kept sparse: a copy of the whole 2 MiB flash per
// input would make the target a hundred times slower.
struct Model {
  enum class Mode { kCommand, kWrite, kRead } mode = Mode::kCommand;
  std::map<std::uint32_t, std::array<std::uint8_t, 256>> touched;
  std::array<std::uint8_t, 256> info{};
  std::uint32_t pages = 0;
  std::uint32_t offset = 0, end = 0;
  std::uint64_t reports = 0, rejected = 0, erases = 0, tests = 0;

  std::array<std::uint8_t, 256>& Page(std::uint32_t page) {
    auto found = touched.find(page);
    if (found == touched.end()) {
      std::array<std::uint8_t, 256> start;
      if (page == vqr::sim::kInfoPage)
        start = info;
      else
        start.fill(0xFF);
      found = touched.emplace(page, start).first;
    }
    return found->second;
  }
  std::uint8_t& Byte(std::uint32_t at) { return Page(at / 256)[at % 256]; }

  void Command(const std::uint8_t* packet) {
    std::uint32_t sum = 0;
    for (int i = 0; i < 14; ++i) sum += packet[i];
    if (Le32(packet + 10) != kMagic || Le32(packet + 14) != sum) {
      ++rejected;
      return;
    }
    const std::uint32_t code = packet[0] | packet[1] << 8;
    const std::uint32_t arg1 = Le32(packet + 2);
    const std::uint32_t arg2 = Le32(packet + 6);
    if (code == 0x0E5B) {
      ++tests;
    } else if (code == 0x0E71 && arg1 < pages / 16) {
      for (std::uint32_t page = arg1 * 16; page < arg1 * 16 + 16; ++page) Page(page).fill(0xFF);
      ++erases;
    } else if ((code == 0x0EC3 || code == 0x0ED2) && arg1 <= pages && arg2 <= pages - arg1) {
      if (arg2 == 0) return;
      mode = code == 0x0EC3 ? Mode::kWrite : Mode::kRead;
      offset = arg1 * 256;
      end = (arg1 + arg2) * 256;
    } else {
      ++rejected;
    }
  }
};

// One device per flash size for the whole run: a new one per input would cost 2 MiB of fresh
// memory each time, most of the target's time. Each input starts from the state a new device
// has: a device left in a write is given filler reports that clear nothing until it ends, one
// left in a read a report that ends it, and every page the last input reached is restored.
// The counters are compared as differences.
struct Persistent {
  std::unique_ptr<vqr::sim::SimBootloader> device;
  Model last;  // the model at the end of the last input
};

std::array<std::uint8_t, vqr::sim::kPageSize> InfoPage() {
  // Zeros and ones in it, so that a write that set a bit would show.
  std::array<std::uint8_t, vqr::sim::kPageSize> info;
  for (std::size_t i = 0; i < info.size(); ++i) info[i] = static_cast<std::uint8_t>(i * 37);
  return info;
}

void Reset(Persistent& persistent) {
  vqr::sim::SimBootloader& device = *persistent.device;
  Model& last = persistent.last;
  std::uint8_t report[65];
  if (last.mode == Model::Mode::kWrite) {
    std::memset(report, 0xFF, sizeof report);
    report[0] = 0;
    for (std::uint32_t at = last.offset; at < last.end; at += 64) device.ReceiveOut(report);
  } else if (last.mode == Model::Mode::kRead) {
    std::memset(report, 0, sizeof report);  // no magic: rejected, and the read has ended
    device.ReceiveOut(report);
  }
  std::array<std::uint8_t, vqr::sim::kPageSize> erased;
  erased.fill(0xFF);
  for (const auto& [page, bytes] : last.touched)
    device.SetPage(page, page == vqr::sim::kInfoPage ? last.info : erased);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  static const std::uint32_t kSizes[] = {vqr::sim::kInfoPage + 1, vqr::sim::kPageCount,
                                         vqr::sim::kPageCount + 16};
  static Persistent persistents[3];
  Persistent& persistent = persistents[data[0] % 3];
  const std::uint32_t pages = kSizes[data[0] % 3];
  if (!persistent.device)
    persistent.device = std::make_unique<vqr::sim::SimBootloader>(InfoPage(), pages);
  else
    Reset(persistent);
  vqr::sim::SimBootloader& device = *persistent.device;
  Model model;
  model.pages = pages;
  model.info = InfoPage();
  const std::uint64_t reports0 = device.ReportsSeen();
  const std::uint64_t rejected0 = device.RejectedCommands();
  const std::uint64_t erases0 = device.Erases();
  const std::uint64_t tests0 = device.TestCommands().size();
  std::size_t at = 1;
  while (at < size) {
    const std::uint8_t op = data[at++];
    std::uint8_t report[65] = {};
    if (op & 1) {  // output
      const std::size_t n = std::min<std::size_t>(64, size - at);
      std::memcpy(report + 1, data + at, n);
      at += n;
      if (op & 2) {  // a well-formed command: the magic and the sum
        PutLe32(report + 11, kMagic);
        std::uint32_t sum = 0;
        for (int i = 0; i < 14; ++i) sum += report[1 + i];
        PutLe32(report + 15, sum);
      }
      if (!device.ReceiveOut(report)) __builtin_trap();
      ++model.reports;
      if (model.mode == Model::Mode::kWrite) {
        for (std::uint32_t i = 0; i < 64; ++i) model.Byte(model.offset + i) &= report[1 + i];
        model.offset += 64;
        if (model.offset >= model.end) model.mode = Model::Mode::kCommand;
      } else {
        model.mode = Model::Mode::kCommand;
        model.Command(report + 1);
      }
    } else {  // input
      const vqr::sim::ReadOutcome outcome = device.SendIn(report, std::chrono::milliseconds(0));
      if (model.mode != Model::Mode::kRead) {
        if (outcome != vqr::sim::ReadOutcome::kFailed) __builtin_trap();
        continue;
      }
      if (outcome != vqr::sim::ReadOutcome::kReport || report[0] != 0) __builtin_trap();
      for (std::uint32_t i = 0; i < 64; ++i)
        if (report[1 + i] != model.Byte(model.offset + i)) __builtin_trap();
      ++model.reports;
      model.offset += 64;
      if (model.offset >= model.end) model.mode = Model::Mode::kCommand;
    }
    if (device.ReportsSeen() - reports0 != model.reports ||
        device.RejectedCommands() - rejected0 != model.rejected ||
        device.Erases() - erases0 != model.erases ||
        device.TestCommands().size() - tests0 != model.tests)
      __builtin_trap();
  }
  model.Page(vqr::sim::kInfoPage);
  for (const auto& [page, bytes] : model.touched)
    if (device.Page(page) != bytes) __builtin_trap();
  if (device.Vanished()) __builtin_trap();
  persistent.last = std::move(model);
  return 0;
}
