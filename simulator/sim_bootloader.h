// A stand-in for the device's bootloader: a 2 MiB flash of 8192 pages of 256 bytes whose page
// 8175 holds an information page, the erase, write, read, opening and closing commands, and
// the faults and pacing that tests and benchmarks need. It sees the wire exactly as the
// device does: one 65-byte report at a time, report ID first.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

namespace vqr::sim {

inline constexpr std::uint32_t kPageSize = 256;
inline constexpr std::uint32_t kPageCount = 8192;
inline constexpr std::uint32_t kFlashSize = kPageSize * kPageCount;
inline constexpr std::uint32_t kInfoPage = 8175;

// An opening (0x0E5B with the opening word) or closing (0x0E5B with the closing word as both
// arguments) command, or any other 0x0E5B the device saw.
struct TestCommand {
  std::uint32_t arg1 = 0;
  std::uint32_t arg2 = 0;
  bool operator==(const TestCommand&) const = default;
};

enum class ReadOutcome { kReport, kFailed };

class SimBootloader {
 public:
  // The flash of `pageCount` pages (2 MiB unless given; at least 8176, so that it holds the
  // information page) starts erased (0xFF) with `infoPage` in page 8175.
  explicit SimBootloader(std::span<const std::uint8_t, kPageSize> infoPage,
                         std::uint32_t pageCount = kPageCount);

  // --- The wire, as the device sees it. Thread-safe. ---
  // Takes one output report. False when the transfer fails (an injected fault, or the device
  // has vanished); the report is then not seen by the device.
  bool ReceiveOut(const std::uint8_t* report);
  // Produces one input report. Blocks for at most `bound` when the device has nothing to send
  // (no read in progress, or it was told never to answer) and then fails.
  ReadOutcome SendIn(std::uint8_t* report, std::chrono::milliseconds bound);

  // --- Pacing: the device completes a report at most once per `perReport` (like a polled
  // interrupt endpoint: the schedule does not drift with the host's lateness), and an erase
  // takes `perErase` on top.
  void SetPacing(std::chrono::microseconds perReport, std::chrono::microseconds perErase);

  // --- Faults. Reports are counted from 1 over both directions. ---
  void FailReport(std::uint64_t k);         // report k fails (is not delivered)
  void VanishAfterReport(std::uint64_t k);  // every transfer after report k fails
  // Reading page `page` back flips `mask` in `count` bytes from `offset`.
  void FlipBitsOnRead(std::uint32_t page, std::uint32_t offset, std::uint32_t count,
                      std::uint8_t mask);
  void NeverAnswerReads(bool never);
  // From report k+1 on, no read is answered (0: none at all); commands and writes still are.
  void SilentAfterReport(std::uint64_t k);

  // --- What the device saw. ---
  bool Vanished() const;
  // The input reports the device would send now, one per read: what is left of a read in
  // progress; 0 when there is none, when it was told never to answer, or when it vanished.
  std::uint32_t InputReportsDue() const;
  std::uint64_t ReportsSeen() const;
  std::uint64_t RejectedCommands() const;
  std::uint64_t Erases() const;
  std::vector<TestCommand> TestCommands() const;  // opening and closing commands, in order

  // The flash, page by page.
  std::vector<std::uint8_t> Flash() const;
  std::array<std::uint8_t, kPageSize> Page(std::uint32_t page) const;
  void SetPage(std::uint32_t page, std::span<const std::uint8_t, kPageSize> bytes);
  // Replaces the whole flash. False, with the flash unchanged, when `bytes` is not exactly
  // the flash's size.
  bool LoadFlash(std::span<const std::uint8_t> bytes);

  // --- Persistence: `observer` sees the whole flash after every sector erase and after the
  // last data report of every write, in the order they happen (it runs under the device's
  // lock, so the device waits for it). Null stops it.
  using FlashObserver = std::function<void(std::span<const std::uint8_t> flash)>;
  void SetFlashObserver(FlashObserver observer);

 private:
  enum class Mode { kCommand, kWriteData, kReadData };

  // Counts a report and applies the report faults; false when this report fails. Caller
  // holds m_mutex.
  bool CountReport();
  void PaceLocked(std::unique_lock<std::mutex>& lock, std::chrono::microseconds extra);
  void Command(const std::uint8_t* packet);

  mutable std::mutex m_mutex;
  std::condition_variable m_changed;
  const std::uint32_t m_pages;
  std::vector<std::uint8_t> m_flash;

  Mode m_mode = Mode::kCommand;
  std::uint32_t m_dataOffset = 0;  // byte offset in flash of the next data report
  std::uint32_t m_dataEnd = 0;

  std::chrono::microseconds m_perReport{0};
  std::chrono::microseconds m_perErase{0};
  std::chrono::steady_clock::time_point m_nextSlot{};

  std::optional<std::uint64_t> m_failReport;
  std::optional<std::uint64_t> m_vanishAfter;
  std::optional<std::uint64_t> m_silentAfter;
  bool m_vanished = false;
  bool m_neverAnswer = false;
  struct Flip {
    std::uint32_t page, offset, count;
    std::uint8_t mask;
  };
  std::vector<Flip> m_flips;

  std::uint64_t m_reports = 0;
  std::uint64_t m_rejected = 0;
  std::uint64_t m_erases = 0;
  std::vector<TestCommand> m_tests;
  FlashObserver m_flashObserver;
};

}  // namespace vqr::sim
