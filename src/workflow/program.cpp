#include "workflow/program.h"

#include <cstring>

#include "device/chidcmd.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr {

namespace {

// Fills the sector buffer with the complement of what the read-back should deliver, so that
// every byte a failed or short read leaves untouched counts as differing: the buffer still
// holds the data just written, and a read that moved nothing must never pass for a match.
void PrimeForReadBack(std::uint8_t* sector, const std::uint8_t* expected, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) sector[i] = static_cast<std::uint8_t>(~expected[i]);
}

std::uint32_t CountDifferences(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
  std::uint32_t count = 0;
  for (std::size_t i = 0; i < n; ++i) count += a[i] != b[i];
  return count;
}

}  // namespace

std::uint32_t ProgramImage(const WorkerContext& context, std::span<const std::uint8_t> image,
                           char letter) {
  ImageHeader header;
  if (!ParseImageHeader(image, &header)) return kImageNotProgrammed;
  ui::WindowPort& port = *context.port;
  const auto Report = [&context](const ProgramProgress& progress) {
    if (context.progress) context.progress(progress);
  };
  const std::uint32_t sectors = header.SectorCount();
  const std::uint32_t full = header.FullSectors();
  const std::uint8_t* data = image.data() + 32;
  const std::uint32_t tailBytes = header.tailPages * kPageSize;
  std::uint8_t sector[kSectorSize];

  g_hidCmd.SendTest(kOpeningWord, sectors);
  port.SetText(ui::kStartButton,
               text::FormatText(port.LoadString(text::kStrSectorCount), {sectors}));
  Report({letter, false, 0, sectors, ProgramPhase::kWrite});

  for (std::uint32_t s = header.first; s < header.last; ++s) {
    Report({letter, false, s - header.first, sectors, ProgramPhase::kErase});
    g_hidCmd.EraseSector(s);
    std::memcpy(sector, data + std::size_t{kSectorSize} * (s - header.first), kSectorSize);
    g_hidCmd.WritePages(sector, s * kPagesPerSector, kPagesPerSector);
    port.SetText(ui::kStartButton,
                 text::FormatText(port.LoadString(text::kStrWriting), {letter, header.last - s}));
    Report({letter, false, s - header.first + 1, sectors, ProgramPhase::kWrite});
  }
  Report({letter, false, full, sectors, ProgramPhase::kErase});
  g_hidCmd.EraseSector(header.last);
  std::memcpy(sector, data + std::size_t{kSectorSize} * full, tailBytes);
  g_hidCmd.WritePages(sector, header.last * kPagesPerSector, header.tailPages);
  Report({letter, false, sectors, sectors, ProgramPhase::kWrite});

  std::uint32_t differing = 0;
  Report({letter, true, 0, sectors, ProgramPhase::kVerify});
  for (std::uint32_t s = header.first; s < header.last; ++s) {
    const std::uint8_t* expected = data + std::size_t{kSectorSize} * (s - header.first);
    PrimeForReadBack(sector, expected, kSectorSize);
    g_hidCmd.ReadPages(sector, s * kPagesPerSector, kPagesPerSector);
    differing += CountDifferences(sector, expected, kSectorSize);
    port.SetText(ui::kStartButton,
                 text::FormatText(port.LoadString(text::kStrVerifying), {letter, header.last - s}));
    Report({letter, true, s - header.first + 1, sectors, ProgramPhase::kVerify});
  }
  const std::uint8_t* tail = data + std::size_t{kSectorSize} * full;
  PrimeForReadBack(sector, tail, tailBytes);
  g_hidCmd.ReadPages(sector, header.last * kPagesPerSector, header.tailPages);
  differing += CountDifferences(sector, tail, tailBytes);
  Report({letter, true, sectors, sectors, ProgramPhase::kVerify});
  port.SetText(ui::kStartButton, text::FormatText(port.LoadString(text::kStrVerified), {letter}));
  return differing;
}

}  // namespace vqr
