// The bootloader's command set: CommandPacket, CHidCmd with its four commands, the one global
// g_hidCmd, and FindAndOpenDevice.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>

#include "device/chidio.h"
#include "protocol/flash_geometry.h"

namespace vqr {

inline constexpr std::uint32_t kReportPayload = 64;

// Command codes and the words of the opening and closing commands.
inline constexpr std::uint16_t kCmdTest = 0x0E5B;
inline constexpr std::uint16_t kCmdErase = 0x0E71;
inline constexpr std::uint16_t kCmdWrite = 0x0EC3;
inline constexpr std::uint16_t kCmdRead = 0x0ED2;
inline constexpr std::uint32_t kPacketMagic = 0x93BEE369;
inline constexpr std::uint32_t kOpeningWord = 0x5EA1C0D3;
inline constexpr std::uint32_t kClosingWord = 0x2B7F4E96;
inline constexpr std::uint8_t kCommandFill = 0xCC;

// The 18-byte little-endian command header: code, two arguments, magic and the byte sum of
// the first 14 bytes.
struct CommandPacket {
  static constexpr std::size_t kSize = 18;

  std::uint16_t code = 0;
  std::uint32_t arg1 = 0;
  std::uint32_t arg2 = 0;
  std::uint32_t magic = kPacketMagic;
  std::uint32_t checksum = 0;

  // A packet with the magic set and the checksum computed.
  static CommandPacket Make(std::uint16_t code, std::uint32_t arg1, std::uint32_t arg2);
  std::array<std::uint8_t, kSize> Bytes() const;
  // Decodes 18 bytes as they stand, without checking them.
  static CommandPacket Parse(const std::uint8_t* bytes);
  // The sum of bytes 0 to 13 of the encoded packet.
  static std::uint32_t Checksum(const std::uint8_t* bytes);
};

class CHidCmd {
 public:
  CHidCmd() = default;  // over the backend that finds no device until one is installed
  explicit CHidCmd(hid::HidBackend& backend) : m_io(backend) {}
  virtual ~CHidCmd() = default;
  CHidCmd(const CHidCmd&) = delete;
  CHidCmd& operator=(const CHidCmd&) = delete;

  void SendTest(std::uint32_t arg1, std::uint32_t arg2);
  int EraseSector(std::uint32_t sector);
  // data holds pageCount x 256 bytes; returns the data bytes sent.
  std::uint32_t WritePages(const std::uint8_t* data, std::uint32_t firstPage,
                           std::uint32_t pageCount);
  // dest has room for pageCount x 256 bytes; returns the data bytes received into it.
  std::uint32_t ReadPages(std::uint8_t* dest, std::uint32_t firstPage, std::uint32_t pageCount);

  // The transport, for the search, the choice of backend and the wire trace.
  CHidIO& IO() { return m_io; }

 private:
  std::uint8_t m_report[hid::kReportSize] = {};
  CHidIO m_io;

  bool SendCommand(std::uint16_t code, std::uint32_t arg1, std::uint32_t arg2);
};

// The one command object of the process, built during static initialisation. It finds no
// device until the program installs its backend with g_hidCmd.IO().UseBackend().
extern CHidCmd g_hidCmd;

// Where the commands' diagnostic lines ("ERROR: Send erase command error!", "ERROR: Read
// fail!", ...) go. The sink gets each line without its line feed, on the thread of the
// command that failed, one line at a time (calls never overlap), and must not block for
// long or call back into the device link. The window programs keep the default, standard
// output; vqr03-cli chooses standard error, or a JSON event under --json. An empty sink
// restores standard output. Any thread may call it; a line being written finishes first.
using DiagnosticSink = std::function<void(std::string_view line)>;
void SetDiagnosticSink(DiagnosticSink sink);

// Searches for the device through g_hidCmd; 1 when one was opened, else 0.
int FindAndOpenDevice();

}  // namespace vqr
