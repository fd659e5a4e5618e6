// Faults on the wire across a whole update, as a matrix: for report positions spread over every
// phase of a clean run (the information page, each opening command, each erase, the writes, the
// read-backs, the closing command) and for each fault the simulated device can show (one report
// fails, the device vanishes, the device stops answering, bits flip on read-back), one update
// with that fault, then one update without faults against the flash it left. The property test
// (fault_matrix_test.cpp) and the printout (bench/fault_matrix_bench.cpp) share this case list
// and this runner. Needs no test framework.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "demo/demo.h"
#include "formats/image.h"

namespace vqr::faults {

enum class FaultKind {
  kNone,
  kFailReport,   // report k is not delivered
  kVanishAfter,  // every transfer after report k fails: the device was unplugged
  kSilentAfter,  // from report k+1 on the device takes reports but answers no read
  kFlipOnRead,   // reading back `page` flips the top bit of 5 bytes (any report position)
};
const char* FaultName(FaultKind kind);

// One report of the clean run: its number (from 1, both directions) and the phase it is in,
// such as "info page", "open T", "erase T 3", "write T 3" (the command and its data),
// "read-back T 3" or "close".
struct WireReport {
  std::uint64_t number;
  std::string phase;
  bool input;  // a report from the device (read data)
};

// One report as the clean run recorded it: its direction and, for an output report, the
// command packet it would carry.
struct WireLogEntry {
  bool out = false;
  std::array<std::uint8_t, 18> head{};
};

struct FaultCase {
  FaultKind kind = FaultKind::kNone;
  std::uint64_t report = 0;  // k, for the report faults
  std::uint32_t page = 0;    // kFlipOnRead
  std::string phase;         // where k (or the page) falls, for the printout
};

// How one update ended, and what the flash then held.
struct RunOutcome {
  // "done", the numbered error's text on one line ("0403+ 2 4128 5"), or, for any other end,
  // "other: " and the box's text.
  std::string ending;
  bool numbered = false;  // ended with a numbered error box
  bool done = false;      // ended with the completion box
  // Every installed image's bytes are in place and nothing outside the images' sectors
  // changed (the pages of an image's last sector beyond its data are not the image's: the
  // erase leaves them blank, but nothing reads them back).
  bool imagesExact = false;
  // The whole flash is exactly what a clean update leaves, those pages blank too.
  bool flashExact = false;
  std::uint64_t reports = 0;
};

struct CaseResult {
  FaultCase fault;
  RunOutcome faulted;
  RunOutcome rerun;  // without faults, on a new device holding the faulted run's flash
  // The property: the faulted run ends with a numbered error or leaves exactly the images,
  // and never shows the completion box over a wrong byte; the rerun completes and leaves
  // exactly the flash of a clean update.
  bool Holds() const;
};

// The world of the matrix: the content of one model (two fixed images, two optional ones, of
// which the run installs the first), served over loopback, and the device's information page.
// The device starts with older firmware in the sectors of the images, so that an erase that
// does not happen leaves bytes the writes cannot clear.
class FaultRig {
 public:
  struct Image {
    char letter;  // 'T', 'V', 'C': as the progress shows it
    std::string name;
    ImageHeader header;
    std::vector<std::uint8_t> data;
    bool installed;  // the run installs it (the second optional row is not selected)
  };

  FaultRig();
  ~FaultRig();
  // False when the loopback server could not be started.
  bool Ready() const { return m_server != nullptr; }
  const std::vector<Image>& Images() const { return m_images; }

  // The reports of a clean run, each with its phase; empty when the clean run did not
  // complete or left anything but the images.
  std::vector<WireReport> CleanRun();
  // The cases of the matrix: positions at the edges and inside every phase of `clean`, each
  // with every report fault, then one bit flip on a read-back page of each installed image.
  std::vector<FaultCase> Cases(const std::vector<WireReport>& clean) const;
  // Runs one case and its rerun.
  CaseResult Run(const FaultCase& fault);

  // The flash a clean update leaves on the device.
  const std::vector<std::uint8_t>& ExpectedFlash() const { return m_expected; }

 private:
  // One update on a new device whose flash is `startFlash` (null: the older firmware), with
  // `fault`.
  RunOutcome Update(const std::vector<std::uint8_t>* startFlash, const FaultCase& fault,
                    std::vector<std::uint8_t>* flashAfter, std::vector<WireLogEntry>* log);

  std::array<std::uint8_t, 256> m_info{};
  std::vector<Image> m_images;
  std::unique_ptr<demo::ContentServer> m_server;
  bool ImagesExact(const std::vector<std::uint8_t>& flash) const;

  std::vector<std::uint8_t> m_start;
  std::vector<std::uint8_t> m_expected;
};

// The matrix as text: one line per report position with the outcome of each report fault,
// then one line per flip; each cell is the ending and whether the rerun completed ("rerun ok"),
// a case whose property fails marked "FAILS".
std::string FormatMatrix(const std::vector<CaseResult>& results);

}  // namespace vqr::faults
