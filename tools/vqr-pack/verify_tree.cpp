#include "verify_tree.h"

#include <algorithm>
#include <iostream>
#include <set>
#include <string>
#include <vector>

#include "files.h"
#include "formats/accept.h"

namespace vqr::pack {

namespace {

namespace fs = std::filesystem;

std::string Count(int n, const char* noun) {
  return std::to_string(n) + " " + noun + (n == 1 ? "" : "s");
}

// Why the updater refuses a file, as the rest of a problem line.
std::string Refusal(const Acceptance& accepted) {
  switch (accepted.verdict) {
    case Verdict::kAccepted:
      return "accepted";
    case Verdict::kOtherGeneration:
      return "refused by the updater: generation " + std::to_string(accepted.generation) +
             ", the updater takes " + std::to_string(kUpdaterGeneration);
    case Verdict::kEmpty:
      return "refused by the updater: empty";
    case Verdict::kRefused:
      break;
  }
  std::string text =
      "refused by the updater: " + std::to_string(accepted.code) + " (" + ResultText(accepted.code);
  if (!accepted.detail.empty()) text += ": " + accepted.detail;
  return text + ")";
}

// A name the image URL "Pool3X/NAME" carries as one path component.
bool ServableName(std::string_view name) {
  return ValidFileName(name, nullptr);
}

class TreeCheck {
 public:
  TreeCheck(const fs::path& root, std::ostream& out) : m_root(root), m_out(out) {}

  TreeReport Run() {
    const fs::path door = m_root / "Door3";
    std::error_code error;
    if (!fs::is_directory(door, error)) {
      Problem("Door3/", "missing: the tree holds no catalog");
      return m_report;
    }
    std::vector<fs::path> catalogs;
    for (const fs::directory_entry& entry : fs::directory_iterator(door, error)) {
      if (entry.path().extension() == ".Bin") catalogs.push_back(entry.path());
    }
    if (error) {
      Problem("Door3/", "cannot be listed: " + error.message());
      return m_report;
    }
    if (catalogs.empty()) Problem("Door3/", "holds no catalog (MODEL.Bin)");
    std::sort(catalogs.begin(), catalogs.end());
    for (const fs::path& path : catalogs) CheckCatalog(path);
    m_report.images = static_cast<int>(m_accepted.size());
    return m_report;
  }

 private:
  void Problem(const std::string& where, const std::string& what) {
    m_out << where << ": " << what << "\n";
    ++m_report.problems;
  }

  void CheckCatalog(const fs::path& path) {
    const std::string where = "Door3/" + path.filename().string();
    const std::string model = path.stem().string();
    std::string error;
    if (!ValidModelCode(model, &error)) {
      Problem(where, "no device fetches it: " + error);
      return;
    }
    Download download;
    std::string readError;
    if (!LoadDownload(path.string(), kLargestCatalogDownload, "catalog download", &download,
                      &readError)) {
      Problem(where, "cannot be read: " + readError);
      return;
    }
    Catalog catalog;
    const Acceptance accepted =
        AcceptCatalog(download.buffer.data(), download.size, model, &catalog);
    if (!accepted.Accepted()) {
      Problem(where, Refusal(accepted));
      return;
    }
    ++m_report.catalogs;

    const std::string pool = std::string("Pool3") + model[2] + "x";
    std::error_code listError;
    const bool poolExists = fs::is_directory(m_root / pool, listError);
    std::vector<Accepted> images(catalog.entries.size());  // the rows' accepted images
    int wanted = 0;
    for (std::size_t k = 0; k < catalog.entries.size(); ++k) {
      const CatalogEntry& row = catalog.entries[k];
      if (row.size == 0) continue;
      ++wanted;
      const std::string name(row.Name());
      const std::string rowText = "row " + std::to_string(k) + " of " + where;
      if (!ServableName(name)) {
        Problem(where, "row " + std::to_string(k) + " names '" + name +
                           "', which is no file name an image URL can carry");
        continue;
      }
      if (row.size > kLargestImage) {
        Problem(where, "row " + std::to_string(k) + " ('" + name + "') claims " +
                           std::to_string(row.size) +
                           " bytes, more than any image header describes (refused with -11)");
        continue;
      }
      if (poolExists) CheckImage(pool, name, row.size, rowText, &images[k]);
    }
    if (!poolExists && wanted > 0)
      Problem(pool + "/", "missing: " + where + " lists " + Count(wanted, "image") + " there");
    CheckInstallSets(where, pool, model, images);
  }

