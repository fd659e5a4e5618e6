#include "device/chidcmd.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <utility>

namespace vqr {

namespace {

void PutLe16(std::uint8_t* at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}
void PutLe32(std::uint8_t* at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}
std::uint32_t GetLe32(const std::uint8_t* at) {
  return std::uint32_t{at[0]} | std::uint32_t{at[1]} << 8 | std::uint32_t{at[2]} << 16 |
         std::uint32_t{at[3]} << 24;
}

// The payload length of a transfer that moved `count` bytes, or 0 when the count is no
// whole-or-partial report: below 1 (nothing but perhaps the report ID) or above 65.
std::uint32_t PayloadOf(std::uint32_t count) {
  if (count < 2 || count > hid::kReportSize) return 0;
  return count - 1;
}

}  // namespace

CommandPacket CommandPacket::Make(std::uint16_t code, std::uint32_t arg1, std::uint32_t arg2) {
  CommandPacket packet;
  packet.code = code;
  packet.arg1 = arg1;
  packet.arg2 = arg2;
  packet.checksum = Checksum(packet.Bytes().data());
  return packet;
}

std::uint32_t CommandPacket::Checksum(const std::uint8_t* bytes) {
  std::uint32_t sum = 0;
  for (int i = 0; i < 14; ++i) sum += bytes[i];
  return sum;
}

std::array<std::uint8_t, CommandPacket::kSize> CommandPacket::Bytes() const {
  std::array<std::uint8_t, kSize> bytes{};
  PutLe16(&bytes[0], code);
  PutLe32(&bytes[2], arg1);
  PutLe32(&bytes[6], arg2);
  PutLe32(&bytes[10], magic);
  PutLe32(&bytes[14], checksum);
  return bytes;
}

CommandPacket CommandPacket::Parse(const std::uint8_t* bytes) {
  CommandPacket packet;
  packet.code = static_cast<std::uint16_t>(bytes[0] | bytes[1] << 8);
  packet.arg1 = GetLe32(&bytes[2]);
  packet.arg2 = GetLe32(&bytes[6]);
  packet.magic = GetLe32(&bytes[10]);
  packet.checksum = GetLe32(&bytes[14]);
  return packet;
}

namespace {

// The program's choice of where the diagnostic lines go; empty: standard output. Workers
// write them while the main thread may still be choosing, hence the lock, which also keeps
// the lines of two threads whole.
std::mutex g_diagnosticMutex;
DiagnosticSink g_diagnosticSink;

void Diagnose(std::string_view line) {
  std::lock_guard lock(g_diagnosticMutex);
  if (g_diagnosticSink) {
    g_diagnosticSink(line);
    return;
  }
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void SetDiagnosticSink(DiagnosticSink sink) {
  std::lock_guard lock(g_diagnosticMutex);
  g_diagnosticSink = std::move(sink);
}

bool CHidCmd::SendCommand(std::uint16_t code, std::uint32_t arg1, std::uint32_t arg2) {
  const auto packet = CommandPacket::Make(code, arg1, arg2).Bytes();
  std::memset(m_report, kCommandFill, sizeof m_report);
  m_report[0] = 0;
  std::memcpy(&m_report[1], packet.data(), packet.size());
  return m_io.WriteReport(m_report, nullptr) != 0;
}

void CHidCmd::SendTest(std::uint32_t arg1, std::uint32_t arg2) {
  if (!SendCommand(kCmdTest, arg1, arg2)) Diagnose("ERROR: Send test command error!");
}

int CHidCmd::EraseSector(std::uint32_t sector) {
  if (!SendCommand(kCmdErase, sector, 1)) {
    Diagnose("ERROR: Send erase command error!");
    return 0;
  }
  return 1;
}

std::uint32_t CHidCmd::WritePages(const std::uint8_t* data, std::uint32_t firstPage,
                                  std::uint32_t pageCount) {
  if (!SendCommand(kCmdWrite, firstPage, pageCount)) {
    Diagnose("ERROR: Send write command error!");
    return 0;
  }
  const std::uint32_t limit = pageCount * kPageSize;
  std::uint32_t total = 0;
  while (total < limit) {
    std::memset(m_report, kCommandFill, sizeof m_report);
    m_report[0] = 0;
    const std::uint32_t chunk = std::min(kReportPayload, limit - total);
    std::memcpy(&m_report[1], data + total, chunk);
    std::uint32_t count = 0;
    const std::uint32_t payload =
        m_io.WriteReport(m_report, &count) != 0 ? std::min(PayloadOf(count), chunk) : 0;
    if (payload == 0) {
      Diagnose("ERROR: Write fail!");
      return total;
    }
    total += payload;
  }
  return total;
}

std::uint32_t CHidCmd::ReadPages(std::uint8_t* dest, std::uint32_t firstPage,
                                 std::uint32_t pageCount) {
  if (!SendCommand(kCmdRead, firstPage, pageCount)) {
    Diagnose("ERROR: Send read command error!");
    return 0;
  }
  const std::uint32_t limit = pageCount * kPageSize;
  std::uint32_t total = 0;
  while (total < limit) {
    std::uint32_t count = 0;
    // A report that reports more than the room left is cut at the room: dest holds exactly
    // pageCount x 256 bytes.
    const std::uint32_t payload =
        m_io.ReadReport(m_report, &count) != 0 ? std::min(PayloadOf(count), limit - total) : 0;
    if (payload == 0) {
      Diagnose("ERROR: Read fail!");
      return total;
    }
    std::memcpy(dest + total, &m_report[1], payload);
    total += payload;
  }
  return total;
}

CHidCmd g_hidCmd;

int FindAndOpenDevice() {
  return g_hidCmd.IO().OpenDevice() != 0 ? 1 : 0;
}

}  // namespace vqr
