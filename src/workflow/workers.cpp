#include "workflow/workers.h"

#include <array>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <vector>

#include "content/fetch.h"
#include "device/chidcmd.h"
#include "formats/accept.h"
#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "workflow/hex.h"
#include "workflow/image_list.h"
#include "workflow/program.h"
#include "workflow/state.h"

namespace vqr {

namespace {

using ui::MessageIcon;

bool Complete(const WorkerContext* context) {
  return context != nullptr && context->port != nullptr && context->http != nullptr &&
         context->shared != nullptr;
}

void EndWith(ui::WindowPort& port, const std::u16string& text, const std::u16string& caption,
             MessageIcon icon) {
  port.MessageBox(text, caption, icon);
  port.EndProcess(0);
}

// The network advice: entry 142 under entry 141, then the end of the process.
void NetworkAdvice(ui::WindowPort& port) {
  EndWith(port, port.LoadString(text::kStrCheckNetwork), port.LoadString(text::kStrAnalysis),
          MessageIcon::kInformation);
}

std::u16string OutdatedText(ui::WindowPort& port, std::uint8_t generation) {
  return text::FormatText(port.LoadString(text::kStrOutdatedUpdater),
                          {NibbleToHex(generation >> 4), NibbleToHex(generation & 0x0F)});
}

// A numbered error, then the end of the process.
void FatalError(ui::WindowPort& port, const std::u16string& text) {
  EndWith(port, text, port.LoadString(text::kStrRuntimeError), MessageIcon::kError);
}

// A catalog that could not be had or read: error 0302 with `code`, then the network advice.
void CatalogError(ui::WindowPort& port, std::int32_t code) {
  port.MessageBox(text::FormatText(port.LoadString(text::kStrError0302), {code}),
                  port.LoadString(text::kStrRuntimeError), MessageIcon::kError);
  NetworkAdvice(port);
}

// The name a trusted comment says the signature was made for: minisign's default comment
// holds "file:NAME" among fields separated by tabs. Empty when it names none.
std::string_view SignedFileName(std::string_view comment) {
  for (std::size_t at = 0; at <= comment.size();) {
    std::size_t end = comment.find('\t', at);
    if (end == std::string_view::npos) end = comment.size();
    const std::string_view field = comment.substr(at, end - at);
    if (field.rfind("file:", 0) == 0) return field.substr(5);
    at = end + 1;
  }
  return {};
}

// With signatures required, the detached signature URL.minisig must verify over the exact
// bytes received, under a trusted key, before the package check unscrambles them in place.
// The trusted comment is used for one thing: when it names the file the signature was made
// for ("file:NAME"), that must be the file asked for, so that a signed file cannot be served
// in place of another signed file. The untrusted comment is never looked at. True when
// nothing is required or the signature holds; false after a diagnostic line.
bool SignatureHolds(const WorkerContext& context, const FetchContext& fetch, const std::string& url,
                    const std::uint8_t* data, std::int32_t received) {
  if (!context.signaturesRequired && context.trustedKeys.empty()) return true;
  std::vector<std::uint8_t> text(sig::kMaxSignatureTextSize);
  const std::string signatureUrl = url + ".minisig";
  // A download problem (an HTTP error status, a broken transfer) has its own diagnostic line;
  // the signature is then refused as missing rather than as malformed.
  bool downloadFailed = false;
  const FetchContext signatureFetch{fetch.port, fetch.http, fetch.stop,
                                    [&](const std::string& line) {
                                      downloadFailed = true;
                                      if (fetch.diagnose) fetch.diagnose(line);
                                    }};
  const std::int32_t length =
      FetchUrl(signatureFetch, text.data(), static_cast<std::uint32_t>(text.size()),
               signatureUrl.c_str(), u"");
  std::string problem;
  if (length < 0 || downloadFailed) {
    problem = "no signature could be downloaded from " + signatureUrl;
  } else {
    const std::string_view signature(reinterpret_cast<const char*>(text.data()),
                                     static_cast<std::size_t>(length));
    const sig::Verification verification =
        sig::Verify(std::span<const std::uint8_t>(data, static_cast<std::size_t>(received)),
                    signature, context.trustedKeys);
    if (verification.result != sig::VerifyResult::kGood) {
      problem = sig::VerifyResultText(verification.result);
      if (!verification.detail.empty()) problem += " (" + verification.detail + ")";
    } else {
      const std::string_view signedFor = SignedFileName(verification.trustedComment);
      const std::string_view asked = std::string_view(url).substr(url.rfind('/') + 1);
      if (!signedFor.empty() && signedFor != asked)
        problem = "the signature was made for the file " + std::string(signedFor);
    }
  }
  if (problem.empty()) return true;
  if (fetch.diagnose) fetch.diagnose(url + ": signature refused: " + problem);
  return false;
}

}  // namespace

std::uint32_t IdentifyThread(void* argument) {
  auto* context = static_cast<WorkerContext*>(argument);
  if (!Complete(context)) return 0;
  WorkerShared& shared = *context->shared;
  std::lock_guard device(shared.deviceUse);
  const std::uint64_t removalsAtStart = shared.removals.load();
  ui::WindowPort& port = *context->port;
  const auto step = [context](IdentifyStep reached) {
    if (context->onStep) context->onStep(reached);
  };
  // Gone since the identification started: the device was unplugged, or the program ends.
  const auto dropped = [&] {
    return shared.removals.load() != removalsAtStart || shared.stopping.load();
  };
  step(IdentifyStep::kStarted);

  std::unique_ptr<std::uint8_t[]> buffer(new (std::nothrow) std::uint8_t[kCatalogBufferSize]);
  if (!buffer) {
    FatalError(port, text::FormatText(port.LoadString(text::kStrErrorCodeText), {u"0301"}));
    return 0;
  }
  // A read that fails leaves a blank page rather than whatever the heap held.
  std::memset(buffer.get(), 0, kPageSize);
  g_hidCmd.ReadPages(buffer.get(), kInfoPage, 1);
  const std::uint8_t* page = buffer.get();

  if (page[7] > kUpdaterGeneration) {
    const std::u16string text = OutdatedText(port, page[7]);
    buffer.reset();
    EndWith(port, text, port.LoadString(text::kStrUpdaterOutdatedCaption),
            MessageIcon::kInformation);
    return 0;
  }

  DeviceInfo info;
  info.DeviceVersionText[0] = NibbleToHex(page[0] & 0x0F);
  for (int i = 1; i <= 3; ++i) info.DeviceVersionText[i] = NibbleToHex(page[i]);
  info.Row0Version = page[0];
  std::memcpy(info.ModelCode, &page[12], 4);
  std::memcpy(info.Row1VersionText, &page[4], 3);
  const char poolLetter = static_cast<char>(page[14]);
  port.SetText(ui::kDeviceLabel, text::FormatText(port.LoadString(text::kStrDeviceVersion),
                                                  {std::string_view(info.DeviceVersionText)}));
  if (context->onDeviceInfo) context->onDeviceInfo(info);
  step(IdentifyStep::kInfoPageRead);
  if (dropped()) return 0;

  // The model code is an 8-bit string: it ends at its first zero, as the URL's %s reads it.
  const std::string model(info.ModelCode, strnlen(info.ModelCode, 4));
  const std::string url = context->serverBase + "Door3/" + model + ".Bin";
  Acceptance accepted;
  Catalog catalog;
  if (!ValidModelCode(model, nullptr)) {
    accepted.code = kModelNotServable;
  } else if (url.size() >= kUrlBufferSize) {
    accepted.code = kUrlTooLong;
  } else {
    const FetchContext fetch{port, *context->http, &shared.stopping, context->diagnose};
    const std::int32_t received =
        FetchUrl(fetch, buffer.get(), kCatalogBufferSize, url.c_str(), u"");
    if (received >= 0 && !SignatureHolds(*context, fetch, url, buffer.get(), received))
      accepted.code = kSignatureRefused;
    else
      accepted =
          AcceptCatalog(buffer.get(), received, std::string_view(info.ModelCode, 4), &catalog);
  }
  buffer.reset();
  switch (accepted.verdict) {
    case Verdict::kAccepted:
      break;
    case Verdict::kRefused:  // the package check's code, kCatalogMalformed, kUrlTooLong, ...
      CatalogError(port, accepted.code);
      return 0;
    case Verdict::kOtherGeneration:
      if (accepted.generation < kUpdaterGeneration)
        EndWith(port, port.LoadString(text::kStrTryOtherServer),
                port.LoadString(text::kStrDataOutdatedCaption), MessageIcon::kInformation);
      else
        EndWith(port, OutdatedText(port, accepted.generation),
                port.LoadString(text::kStrUpdaterOutdatedCaption), MessageIcon::kInformation);
      return 0;
    case Verdict::kEmpty:
      NetworkAdvice(port);
      return 0;
  }
  const std::vector<CatalogEntry>& rows = catalog.entries;
  if (context->onCatalog) context->onCatalog(rows);
  step(IdentifyStep::kCatalogChecked);

  // The rows as the update run is to see them: the fixed images the device already holds are
  // skipped.
  std::array<CatalogEntry, kCatalogRows> table{};
  for (std::size_t k = 0; k < rows.size(); ++k) table[k] = rows[k];
  if (rows.size() > 0 &&
      16u * HexToNibble(table[0].name[4]) + HexToNibble(table[0].name[5]) == info.Row0Version)
    table[0].size = 0;
  if (rows.size() > 1 && std::memcmp(&table[1].name[3], info.Row1VersionText, 3) == 0)
    table[1].size = 0;
  std::vector<std::u16string> lines;
  for (std::size_t k = 2; k < rows.size(); ++k) lines.push_back(ImageListLine(rows[0], rows[k]));

  // The list, the catalog rows its items stand for and the start button change in one step on
  // the window's thread, where the unplug handler runs: either the device is still present and
  // all of them change, or it went away (and the handler emptied the list) and none does.
  step(IdentifyStep::kListing);
  bool listed = false;
  port.Batch([&] {
    if (dropped()) return;
    {
      WorkflowState& state = State();
      std::lock_guard lock(state.lock);
      state.device = info;
      state.ImagePoolSuffix[0] = poolLetter;
      state.CatalogTable = table;
      state.CatalogRowCount = static_cast<std::int32_t>(rows.size());
    }
    for (const std::u16string& line : lines) port.AppendListItem(line);
    port.SelectListItem(0);
    port.Enable(ui::kImageList, true);
    port.Enable(ui::kStartButton, true);
    listed = true;
  });
  step(IdentifyStep::kDone);
  return listed ? 1 : 0;
}

std::uint32_t UpdateThread(void* argument) {
  auto* context = static_cast<WorkerContext*>(argument);
  if (!Complete(context)) return 0;
  WorkerShared& shared = *context->shared;
  if (shared.updateRunning.exchange(true)) return 0;  // a second press while a run is under way
  struct RunFlag {
    std::atomic<bool>& flag;
    ~RunFlag() { flag.store(false); }
  } runFlag{shared.updateRunning};
  std::lock_guard device(shared.deviceUse);
  ui::WindowPort& port = *context->port;

  port.Enable(ui::kStartButton, false);
  port.Enable(ui::kExitButton, false);
  const int selection = port.ListSelection();
  port.Enable(ui::kImageList, false);
  const std::int64_t target = std::int64_t{selection} + 2;

  std::array<CatalogEntry, kCatalogRows> table;
  std::int32_t rowCount;
  std::string suffix;
  std::string model;
  {
    WorkflowState& state = State();
    std::lock_guard lock(state.lock);
    table = state.CatalogTable;
    rowCount = state.CatalogRowCount;
    suffix = state.ImagePoolSuffix;
    model.assign(state.device.ModelCode, strnlen(state.device.ModelCode, 4));
  }

  // First every image the run installs is downloaded and checked, on its own and against the
  // others, without a word to the device: a run that fails for any reason known before
  // programming leaves the device exactly as it was. All the images are held at once, each in
  // a buffer of its size + 128 bytes.
  struct Downloaded {
    std::int32_t row;
    std::string name;
    std::unique_ptr<std::uint8_t[]> buffer;
    std::int32_t received;
    ImageHeader header;
  };
  std::vector<Downloaded> downloads;
  const auto refuse = [&port](std::int32_t code) {
    FatalError(port, text::FormatText(port.LoadString(text::kStrError0402), {code}));
  };
  for (std::int32_t i = 0; i < rowCount && i < static_cast<std::int32_t>(kCatalogRows); ++i) {
    const CatalogEntry& row = table[i];
    if (row.size == 0) continue;
    if (i >= 2 && i != target) continue;
    port.SetText(ui::kStartButton, port.LoadString(text::kStrDownloading));

    // A size no image header can describe is refused as a malformed image; below that bound
    // size + 128 cannot wrap around 32 bits, and only a failed allocation is a lack of memory.
    if (row.size > kLargestImage) {
      refuse(kImageMalformed);
      return 0;
    }
    const std::uint32_t capacity = row.size + 128;
    std::unique_ptr<std::uint8_t[]> image(new (std::nothrow) std::uint8_t[capacity]);
    if (!image) {
      FatalError(port, text::FormatText(port.LoadString(text::kStrError0401), {i}));
      return 0;
    }
    const std::string name(row.name, strnlen(row.name, sizeof row.name));
    const std::string url = context->serverBase + "Pool3" + suffix + "/" + name;
    if (url.size() >= kUrlBufferSize) {
      refuse(kUrlTooLong);
      return 0;
    }

    const FetchContext fetch{port, *context->http, nullptr, context->diagnose};
    const std::int32_t received = FetchUrl(fetch, image.get(), capacity, url.c_str(), u"");
    if (received >= 0 && !SignatureHolds(*context, fetch, url, image.get(), received)) {
      refuse(kSignatureRefused);
      return 0;
    }
    ImageHeader header;
    const Acceptance alone = AcceptImage(image.get(), received, name, &header);
    if (alone.verdict == Verdict::kEmpty) {
      FatalError(port, text::FormatText(port.LoadString(text::kStrError0403), {i, 0, 0}));
      return 0;
    }
    if (!alone.Accepted()) {  // the package check's code or kImageMalformed
      refuse(alone.code);
      return 0;
    }
    const RunImage planned{
        name, header,
        std::span<const std::uint8_t>(image.get(), static_cast<std::size_t>(received))};
    std::vector<RunImage> earlier;
    for (const Downloaded& before : downloads)
      earlier.push_back({before.name, before.header,
                         std::span<const std::uint8_t>(before.buffer.get(),
                                                       static_cast<std::size_t>(before.received))});
    const Acceptance inRun = AcceptInRun(earlier, planned, model);
    if (!inRun.Accepted()) {  // kInfoPageLost or kImagesOverlap
      if (context->diagnose) context->diagnose(url + ": refused: " + inRun.detail);
      refuse(inRun.code);
      return 0;
    }
    downloads.push_back({i, name, std::move(image), received, header});
  }

  // Then each image is programmed, in row order; its buffer is released once it is written.
  for (Downloaded& download : downloads) {
    if (context->stopBeforeImage && context->stopBeforeImage()) return 0;
    const std::int32_t i = download.row;
    const std::span<const std::uint8_t> file(download.buffer.get(),
                                             static_cast<std::size_t>(download.received));
    const char letter = i == 0 ? 'T' : i == 1 ? 'V' : 'C';
    const std::uint32_t differing = ProgramImage(*context, file, letter);
    download.buffer.reset();
    if (differing != 0) {
      FatalError(port, text::FormatText(port.LoadString(text::kStrError0403),
                                        {i, download.received, differing}));
      return 0;
    }
  }

  g_hidCmd.SendTest(kClosingWord, kClosingWord);
  port.MessageBox(port.LoadString(text::kStrFinished), port.LoadString(text::kStrFinishedCaption),
                  MessageIcon::kInformation);
  port.SetText(ui::kStartButton, port.LoadString(text::kStrFinishedButton));
  port.Enable(ui::kExitButton, true);
  return 1;
}

Workers::Workers(WorkerContext context) : m_context(std::move(context)) {
  m_context.shared = &m_shared;
}

Workers::~Workers() {
  Stop();
}

bool Workers::Start(WorkerEntry entry) {
  std::lock_guard lock(m_mutex);
  JoinEnded();
  Running running;
  running.context = std::make_unique<WorkerContext>(m_context);
  running.context->shared = &m_shared;
  running.done = std::make_shared<std::atomic<bool>>(false);
  try {
    running.thread = std::thread(
        [entry](WorkerContext* context, std::shared_ptr<std::atomic<bool>> done) {
          entry(context);
          done->store(true);
        },
        running.context.get(), running.done);
  } catch (const std::system_error&) {
    return false;
  }
  m_running.push_back(std::move(running));
  return true;
}

void Workers::JoinEnded() {
  for (auto it = m_running.begin(); it != m_running.end();) {
    if (it->done->load()) {
      it->thread.join();
      it = m_running.erase(it);
    } else {
      ++it;
    }
  }
}

void Workers::Stop(const std::function<void()>& whileWaiting) {
  m_shared.stopping.store(true);
  std::vector<Running> running;
  {
    std::lock_guard lock(m_mutex);
    running.swap(m_running);
  }
  for (Running& worker : running) {
    while (whileWaiting && !worker.done->load()) {
      whileWaiting();
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    worker.thread.join();
  }
}

}  // namespace vqr