  // An image the updater accepts on its own, as an update run holds it.
  struct Accepted {
    bool present = false;
    std::string name;
    ImageHeader header;
    Download download;
    RunImage Run() const {
      return {name, header,
              std::span<const std::uint8_t>(download.buffer.data(),
                                            static_cast<std::size_t>(download.size))};
    }
  };

  // The images as update runs install them: rows 0 and 1 with one optional row (or none), any
  // of them left out where a device holds it already. No image may leave an information page
  // the updater refuses for the model, and no two images that one run can install together may
  // share a sector: the fixed rows with each other and with every optional row.
  void CheckInstallSets(const std::string& where, const std::string& pool, const std::string& model,
                        const std::vector<Accepted>& images) {
    std::vector<bool> usable(images.size(), false);
    for (std::size_t k = 0; k < images.size(); ++k) {
      if (!images[k].present) continue;
      const Acceptance alone = AcceptInRun({}, images[k].Run(), model);
      if (!alone.Accepted()) {
        Problem(pool + "/" + images[k].name,
                Refusal(alone) + " (row " + std::to_string(k) + " of " + where + ")");
        continue;
      }
      usable[k] = true;
    }
    for (std::size_t b = 1; b < images.size(); ++b) {
      for (std::size_t a = 0; a < b && a < 2; ++a) {
        if (!usable[a] || !usable[b]) continue;
        const RunImage earlier[] = {images[a].Run()};
        const Acceptance together = AcceptInRun(earlier, images[b].Run(), model);
        if (!together.Accepted())
          Problem(pool + "/" + images[b].name, Refusal(together) + " (rows " + std::to_string(a) +
                                                   " and " + std::to_string(b) + " of " + where +
                                                   " are installed together)");
      }
    }
  }

  void CheckImage(const std::string& pool, const std::string& name, std::uint32_t rowSize,
                  const std::string& rowText, Accepted* accepted) {
    const std::string where = pool + "/" + name;
    const fs::path path = m_root / pool / name;
    std::error_code error;
    if (!fs::is_regular_file(path, error)) {
      Problem(where, "missing (" + rowText + ")");
      return;
    }
    Download download;
    std::string readError;
    if (!LoadDownload(path.string(), kLargestImageFile, "image", &download, &readError)) {
      Problem(where, "cannot be read: " + readError);
      return;
    }
    bool good = true;
    if (static_cast<std::uint32_t>(download.size) != rowSize) {
      Problem(where, std::to_string(download.size) + " bytes, " + rowText + " says " +
                         std::to_string(rowSize));
      good = false;
    }
    ImageHeader header;
    const Acceptance verdict = AcceptImage(download.buffer.data(), download.size, name, &header);
    if (!verdict.Accepted()) {
      std::string text = Refusal(verdict);
      if (verdict.code == kPackageModelDiffers)
        text += ", checked against " + std::string(ImageModelCode(name)) +
                ", characters 2-5 of its name";
      Problem(where, text);
      return;
    }
    // An image the updater accepts takes part in the checks across a run even when its size
    // differs from its row's (a problem of its own above): the updater downloads up to the
    // row's size + 128 bytes.
    accepted->present = true;
    accepted->name = name;
    accepted->header = header;
    accepted->download = std::move(download);
    if (good) m_accepted.insert(where);
  }

  fs::path m_root;
  std::ostream& m_out;
  TreeReport m_report;
  std::set<std::string> m_accepted;
};

}  // namespace

TreeReport VerifyTree(const fs::path& root, std::ostream& out) {
  return TreeCheck(root, out).Run();
}

int VerifyTreeCommand(const std::string& dir) {
  std::error_code error;
  if (!fs::is_directory(dir, error)) {
    std::cerr << "vqr-pack: " << dir << " is not a directory\n";
    return 2;
  }
  const TreeReport report = VerifyTree(dir, std::cout);
  if (report.problems > 0) return 1;
  std::cout << dir << ": " << Count(report.catalogs, "catalog") << " and "
            << Count(report.images, "image") << ", all accepted as the updater accepts them\n";
  return 0;
}

}  // namespace vqr::pack
