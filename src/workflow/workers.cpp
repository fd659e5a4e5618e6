#include "workflow/workers.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "content/fetch.h"
#include "content/package.h"
#include "device/chidcmd.h"
#include "ui/string_table.h"
#include "ui/text_format.h"
#include "ui/window_port.h"
#include "workflow/catalog.h"
#include "workflow/program.h"

namespace vqr {

namespace {

using ui::MessageIcon;

constexpr char16_t kRuntimeError[] = u"執行時錯誤";
constexpr char16_t kOutdatedUpdater[] = u"請下載最新版更新程式\n[ VQR%c%c.exe ]";
// The largest image the device can take: the whole flash behind a package header.
constexpr std::uint32_t kLargestImage = 32 + kFlashPages * kPageSize;

std::mutex g_deviceUse;                    // held by a worker for its whole run
std::atomic<std::uint64_t> g_removals{0};  // unplugs seen by the window
std::atomic<bool> g_updateRunning{false};

void EndWith(ui::WindowPort& port, const std::u16string& text, const std::u16string& caption,
             MessageIcon icon) {
  port.MessageBox(text, caption, icon);
  port.EndProcess(0);
}

// The network advice: entry 142 under entry 141, then the end of the process.
void NetworkAdvice(ui::WindowPort& port) {
  EndWith(port, port.LoadString(ui::kStrCheckNetwork), port.LoadString(ui::kStrAnalysis),
          MessageIcon::kInformation);
}

std::u16string OutdatedText(std::uint8_t generation) {
  return ui::FormatText(kOutdatedUpdater,
                        {NibbleToHex(generation >> 4), NibbleToHex(generation & 0x0F)});
}

// A numbered error, then the end of the process.
void FatalError(ui::WindowPort& port, const std::u16string& text) {
  EndWith(port, text, kRuntimeError, MessageIcon::kError);
}

// A catalog that could not be had or read: error 0302 with `code`, then the network advice.
void CatalogError(ui::WindowPort& port, std::int32_t code) {
  port.MessageBox(ui::FormatText(u"錯誤碼: 0302 %2d", {code}), kRuntimeError, MessageIcon::kError);
  NetworkAdvice(port);
}

}  // namespace

void NoteDeviceRemoved() {
  g_removals.fetch_add(1);
}
bool UpdateRunning() {
  return g_updateRunning.load();
}

std::uint32_t IdentifyThread(void* unused) {
  (void)unused;
  std::lock_guard device(g_deviceUse);
  const std::uint64_t removalsAtStart = g_removals.load();
  ui::WindowPort& port = ui::Port();

  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kCatalogBufferSize]);
  if (!buffer) {
    FatalError(port, ui::FormatText(u"錯誤碼: %s", {u"0301"}));
    return 0;
  }
  // A read that fails leaves a blank page rather than whatever the heap held.
  std::memset(buffer.get(), 0, kPageSize);
  g_hidCmd.ReadPages(buffer.get(), kInfoPage, 1);
  const std::uint8_t* page = buffer.get();

  if (page[7] > kUpdaterGeneration) {
    const std::u16string text = OutdatedText(page[7]);
    buffer.reset();
    EndWith(port, text, u"更新程式 過時", MessageIcon::kInformation);
    return 0;
  }

  DeviceInfo info;
  info.DeviceVersionText[0] = NibbleToHex(page[0] & 0x0F);
  for (int i = 1; i <= 3; ++i) info.DeviceVersionText[i] = NibbleToHex(page[i]);
  info.Row0Version = page[0];
  std::memcpy(info.ModelCode, &page[12], 4);
  std::memcpy(info.Row1VersionText, &page[4], 3);
  {
    WorkflowState& state = State();
    std::lock_guard lock(state.lock);
    state.device = info;
    state.ImagePoolSuffix[0] = static_cast<char>(page[14]);
  }
  port.SetText(ui::kDeviceLabel,
               ui::FormatText(u"版本 : [ %S ]", {std::string_view(info.DeviceVersionText)}));

  // The model code is an 8-bit string: it ends at its first zero, as the URL's %s reads it.
  const std::string model(info.ModelCode, strnlen(info.ModelCode, 4));
  const std::string url = UpdateServerBase() + "Door3/" + model + ".Bin";
  std::int32_t result;
  std::int32_t received = 0;
  if (url.size() >= kUrlBufferSize) {
    result = kUrlTooLong;
  } else {
    received = FetchUrl(buffer.get(), kCatalogBufferSize, url.c_str(), u"");
    result =
        CheckPackage(buffer.get(), received, std::string_view(info.ModelCode, 4), kModeCatalog);
  }
  if (result != 0) {
    buffer.reset();
    CatalogError(port, result);
    return 0;
  }

  const std::uint8_t generation = buffer[10];
  if (generation != kUpdaterGeneration) {
    buffer.reset();
    if (generation < kUpdaterGeneration)
      EndWith(port, u"換個伺服器試試", u"下載資料 過時", MessageIcon::kInformation);
    else
      EndWith(port, OutdatedText(generation), u"更新程式 過時", MessageIcon::kInformation);
    return 0;
  }
  if (received == 0) {
    buffer.reset();
    NetworkAdvice(port);
    return 0;
  }

  std::vector<CatalogRow> rows;
  if (!ReadCatalogEntries(std::span<const std::uint8_t>(buffer.get(), received), &rows)) {
    buffer.reset();
    CatalogError(port, kCatalogMalformed);
    return 0;
  }
  buffer.reset();

  // Unplugged meanwhile: the window is searching again and its list was emptied; this
  // device's catalog must not reappear in it.
  if (g_removals.load() != removalsAtStart) return 0;

  for (std::size_t k = 2; k < rows.size(); ++k)
    port.AppendListItem(ImageListLine(rows[0].entry, rows[k]));

  {
    WorkflowState& state = State();
    std::lock_guard lock(state.lock);
    for (std::size_t k = 0; k < rows.size(); ++k) state.CatalogTable[k] = rows[k].entry;
    state.CatalogRowCount = static_cast<std::int32_t>(rows.size());
    // The fixed images the device already holds are skipped by the update run.
    if (rows.size() > 0) {
      const CatalogEntry& row0 = state.CatalogTable[0];
      if (16u * HexToNibble(row0.name[4]) + HexToNibble(row0.name[5]) == info.Row0Version)
        state.CatalogTable[0].size = 0;
    }
    if (rows.size() > 1 &&
        std::memcmp(&state.CatalogTable[1].name[3], info.Row1VersionText, 3) == 0)
      state.CatalogTable[1].size = 0;
  }
  port.SelectListItem(0);
  port.Enable(ui::kImageList, true);
  if (g_removals.load() != removalsAtStart) return 0;
  port.Enable(ui::kStartButton, true);
  return 1;
}

