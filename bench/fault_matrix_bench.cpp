// Prints the fault matrix of a whole update: for every report position the property test
// (tests/workflow/fault_matrix_test) picks and every fault on the wire, how the run ended (the
// numbered error's text, or "done") and whether an update without faults on the flash it left
// completed; then the read-back bit flips. Also the time each kind of fault took.
// Exit code 1 when any case breaks the property.
#include <chrono>
#include <cstdio>
#include <map>

#include "fault_matrix.h"

#if defined(_WIN32)
#include <io.h>
#define dup _dup
#define dup2 _dup2
#define close _close
#else
#include <unistd.h>
#endif

namespace {

// The device link prints a line on every failed transfer; while the cases run, standard
// output goes to the null device so that only the matrix is printed.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    m_saved = dup(1);
#if defined(_WIN32)
    std::FILE* null = std::fopen("NUL", "w");
#else
    std::FILE* null = std::fopen("/dev/null", "w");
#endif
    if (null != nullptr) {
      dup2(fileno(null), 1);
      std::fclose(null);
    }
  }
  ~QuietStdout() {
    std::fflush(stdout);
    if (m_saved >= 0) {
      dup2(m_saved, 1);
      close(m_saved);
    }
  }

 private:
  int m_saved = -1;
};

}  // namespace

int main() {
  using namespace vqr::faults;
  using Clock = std::chrono::steady_clock;
  FaultRig rig;
  if (!rig.Ready()) {
    std::fprintf(stderr, "no loopback server\n");
    return 1;
  }
  std::vector<CaseResult> results;
  std::map<FaultKind, std::pair<int, double>> timing;  // cases, seconds
  std::size_t reports = 0;
  const auto start = Clock::now();
  {
    QuietStdout quiet;
    const std::vector<WireReport> clean = rig.CleanRun();
    reports = clean.size();
    for (const FaultCase& c : rig.Cases(clean)) {
      const auto before = Clock::now();
      results.push_back(rig.Run(c));
      auto& [count, seconds] = timing[c.kind];
      ++count;
      seconds += std::chrono::duration<double>(Clock::now() - before).count();
    }
  }
  if (reports == 0) {
    std::fprintf(stderr, "the clean run did not leave exactly the images\n");
    return 1;
  }
  std::printf("clean run: %zu reports; %zu cases, each a faulted run and a rerun\n\n", reports,
              results.size());
  std::fputs(FormatMatrix(results).c_str(), stdout);
  std::printf("\n");
  for (const auto& [kind, figures] : timing)
    std::printf("%-24s %3d cases %8.3f s (%.1f ms per case)\n", FaultName(kind), figures.first,
                figures.second, figures.second * 1000 / figures.first);
  std::printf("total %.3f s\n", std::chrono::duration<double>(Clock::now() - start).count());
  int failing = 0;
  for (const CaseResult& result : results) failing += !result.Holds();
  std::printf("%d cases break the property\n", failing);
  return failing == 0 ? 0 : 1;
}
