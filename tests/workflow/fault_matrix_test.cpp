// Faults on the wire across a whole update: whatever report fails, wherever the device vanishes
// or stops answering, and whichever read-back page is misread, the run ends with a numbered
// error or with exactly the images in the flash, never with the completion box over a wrong
// byte; and an update without faults on the flash it left completes and leaves the images.
// bench/fault_matrix_bench prints the same cases as a table.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "fault_matrix.h"

namespace vqr::faults {
namespace {

class FaultMatrixTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.Ready()) << "no loopback server";
    clean = rig.CleanRun();
    ASSERT_FALSE(clean.empty()) << "the clean run did not leave exactly the images";
  }
  FaultRig rig;
  std::vector<WireReport> clean;
};

TEST_F(FaultMatrixTest, TheCleanRunPassesEveryPhaseInOrder) {
  std::vector<std::string> phases;
  for (const WireReport& report : clean)
    if (phases.empty() || phases.back() != report.phase) phases.push_back(report.phase);
  // Tail pages: T has 2 in sector 5, V 16 in sector 10, C none in sector 21 (erased only).
  const std::vector<std::string> expected{
      "info page",  "open T",     "erase T 3",      "write T 3",      "erase T 4",     "write T 4",
      "erase T 5",  "write T 5",  "read-back T 3",  "read-back T 4",  "read-back T 5", "open V",
      "erase V 10", "write V 10", "read-back V 10", "open C",         "erase C 20",    "write C 20",
      "erase C 21", "write C 21", "read-back C 20", "read-back C 21", "close"};
  EXPECT_EQ(phases, expected);
  EXPECT_EQ(clean.front().number, 1u);
  EXPECT_EQ(clean.back().number, clean.size());
}

TEST_F(FaultMatrixTest, TheCasesReachEveryPhaseAtItsEdges) {
  const std::vector<FaultCase> cases = rig.Cases(clean);
  std::set<std::uint64_t> positions;
  for (const FaultCase& c : cases)
    if (c.kind != FaultKind::kFlipOnRead) positions.insert(c.report);
  for (std::size_t i = 0; i < clean.size(); ++i) {
    const bool firstOfPhase = i == 0 || clean[i - 1].phase != clean[i].phase;
    const bool lastOfPhase = i + 1 == clean.size() || clean[i + 1].phase != clean[i].phase;
    if (firstOfPhase || lastOfPhase) {
      EXPECT_TRUE(positions.count(clean[i].number)) << clean[i].number << " " << clean[i].phase;
    }
  }
  for (const FaultRig::Image& image : rig.Images()) {
    const std::uint32_t first = image.header.first * 16u;
    const std::uint32_t end = (image.header.last + 1u) * 16u;
    int flips = 0;
    for (const FaultCase& c : cases)
      flips += c.kind == FaultKind::kFlipOnRead && c.page >= first && c.page < end;
    EXPECT_EQ(flips > 0, image.installed) << image.name;
  }
}

TEST_F(FaultMatrixTest, EveryFaultEndsNumberedOrExactAndARerunRepairsIt) {
  const std::vector<FaultCase> cases = rig.Cases(clean);
  // The last report that proves anything: the last read-back data from the device. Only the
  // closing command follows it, whose result the run does not look at.
  std::uint64_t lastProof = 0;
  for (const WireReport& report : clean)
    if (report.input) lastProof = report.number;
  ASSERT_GT(lastProof, 0u);
  std::vector<CaseResult> results;
  ::testing::internal::CaptureStdout();  // the device link's own lines on each failed transfer
  for (const FaultCase& c : cases)
    if (!DownloadFault(c.kind)) results.push_back(rig.Run(c));  // those have their own test
  ::testing::internal::GetCapturedStdout();

  for (const CaseResult& r : results) {
    SCOPED_TRACE(std::string(FaultName(r.fault.kind)) + " k=" + std::to_string(r.fault.report) +
                 " (" + r.fault.phase + "): " + r.faulted.ending);
    EXPECT_TRUE(r.faulted.numbered || (r.faulted.done && r.faulted.imagesExact));
    EXPECT_FALSE(r.faulted.done && !r.faulted.imagesExact) << "completion over a wrong byte";
    EXPECT_TRUE(r.rerun.done) << r.rerun.ending;
    EXPECT_TRUE(r.rerun.flashExact);
    // The faults did happen: a device that is gone before its last read-back report cannot
    // prove the update, and a misread page is a mismatch of that image.
    const bool goneEarly =
        (r.fault.kind == FaultKind::kVanishAfter || r.fault.kind == FaultKind::kSilentAfter) &&
        r.fault.report < lastProof;
    if (goneEarly) {
      EXPECT_TRUE(r.faulted.numbered);
    }
    if (r.fault.kind == FaultKind::kFlipOnRead) {
      EXPECT_EQ(r.faulted.ending.rfind("0403+", 0), 0u);
    }
  }
}

// The download phase: whichever installed image's download fails, and however, the run ends
// with that failure's numbered error before the device has received anything but the read of
// its information page, and a rerun without the fault completes.
TEST_F(FaultMatrixTest, EveryDownloadFaultEndsBeforeTheDeviceIsTouched) {
  // libcurl reports a body that breaks off as a failed read (-9); WinINet ends the body there
  // as if it were complete, and the package check refuses the short file (-3).
#if defined(_WIN32)
  const char* const brokenOff = "0402 -3";
#else
  const char* const brokenOff = "0402 -9";
#endif
  const std::map<FaultKind, std::string> endings{
      {FaultKind::kRefused, "0402 -9"},      {FaultKind::kNotFound, "0402 -7"},
      {FaultKind::kCutShort, "0402 -3"},     {FaultKind::kBrokenOff, brokenOff},
      {FaultKind::kDamaged, "0402 -4"},      {FaultKind::kBadSignature, "0402 -12"},
      {FaultKind::kNoSignature, "0402 -12"},
  };
  std::map<std::string, std::set<FaultKind>> seen;  // image: the kinds tried on it
  for (const FaultCase& c : rig.Cases(clean)) {
    if (!DownloadFault(c.kind)) continue;
    seen[c.phase].insert(c.kind);
    const CaseResult r = rig.Run(c);
    SCOPED_TRACE(std::string(FaultName(c.kind)) + " (" + c.phase + "): " + r.faulted.ending);
    EXPECT_EQ(r.faulted.ending, endings.at(c.kind));
    EXPECT_TRUE(r.faulted.untouched) << "the device received more than the information page's read";
    EXPECT_TRUE(r.rerun.done) << r.rerun.ending;
    EXPECT_TRUE(r.rerun.flashExact);
    EXPECT_TRUE(r.Holds());
  }
  EXPECT_EQ(seen.size(), 3u) << "every installed image";
  for (const auto& [phase, kinds] : seen) EXPECT_EQ(kinds.size(), endings.size()) << phase;
}

}  // namespace
}  // namespace vqr::faults
