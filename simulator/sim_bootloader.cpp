#include "simulator/sim_bootloader.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace vqr::sim {

namespace {

constexpr std::uint16_t kTest = 0x0E5B;
constexpr std::uint16_t kErase = 0x0E71;
constexpr std::uint16_t kWrite = 0x0EC3;
constexpr std::uint16_t kRead = 0x0ED2;
constexpr std::uint32_t kMagic = 0x93BEE369;
constexpr std::uint32_t kPayload = 64;
constexpr std::uint32_t kPagesPerSector = 16;

std::uint32_t Le32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

}  // namespace

SimBootloader::SimBootloader(std::span<const std::uint8_t, kPageSize> infoPage,
                             std::uint32_t pageCount)
    : m_pages(std::max(pageCount, kInfoPage + 1)), m_flash(std::size_t{m_pages} * kPageSize, 0xFF) {
  std::memcpy(&m_flash[kInfoPage * kPageSize], infoPage.data(), kPageSize);
}

void SimBootloader::SetPacing(std::chrono::microseconds perReport,
                              std::chrono::microseconds perErase) {
  std::lock_guard lock(m_mutex);
  m_perReport = perReport;
  m_perErase = perErase;
  m_nextSlot = std::chrono::steady_clock::now();
}

void SimBootloader::FailReport(std::uint64_t k) {
  std::lock_guard lock(m_mutex);
  m_failReport = k;
}
void SimBootloader::VanishAfterReport(std::uint64_t k) {
  std::lock_guard lock(m_mutex);
  m_vanishAfter = k;
}
void SimBootloader::FlipBitsOnRead(std::uint32_t page, std::uint32_t offset, std::uint32_t count,
                                   std::uint8_t mask) {
  std::lock_guard lock(m_mutex);
  m_flips.push_back({page, offset, count, mask});
}
void SimBootloader::NeverAnswerReads(bool never) {
  {
    std::lock_guard lock(m_mutex);
    m_neverAnswer = never;
  }
  m_changed.notify_all();
}

void SimBootloader::SilentAfterReport(std::uint64_t k) {
  {
    std::lock_guard lock(m_mutex);
    m_silentAfter = k;
    if (m_reports >= k) m_neverAnswer = true;
  }
  m_changed.notify_all();
}

std::uint32_t SimBootloader::InputReportsDue() const {
  std::lock_guard lock(m_mutex);
  if (m_vanished || m_neverAnswer || m_mode != Mode::kReadData || m_dataEnd <= m_dataOffset)
    return 0;
  return (m_dataEnd - m_dataOffset + kPayload - 1) / kPayload;
}

bool SimBootloader::Vanished() const {
  std::lock_guard lock(m_mutex);
  return m_vanished;
}
std::uint64_t SimBootloader::ReportsSeen() const {
  std::lock_guard lock(m_mutex);
  return m_reports;
}
std::uint64_t SimBootloader::RejectedCommands() const {
  std::lock_guard lock(m_mutex);
  return m_rejected;
}
std::uint64_t SimBootloader::Erases() const {
  std::lock_guard lock(m_mutex);
  return m_erases;
}
std::vector<TestCommand> SimBootloader::TestCommands() const {
  std::lock_guard lock(m_mutex);
  return m_tests;
}
std::vector<std::uint8_t> SimBootloader::Flash() const {
  std::lock_guard lock(m_mutex);
  return m_flash;
}
std::array<std::uint8_t, kPageSize> SimBootloader::Page(std::uint32_t page) const {
  std::array<std::uint8_t, kPageSize> bytes{};
  std::lock_guard lock(m_mutex);
  if (page < m_pages) std::memcpy(bytes.data(), &m_flash[page * kPageSize], kPageSize);
  return bytes;
}
void SimBootloader::SetPage(std::uint32_t page, std::span<const std::uint8_t, kPageSize> bytes) {
  std::lock_guard lock(m_mutex);
  if (page < m_pages) std::memcpy(&m_flash[page * kPageSize], bytes.data(), kPageSize);
}

bool SimBootloader::LoadFlash(std::span<const std::uint8_t> bytes) {
  std::lock_guard lock(m_mutex);
  if (bytes.size() != m_flash.size()) return false;
  std::copy(bytes.begin(), bytes.end(), m_flash.begin());
  return true;
}

void SimBootloader::SetFlashObserver(FlashObserver observer) {
  std::lock_guard lock(m_mutex);
  m_flashObserver = std::move(observer);
}

