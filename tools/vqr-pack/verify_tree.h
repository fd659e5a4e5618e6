// `vqr-pack verify DIR`: checks a whole update tree the way devices will meet it.
//
// The tree is the server's layout: Door3/MODEL.Bin, the catalog of each model, and the images
// of a model in its pool folder, "Pool3" + the model's third character + "x" (a device takes
// the folder from its model code). For every Door3/*.Bin:
//   - the name is a model code, and the catalog is accepted by the updater's acceptance for
//     that model (AcceptCatalog: the package check, the generation, the entry list);
//   - every row with a size other than 0 (a row of size 0 is never downloaded) names an image
//     that exists in the model's pool folder, whose size is the row's, and that the updater
//     accepts under that name (AcceptImage: the package check against characters 2 to 5 of
//     the name, then the image header);
//   - the accepted images, as update runs install them (AcceptInRun): none leaves in the
//     information page a page the updater refuses for the model, and no two that one run can
//     install together share a sector: rows 0 and 1 with each other and with every optional
//     row (a run installs one optional row at most).
// One line per problem; when there is none, one summary line.
#pragma once

#include <filesystem>
#include <ostream>

namespace vqr::pack {

struct TreeReport {
  int catalogs = 0;  // catalogs accepted
  int images = 0;    // distinct images accepted
  int problems = 0;
};

// Checks the tree under `root` (a directory) and writes one line per problem to `out`, each
// naming the file by its path under `root`.
TreeReport VerifyTree(const std::filesystem::path& root, std::ostream& out);

// The command: the problems, or the summary line, on standard output. Exit code 0 when there is
// no problem, 1 when there is any, 2 when `dir` is not a directory.
int VerifyTreeCommand(const std::string& dir);

}  // namespace vqr::pack
