// Faults on the wire across a whole update, as a matrix: for report positions spread over every
// phase of a clean run (the information page, each opening command, each erase, the writes, the
// read-backs, the closing command) and for each fault the simulated device can show (one report
// fails, the device vanishes, the device stops answering, bits flip on read-back), one update
// with that fault, then one update without faults against the flash it left. The download
// phase has its own cases: for each image the run installs, each way its download can fail (no
// connection, a missing file, a body cut short or broken off, a damaged package, a bad or
// missing signature), which must end with its numbered error before the device has received
// anything but the information page's read. The property test
// (fault_matrix_test.cpp) and the printout (bench/fault_matrix_bench.cpp) share this case list
// and this runner. Needs no test framework.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "formats/image.h"
#include "loopback_server.h"
#include "signature/minisign.h"

namespace vqr::faults {

class RefusingHttpBackend;

enum class FaultKind {
  kNone,
  kFailReport,   // report k is not delivered
  kVanishAfter,  // every transfer after report k fails: the device was unplugged
  kSilentAfter,  // from report k+1 on the device takes reports but answers no read
  kFlipOnRead,   // reading back `page` flips the top bit of 5 bytes (any report position)
  // The download of image `image` (FaultRig::Images()):
  kRefused,       // the connection is refused
  kNotFound,      // the server answers 404 with its error page
  kCutShort,      // the body is complete as sent, but half the file
  kBrokenOff,     // the connection closes halfway through the declared body
  kDamaged,       // one byte of sector data differs from the file as built
  kBadSignature,  // signed, with a signature made over other bytes
  kNoSignature,   // signed, and its signature is missing (404)
};
// A fault of the download phase rather than of the wire.
bool DownloadFault(FaultKind kind);
// Signatures are required in a case of this kind and in its rerun.
bool SignedFault(FaultKind kind);
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
  std::size_t image = 0;     // the download faults: the image whose download fails
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
  // The device received nothing but the information page's read, and its flash is byte for
  // byte what it was before the run.
  bool untouched = false;
  std::uint64_t reports = 0;
};

struct CaseResult {
  FaultCase fault;
  RunOutcome faulted;
  RunOutcome rerun;  // without faults, on a new device holding the faulted run's flash
  // The property: the faulted run ends with a numbered error or leaves exactly the images,
  // and never shows the completion box over a wrong byte; a download fault ends with a
  // numbered error and leaves the device untouched; the rerun completes and leaves exactly the
  // flash of a clean update.
  bool Holds() const;
};

// The world of the matrix: the content of one model (two fixed images, two optional ones, of
// which the run installs the first), each file with its signature, served over loopback, and
// the device's information page.
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
  // with every report fault, then one bit flip on a read-back page of each installed image,
  // then every download fault of each installed image.
  std::vector<FaultCase> Cases(const std::vector<WireReport>& clean) const;
  // Runs one case and its rerun.
  CaseResult Run(const FaultCase& fault);

  // The flash a clean update leaves on the device.
  const std::vector<std::uint8_t>& ExpectedFlash() const { return m_expected; }

 private:
  // One update on a new device whose flash is `startFlash` (null: the older firmware), with
  // `fault`, requiring signatures when `signedRun`.
  RunOutcome Update(const std::vector<std::uint8_t>* startFlash, const FaultCase& fault,
                    bool signedRun, std::vector<std::uint8_t>* flashAfter,
                    std::vector<WireLogEntry>* log);
  // Serves every file as built, or with the download fault of `fault` in place.
  void Serve(const FaultCase& fault);

  std::array<std::uint8_t, 256> m_info{};
  std::vector<Image> m_images;
  // Every file of the server by path, each image's and the catalog's signature among them.
  std::map<std::string, std::vector<std::uint8_t>> m_files;
  std::vector<sig::PublicKey> m_trusted;
  sig::SecretKey m_vendor;
  std::unique_ptr<test::LoopbackServer> m_server;
  std::unique_ptr<RefusingHttpBackend> m_http;
  bool ImagesExact(const std::vector<std::uint8_t>& flash) const;

  std::vector<std::uint8_t> m_start;
  std::vector<std::uint8_t> m_expected;
};

// The matrix as text: one line per report position with the outcome of each report fault,
// then one line per flip; each cell is the ending and whether the rerun completed ("rerun ok"),
// a case whose property fails marked "FAILS".
std::string FormatMatrix(const std::vector<CaseResult>& results);

}  // namespace vqr::faults