std::uint32_t UpdateThread(void* unused) {
  (void)unused;
  if (g_updateRunning.exchange(true)) return 0;  // a second press while a run is under way
  struct RunFlag {
    ~RunFlag() { g_updateRunning.store(false); }
  } runFlag;
  std::lock_guard device(g_deviceUse);
  ui::WindowPort& port = ui::Port();

  port.Enable(ui::kStartButton, false);
  port.Enable(ui::kExitButton, false);
  const int selection = port.ListSelection();
  port.Enable(ui::kImageList, false);
  const std::int64_t target = std::int64_t{selection} + 2;

  std::array<CatalogEntry, kCatalogRows> table;
  std::int32_t rowCount;
  std::string suffix;
  {
    WorkflowState& state = State();
    std::lock_guard lock(state.lock);
    table = state.CatalogTable;
    rowCount = state.CatalogRowCount;
    suffix = state.ImagePoolSuffix;
  }
  const std::string base = UpdateServerBase();

  for (std::int32_t i = 0; i < rowCount && i < static_cast<std::int32_t>(kCatalogRows); ++i) {
    const CatalogEntry& row = table[i];
    if (row.size == 0) continue;
    if (i >= 2 && i != target) continue;
    port.SetText(ui::kStartButton, port.LoadString(ui::kStrDownloading));

    const std::u16string error0401 = ui::FormatText(u"錯誤碼: 0401+%2d", {i});
    // size + 128 must neither wrap around 32 bits nor ask for more than the flash can hold.
    if (row.size > kLargestImage) {
      FatalError(port, error0401);
      return 0;
    }
    const std::uint32_t capacity = row.size + 128;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[capacity]);
    const std::string name(row.name, strnlen(row.name, sizeof row.name));
    const std::string url = base + "Pool3" + suffix + "/" + name;
    if (!image || url.size() >= kUrlBufferSize) {
      FatalError(port, error0401);
      return 0;
    }

    const std::int32_t received = FetchUrl(image.get(), capacity, url.c_str(), u"");
    const std::string_view model(&row.name[2], 4);
    const std::int32_t result = CheckPackage(image.get(), received, model, kModeImage);
    if (result != 0) {
      FatalError(port, ui::FormatText(u"錯誤碼: 0402 %2d", {result}));
      return 0;
    }
    if (received == 0) {
      FatalError(port, ui::FormatText(u"錯誤碼: 0403+%2d\n%8d\n%8d", {i, 0, 0}));
      return 0;
    }
    const std::span<const std::uint8_t> file(image.get(), static_cast<std::size_t>(received));
    ImageRange range;
    if (!ReadImageRange(file, &range)) {
      FatalError(port, ui::FormatText(u"錯誤碼: 0402 %2d", {kImageMalformed}));
      return 0;
    }
    const char letter = i == 0 ? 'T' : i == 1 ? 'V' : 'C';
    const std::uint32_t differing = ProgramImage(file, letter);
    image.reset();
    if (differing != 0) {
      FatalError(port, ui::FormatText(u"錯誤碼: 0403+%2d\n%8d\n%8d", {i, received, differing}));
      return 0;
    }
  }

  g_hidCmd.SendTest(kClosingWord, kClosingWord);
  port.MessageBox(u"OK\n拔線＋離開程式\nGoodbye.", u"更新完成", MessageIcon::kInformation);
  port.SetText(ui::kStartButton, u"- 更 新 完 成 -");
  port.Enable(ui::kExitButton, true);
  return 1;
}

bool StartWorker(std::uint32_t (*worker)(void*)) {
  try {
    std::thread(worker, nullptr).detach();
    return true;
  } catch (const std::system_error&) {
    return false;
  }
}

}  // namespace vqr