bool SimBootloader::CountReport() {
  if (m_vanished) return false;
  ++m_reports;
  if (m_silentAfter && m_reports >= *m_silentAfter) m_neverAnswer = true;
  if (m_vanishAfter && m_reports > *m_vanishAfter) {
    m_vanished = true;
    m_changed.notify_all();
    return false;
  }
  return !(m_failReport && m_reports == *m_failReport);
}

// Waits for the device's next completion slot. Slots follow one another every m_perReport
// from the previous slot, not from the host's call, so a late host does not slow the device.
void SimBootloader::PaceLocked(std::unique_lock<std::mutex>& lock,
                               std::chrono::microseconds extra) {
  if (m_perReport.count() == 0 && extra.count() == 0) return;
  const auto now = std::chrono::steady_clock::now();
  m_nextSlot = std::max(m_nextSlot + m_perReport, now) + extra;
  const auto until = m_nextSlot;
  lock.unlock();
  std::this_thread::sleep_until(until);
  lock.lock();
}

void SimBootloader::Command(const std::uint8_t* packet) {
  const auto code = static_cast<std::uint16_t>(packet[0] | packet[1] << 8);
  const std::uint32_t arg1 = Le32(&packet[2]);
  const std::uint32_t arg2 = Le32(&packet[6]);
  std::uint32_t sum = 0;
  for (int i = 0; i < 14; ++i) sum += packet[i];
  if (Le32(&packet[10]) != kMagic || Le32(&packet[14]) != sum) {
    ++m_rejected;
    return;
  }
  switch (code) {
    case kTest:
      m_tests.push_back({arg1, arg2});
      return;
    case kErase: {
      if (arg1 >= m_pages / kPagesPerSector) break;
      const std::uint32_t sectorBytes = kPagesPerSector * kPageSize;
      std::memset(&m_flash[std::size_t{arg1} * sectorBytes], 0xFF, sectorBytes);
      ++m_erases;
      if (m_flashObserver) m_flashObserver(m_flash);
      return;
    }
    case kWrite:
    case kRead: {
      if (arg1 > m_pages || arg2 > m_pages - arg1) break;
      if (arg2 == 0) return;  // no data reports follow
      m_mode = code == kWrite ? Mode::kWriteData : Mode::kReadData;
      m_dataOffset = arg1 * kPageSize;
      m_dataEnd = (arg1 + arg2) * kPageSize;
      m_changed.notify_all();
      return;
    }
    default:
      break;
  }
  ++m_rejected;
}

bool SimBootloader::ReceiveOut(const std::uint8_t* report) {
  std::unique_lock lock(m_mutex);
  if (!CountReport()) return false;
  const bool erase =
      m_mode == Mode::kCommand && static_cast<std::uint16_t>(report[1] | report[2] << 8) == kErase;
  PaceLocked(lock, erase ? m_perErase : std::chrono::microseconds{0});
  if (m_mode == Mode::kWriteData) {
    // Programming flash only clears bits: a page that was not erased keeps its zeros.
    for (std::uint32_t i = 0; i < kPayload; ++i) m_flash[m_dataOffset + i] &= report[1 + i];
    m_dataOffset += kPayload;
    if (m_dataOffset >= m_dataEnd) {
      m_mode = Mode::kCommand;
      if (m_flashObserver) m_flashObserver(m_flash);
    }
    return true;
  }
  // A report that arrives while the device is sending read data ends that read.
  m_mode = Mode::kCommand;
  Command(&report[1]);
  return true;
}

ReadOutcome SimBootloader::SendIn(std::uint8_t* report, std::chrono::milliseconds bound) {
  std::unique_lock lock(m_mutex);
  const bool ready = m_changed.wait_for(
      lock, bound, [&] { return m_vanished || (m_mode == Mode::kReadData && !m_neverAnswer); });
  if (!ready || !CountReport()) return ReadOutcome::kFailed;
  PaceLocked(lock, std::chrono::microseconds{0});
  if (m_mode != Mode::kReadData) return ReadOutcome::kFailed;  // vanished while pacing
  report[0] = 0;
  std::memcpy(&report[1], &m_flash[m_dataOffset], kPayload);
  for (const Flip& flip : m_flips) {
    const std::uint32_t pageStart = flip.page * kPageSize;
    for (std::uint32_t i = 0; i < flip.count; ++i) {
      const std::uint32_t at = pageStart + flip.offset + i;
      if (at >= m_dataOffset && at < m_dataOffset + kPayload)
        report[1 + at - m_dataOffset] ^= flip.mask;
    }
  }
  m_dataOffset += kPayload;
  if (m_dataOffset >= m_dataEnd) m_mode = Mode::kCommand;
  return ReadOutcome::kReport;
}

}  // namespace vqr::sim
