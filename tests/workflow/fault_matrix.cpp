#include "fault_matrix.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <sstream>
#include <thread>

#include "content/http_backend.h"
#include "device/chidcmd.h"
#include "device/hid_none.h"
#include "device/hid_simulated.h"
#include "formats/catalog.h"
#include "formats/package.h"
#include "recording_port.h"
#include "simulator/sim_bootloader.h"
#include "text/text_format.h"
#include "workflow/context.h"
#include "workflow/workers.h"

namespace vqr::faults {

namespace {

constexpr char kModel[] = "AB7C";
static_assert(CommandPacket::kSize == 18);

// Where the server keeps image `name`: the pool of the model's third character.
std::string ImagePath(const std::string& name) {
  return "Pool3" + std::string(1, kModel[2]) + "x/" + name;
}

std::string Text(const std::vector<std::uint8_t>& bytes) {
  return std::string(bytes.begin(), bytes.end());
}

// A detached signature of `bytes` by `key`, made for the file `name`; empty when signing
// failed.
std::vector<std::uint8_t> Signature(const std::vector<std::uint8_t>& bytes,
                                    const sig::SecretKey& key, const std::string& path) {
  std::string text;
  std::string error;
  const std::string name = path.substr(path.rfind('/') + 1);
  if (!sig::Sign(bytes, key, sig::DefaultTrustedComment(1700000000, name, true), &text, &error))
    return {};
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

// The simulated backend with a count of the reports issued through it: it can record each
// (the first bytes of an output report are its command) and, after report k, tell the
// simulated device to answer no more reads. The device still takes every output report, as a
// device whose firmware hangs after receiving does; each read then runs into the backend's
// transfer bound and fails there, as on a real device.
class WireBackend final : public hid::HidBackend {
 public:
  hid::SimulatedHidBackend& Inner() { return m_inner; }
  void SilentAfter(std::uint64_t k, sim::SimBootloader* device) {
    m_silentAfter = k;
    m_silentDevice = device;
  }
  void Record(std::vector<WireLogEntry>* log) { m_log = log; }
  std::uint64_t Issued() const { return m_issued.load(); }

  bool Issue(hid::Direction direction, hid::NativeHandle device, std::uint8_t* report,
             hid::NativeHandle event) override {
    const std::uint64_t number = ++m_issued;
    if (m_silentAfter && number == *m_silentAfter + 1) m_silentDevice->NeverAnswerReads(true);
    if (m_log) {
      std::lock_guard lock(m_mutex);
      WireLogEntry& entry = m_log->emplace_back();
      entry.out = direction == hid::Direction::kWrite;
      std::memcpy(entry.head.data(), report + 1, entry.head.size());
    }
    return m_inner.Issue(direction, device, report, event);
  }

  std::unique_ptr<hid::InterfaceList> ListInterfaces() override { return m_inner.ListInterfaces(); }
  bool Probe(const std::u16string& path, std::uint16_t* vendor, std::uint16_t* product) override {
    return m_inner.Probe(path, vendor, product);
  }
  hid::NativeHandle Claim(const std::u16string& path, hid::OpenFailure* failure) override {
    return m_inner.Claim(path, failure);
  }
  void ReleaseClaim(hid::NativeHandle claim) override { m_inner.ReleaseClaim(claim); }
  hid::NativeHandle Open(const std::u16string& path, hid::Direction direction,
                         hid::OpenFailure* failure) override {
    return m_inner.Open(path, direction, failure);
  }
  hid::NativeHandle CreateEvent() override { return m_inner.CreateEvent(); }
  void SetEvent(hid::NativeHandle event) override { m_inner.SetEvent(event); }
  void ResetEvent(hid::NativeHandle event) override { m_inner.ResetEvent(event); }
  void CloseEvent(hid::NativeHandle event) override { m_inner.CloseEvent(event); }
  hid::WaitResult WaitAny(hid::NativeHandle event0, hid::NativeHandle event1,
                          std::uint32_t ms) override {
    return m_inner.WaitAny(event0, event1, ms);
  }
  std::uint32_t BytesMoved(hid::Direction direction, hid::NativeHandle device) override {
    return m_inner.BytesMoved(direction, device);
  }
  void CancelIo(hid::NativeHandle device) override { m_inner.CancelIo(device); }
  void Close(hid::NativeHandle device) override { m_inner.Close(device); }
  void SetRemovalListener(hid::RemovalListener listener, void* context) override {
    m_inner.SetRemovalListener(listener, context);
  }

 private:
  hid::SimulatedHidBackend m_inner;
  std::atomic<std::uint64_t> m_issued{0};
  std::optional<std::uint64_t> m_silentAfter;
  sim::SimBootloader* m_silentDevice = nullptr;
  std::mutex m_mutex;
  std::vector<WireLogEntry>* m_log = nullptr;
};

}  // namespace

// The platform's HTTP backend, except that a request for the URL ending in the refused path
// goes to a port of 127.0.0.1 where nobody listens, so that its connection is refused.
class RefusingHttpBackend final : public HttpBackend {
 public:
  void Refuse(std::string path) { m_refused = std::move(path); }

  std::unique_ptr<HttpClient> OpenClient() override {
    std::unique_ptr<HttpClient> inner = PlatformHttpBackend().OpenClient();
    if (!inner) return nullptr;
    return std::make_unique<Client>(std::move(inner), m_refused);
  }

 private:
  class Client final : public HttpClient {
   public:
    Client(std::unique_ptr<HttpClient> inner, std::string refused)
        : m_inner(std::move(inner)), m_refused(std::move(refused)) {}
    std::unique_ptr<HttpRequest> OpenUrl(const char* url, std::uint32_t capacity) override {
      const std::string_view asked(url);
      const bool refused = !m_refused.empty() && asked.size() > m_refused.size() &&
                           asked.substr(asked.size() - m_refused.size() - 1) == "/" + m_refused;
      return m_inner->OpenUrl(refused ? "http://127.0.0.1:1/" : url, capacity);
    }
    HttpFailure LastFailure() const override { return m_inner->LastFailure(); }

   private:
    std::unique_ptr<HttpClient> m_inner;
    std::string m_refused;
  };
  std::string m_refused;
};

namespace {

std::vector<std::uint8_t> Pattern(std::size_t size, std::uint32_t state) {
  std::vector<std::uint8_t> data(size);
  for (std::uint8_t& byte : data) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return data;
}

// A box's text on one line: runs of white space become one space.
std::string OneLine(const std::u16string& text) {
  std::string line;
  for (const char c : text::Utf16ToUtf8(text)) {
    const bool space = c == ' ' || c == '\n' || c == '\t';
    if (space && (line.empty() || line.back() == ' ')) continue;
    line.push_back(space ? ' ' : c);
  }
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return line;
}

}  // namespace

const char* FaultName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNone:
      return "none";
    case FaultKind::kFailReport:
      return "report k fails";
    case FaultKind::kVanishAfter:
      return "vanishes after k";
    case FaultKind::kSilentAfter:
      return "silent after k";
    case FaultKind::kFlipOnRead:
      return "bits flip on read-back";
    case FaultKind::kRefused:
      return "connection refused";
    case FaultKind::kNotFound:
      return "file not found";
    case FaultKind::kCutShort:
      return "body cut short";
    case FaultKind::kBrokenOff:
      return "download broken off";
    case FaultKind::kDamaged:
      return "package damaged";
    case FaultKind::kBadSignature:
      return "bad signature";
    case FaultKind::kNoSignature:
      return "signature missing";
  }
  return "?";
}

bool DownloadFault(FaultKind kind) {
  return kind >= FaultKind::kRefused;
}

bool SignedFault(FaultKind kind) {
  return kind == FaultKind::kBadSignature || kind == FaultKind::kNoSignature;
}

bool CaseResult::Holds() const {
  if (DownloadFault(fault.kind) && !(faulted.numbered && faulted.untouched)) return false;
  const bool faultedHolds = faulted.numbered || (faulted.done && faulted.imagesExact);
  return faultedHolds && rerun.done && rerun.flashExact;
}

FaultRig::FaultRig() {
  // The device: version 2345 (row 0 version 0x12, row 1 "345"), generation 3, model AB7C.
  m_info.fill(0x5A);
  const std::uint8_t version[4] = {0x12, 0x03, 0x04, 0x05};
  std::memcpy(m_info.data(), version, 4);
  std::memcpy(&m_info[4], "345", 3);
  m_info[7] = kUpdaterGeneration;
  std::memcpy(&m_info[12], kModel, 4);

  // Rows 0 and 1 are newer than the device holds; row 2 is the selected optional image (its
  // last sector carries no pages: it is only erased), row 3 is not selected.
  m_images = {{'T', "T0Q713.bin", {3, 5, 2}, {}, true},
              {'V', "V0Q346.bin", {10, 10, 16}, {}, true},
              {'C', "C0Q234.bin", {20, 21, 0}, {}, true},
              {'C', "C0Q299.bin", {30, 30, 1}, {}, false}};
  Catalog catalog;
  catalog.generation = kUpdaterGeneration;
  std::uint32_t patternState = 0x51ED;  // each image gets a pattern of its own
  for (Image& image : m_images) {
    image.data = Pattern(image.header.DataSize(), patternState++);
    std::string error;
    // An image is checked against characters 2 to 5 of its name.
    std::vector<std::uint8_t> package =
        BuildImage(image.name.substr(2, 4), image.header, image.data, &error);
    if (package.empty()) return;
    CatalogEntry& entry = catalog.entries.emplace_back();
    if (!entry.SetName(image.name)) return;
    entry.size = static_cast<std::uint32_t>(package.size());
    entry.description = u"image " + std::u16string(1, static_cast<char16_t>(image.letter));
    m_files[ImagePath(image.name)] = std::move(package);
  }
  std::string error;
  std::vector<std::uint8_t> catalogBytes = BuildCatalog(kModel, catalog, &error);
  if (catalogBytes.empty()) return;
  m_files[std::string("Door3/") + kModel + ".Bin"] = std::move(catalogBytes);
  // Every file is signed; a run requires the signatures only where its case says so.
  if (!sig::GenerateKeyPair(&m_vendor, &error)) return;
  m_trusted = {sig::PublicKeyOf(m_vendor)};
  std::vector<std::string> paths;
  for (const auto& [path, bytes] : m_files) paths.push_back(path);
  for (const std::string& path : paths) {
    std::vector<std::uint8_t> signature = Signature(m_files[path], m_vendor, path);
    if (signature.empty()) return;
    m_files[path + ".minisig"] = std::move(signature);
  }

  // Older firmware in every image's sectors (the one not installed must keep it).
  m_start.assign(sim::kFlashSize, 0xFF);
  std::memcpy(&m_start[std::size_t{sim::kInfoPage} * sim::kPageSize], m_info.data(), m_info.size());
  for (const Image& image : m_images) {
    const std::size_t first = std::size_t{image.header.first} * kSectorSize;
    const std::vector<std::uint8_t> old = Pattern(image.header.SectorCount() * kSectorSize, 0x01D);
    std::copy(old.begin(), old.end(), m_start.begin() + first);
  }
  m_expected = m_start;
  for (const Image& image : m_images) {
    if (!image.installed) continue;
    const auto first = m_expected.begin() + std::size_t{image.header.first} * kSectorSize;
    std::fill(first, first + image.header.SectorCount() * kSectorSize, 0xFF);
    std::copy(image.data.begin(), image.data.end(), first);
  }

  m_http = std::make_unique<RefusingHttpBackend>();
  m_server = test::StartLoopbackServer();
  Serve(FaultCase{});
}

void FaultRig::Serve(const FaultCase& fault) {
  for (const auto& [path, bytes] : m_files) m_server->Set("/" + path, test::Serve(Text(bytes)));
  m_http->Refuse({});
  if (!DownloadFault(fault.kind)) return;
  const std::string path = ImagePath(m_images[fault.image].name);
  const std::vector<std::uint8_t>& file = m_files[path];
  switch (fault.kind) {
    case FaultKind::kRefused:
      m_http->Refuse(path);
      break;
    case FaultKind::kNotFound:
      m_server->Set("/" + path, test::Serve("<html><body>404 Not Found</body></html>", 404));
      break;
    case FaultKind::kCutShort:
      m_server->Set("/" + path, test::Serve(Text(file).substr(0, file.size() / 2)));
      break;
    case FaultKind::kBrokenOff:
      m_server->Set("/" + path, test::CutAfter(Text(file), file.size() / 2));
      break;
    case FaultKind::kDamaged: {
      std::string damaged = Text(file);
      damaged[kPackageHeaderSize + 7] ^= 0x10;  // sector data: only the check bytes see it
      m_server->Set("/" + path, test::Serve(damaged));
      break;
    }
    case FaultKind::kBadSignature: {
      // The vendor's own signature for this file name, over bytes other than the file's.
      std::vector<std::uint8_t> other = file;
      other.back() ^= 0x01;
      m_server->Set("/" + path + ".minisig", test::Serve(Text(Signature(other, m_vendor, path))));
      break;
    }
    case FaultKind::kNoSignature:
      m_server->Set("/" + path + ".minisig",
                    test::Serve("<html><body>404 Not Found</body></html>", 404));
      break;
    default:
      break;
  }
}

FaultRig::~FaultRig() = default;

bool FaultRig::ImagesExact(const std::vector<std::uint8_t>& flash) const {
  if (flash.size() != m_expected.size()) return false;
  std::size_t at = 0;  // what is checked so far
  for (const Image& image : m_images) {
    if (!image.installed) continue;
    const std::size_t first = std::size_t{image.header.first} * kSectorSize;
    const std::size_t dataEnd = first + image.data.size();
    const std::size_t sectorsEnd = first + image.header.SectorCount() * kSectorSize;
    if (!std::equal(flash.begin() + at, flash.begin() + first, m_start.begin() + at) ||
        !std::equal(flash.begin() + first, flash.begin() + dataEnd, m_expected.begin() + first))
      return false;
    at = sectorsEnd;
  }
  return std::equal(flash.begin() + at, flash.end(), m_start.begin() + at);
}

RunOutcome FaultRig::Update(const std::vector<std::uint8_t>* startFlash, const FaultCase& fault,
                            bool signedRun, std::vector<std::uint8_t>* flashAfter,
                            std::vector<WireLogEntry>* log) {
  RunOutcome outcome;
  std::vector<WireLogEntry> ownLog;
  if (log == nullptr) log = &ownLog;
  auto device = std::make_unique<sim::SimBootloader>(m_info);
  // The device starts erased: only the pages that are not need setting (a few dozen; every
  // page would make the run ten times slower under the sanitizers).
  const std::vector<std::uint8_t>& start = startFlash != nullptr ? *startFlash : m_start;
  std::array<std::uint8_t, sim::kPageSize> erased;
  erased.fill(0xFF);
  for (std::uint32_t page = 0; page < sim::kPageCount; ++page) {
    const std::uint8_t* bytes = start.data() + std::size_t{page} * sim::kPageSize;
    if (page == sim::kInfoPage || std::memcmp(bytes, erased.data(), sim::kPageSize) != 0)
      device->SetPage(page, std::span<const std::uint8_t, sim::kPageSize>(bytes, sim::kPageSize));
  }
  auto wire = std::make_unique<WireBackend>();
  wire->Record(log);
  // A read the device never answers fails after this bound instead of the platform's 5 s.
  wire->Inner().SetTransferBound(std::chrono::milliseconds(20));
  switch (fault.kind) {
    case FaultKind::kNone:
      break;
    case FaultKind::kRefused:  // faults of the server (Serve), not of the device
    case FaultKind::kNotFound:
    case FaultKind::kCutShort:
    case FaultKind::kBrokenOff:
    case FaultKind::kDamaged:
    case FaultKind::kBadSignature:
    case FaultKind::kNoSignature:
      break;
    case FaultKind::kFailReport:
      device->FailReport(fault.report);
      break;
    case FaultKind::kVanishAfter:
      device->VanishAfterReport(fault.report);
      break;
    case FaultKind::kSilentAfter:
      wire->SilentAfter(fault.report, device.get());
      break;
    case FaultKind::kFlipOnRead:
      device->FlipBitsOnRead(fault.page, 7, 5, 0x80);
      break;
  }
  wire->Inner().Plug(device.get());
  g_hidCmd.IO().UseBackend(*wire);

  ui::RecordingPort port;
  WorkerShared shared;
  WorkerContext context;
  context.port = &port;
  context.http = m_http.get();
  context.serverBase = m_server->Url("/");
  context.trustedKeys = signedRun ? m_trusted : std::vector<sig::PublicKey>{};
  context.signaturesRequired = signedRun;
  context.shared = &shared;
  if (FindAndOpenDevice() == 1) {
    if (IdentifyThread(&context) == 1) {
      port.UserSelects(0);  // the first optional row: catalog row 2
      UpdateThread(&context);
    }
  }
  // The device link lets go of the backend before the backend and the device go away.
  g_hidCmd.IO().UseBackend(hid::NoDeviceHidBackend());

  outcome.reports = device->ReportsSeen();
  std::vector<std::uint8_t> flash = device->Flash();
  // What the identification sends: one command, the read of the information page.
  std::size_t commands = 0;
  bool onlyInfoRead = true;
  for (const WireLogEntry& entry : *log) {
    if (!entry.out) continue;
    const CommandPacket packet = CommandPacket::Parse(entry.head.data());
    ++commands;
    onlyInfoRead =
        onlyInfoRead && packet.code == kCmdRead && packet.arg1 == kInfoPage && packet.arg2 == 1;
  }
  outcome.untouched = commands == 1 && onlyInfoRead && flash == start;
  outcome.flashExact = flash == m_expected;
  outcome.imagesExact = outcome.flashExact || ImagesExact(flash);
  if (flashAfter != nullptr) *flashAfter = std::move(flash);

  const std::u16string numbered = u"錯誤碼:";
  for (const ui::PortCall& box : port.MessageBoxes()) {
    if (box.text.compare(0, numbered.size(), numbered) == 0) {
      outcome.numbered = true;
      outcome.ending = OneLine(box.text.substr(numbered.size()));
    } else if (box.caption == u"更新完成") {
      outcome.done = true;
    }
  }
  if (outcome.numbered && outcome.done) {
    outcome.ending = "other: an error and the completion box";
    outcome.numbered = outcome.done = false;
  } else if (outcome.done) {
    outcome.ending = "done";
  } else if (!outcome.numbered) {
    const auto boxes = port.MessageBoxes();
    outcome.ending = "other: " + (boxes.empty() ? std::string("no box, the device was not found")
                                                : OneLine(boxes.back().text));
  }
  return outcome;
}

std::vector<WireReport> FaultRig::CleanRun() {
  if (!Ready()) return {};
  std::vector<WireLogEntry> log;
  std::vector<std::uint8_t> flash;
  const RunOutcome clean = Update(nullptr, FaultCase{}, false, &flash, &log);
  if (!clean.done || !clean.flashExact || clean.reports != log.size()) return {};

  const auto imageAt = [&](std::uint32_t sector) -> const Image* {
    for (const Image& image : m_images)
      if (image.installed && sector >= image.header.first && sector <= image.header.last)
        return &image;
    return nullptr;
  };
  std::vector<WireReport> reports;
  std::uint32_t dataLeft = 0;
  std::string dataPhase;
  std::size_t opens = 0;
  std::vector<const Image*> installed;
  for (const Image& image : m_images)
    if (image.installed) installed.push_back(&image);
  for (std::size_t i = 0; i < log.size(); ++i) {
    std::string phase;
    if (dataLeft > 0) {
      --dataLeft;
      phase = dataPhase;
    } else if (!log[i].out) {
      phase = "unexpected input";
    } else {
      const CommandPacket packet = CommandPacket::Parse(log[i].head.data());
      const auto named = [&](const char* what, std::uint32_t sector) {
        const Image* image = imageAt(sector);
        return std::string(what) + " " + (image ? std::string(1, image->letter) : "?") + " " +
               std::to_string(sector);
      };
      switch (packet.code) {
        case kCmdRead:
          phase = packet.arg1 == kInfoPage ? "info page"
                                           : named("read-back", packet.arg1 / kPagesPerSector);
          dataLeft = packet.arg2 * 4;
          break;
        case kCmdWrite:
          phase = named("write", packet.arg1 / kPagesPerSector);
          dataLeft = packet.arg2 * 4;
          break;
        case kCmdErase:
          phase = named("erase", packet.arg1);
          break;
        case kCmdTest:
          if (packet.arg1 == kClosingWord && packet.arg2 == kClosingWord)
            phase = "close";
          else if (opens < installed.size())
            phase = std::string("open ") + installed[opens++]->letter;
          else
            phase = "open ?";
          break;
        default:
          phase = "unknown command";
      }
      dataPhase = phase;
    }
    reports.push_back({i + 1, phase, !log[i].out});
  }
  return reports;
}

std::vector<FaultCase> FaultRig::Cases(const std::vector<WireReport>& clean) const {
  // The phases as runs of reports; every run gives its first and last report, the report after
  // its command (the first data report) and one in its middle. Interior sectors of an image
  // give only their edges: they behave like the first.
  std::vector<std::uint64_t> positions;
  std::size_t start = 0;
  std::map<std::string, int> seenKinds;  // "write T", "read-back T": how many runs so far
  for (std::size_t i = 1; i <= clean.size(); ++i) {
    if (i < clean.size() && clean[i].phase == clean[start].phase) continue;
    const std::uint64_t first = clean[start].number;
    const std::uint64_t last = clean[i - 1].number;
    const std::string& phase = clean[start].phase;
    const std::string kind = phase.substr(0, phase.rfind(' '));
    const bool firstOfKind = seenKinds[kind]++ == 0;
    positions.push_back(first);
    if (last > first) positions.push_back(last);
    if (firstOfKind && last > first + 1) {
      positions.push_back(first + 1);
      positions.push_back(first + (last - first) / 2);
    }
    start = i;
  }
  std::sort(positions.begin(), positions.end());
  positions.erase(std::unique(positions.begin(), positions.end()), positions.end());

  std::vector<FaultCase> cases;
  for (const std::uint64_t k : positions) {
    for (const FaultKind kind :
         {FaultKind::kFailReport, FaultKind::kVanishAfter, FaultKind::kSilentAfter}) {
      cases.push_back({kind, k, 0, clean[k - 1].phase});
    }
  }
  // A flip in a full sector, in the last page of a sector, and in an image's tail page.
  for (const Image& image : m_images) {
    if (!image.installed) continue;
    const std::uint32_t firstPage = image.header.first * kPagesPerSector;
    const std::uint32_t pages =
        image.header.FullSectors() * kPagesPerSector + image.header.tailPages;
    for (const std::uint32_t page : {firstPage + 5, firstPage + pages - 1}) {
      cases.push_back({FaultKind::kFlipOnRead, 0, page,
                       std::string("page ") + std::to_string(page) + " of " + image.letter});
    }
  }
  for (std::size_t i = 0; i < m_images.size(); ++i) {
    if (!m_images[i].installed) continue;
    for (const FaultKind kind :
         {FaultKind::kRefused, FaultKind::kNotFound, FaultKind::kCutShort, FaultKind::kBrokenOff,
          FaultKind::kDamaged, FaultKind::kBadSignature, FaultKind::kNoSignature}) {
      cases.push_back({kind, 0, 0, std::string("download ") + m_images[i].letter, i});
    }
  }
  return cases;
}

CaseResult FaultRig::Run(const FaultCase& fault) {
  CaseResult result;
  result.fault = fault;
  if (!Ready()) {
    result.faulted.ending = result.rerun.ending = "other: no loopback server";
    return result;
  }
  std::vector<std::uint8_t> flash;
  Serve(fault);
  result.faulted = Update(nullptr, fault, SignedFault(fault.kind), &flash, nullptr);
  Serve(FaultCase{});
  result.rerun = Update(&flash, FaultCase{}, SignedFault(fault.kind), nullptr, nullptr);
  return result;
}

std::string FormatMatrix(const std::vector<CaseResult>& results) {
  const auto cell = [](const CaseResult& result) {
    std::string text = result.faulted.ending;
    if (result.faulted.done && !result.faulted.imagesExact) text += " (image WRONG)";
    if (result.faulted.done && result.faulted.imagesExact && !result.faulted.flashExact)
      text += " (rest unerased)";
    text += result.rerun.done && result.rerun.flashExact ? ", rerun ok" : ", rerun FAILED";
    if (!result.Holds()) text += "  FAILS";
    return text;
  };
  const FaultKind kinds[] = {FaultKind::kFailReport, FaultKind::kVanishAfter,
                             FaultKind::kSilentAfter};
  constexpr int kPhaseWidth = 16;
  constexpr int kCellWidth = 32;
  const auto pad = [](std::string text, std::size_t width) {
    // Widths count characters; every text here is ASCII.
    if (text.size() < width) text.append(width - text.size(), ' ');
    return text + " ";
  };

  std::ostringstream out;
  out << pad("report", 6) << pad("phase", kPhaseWidth);
  for (const FaultKind kind : kinds) out << pad(FaultName(kind), kCellWidth);
  out << "\n";
  // One line per position: the report faults of one k are next to each other in the list.
  std::map<std::uint64_t, std::map<FaultKind, const CaseResult*>> rows;
  std::map<std::uint64_t, std::string> phases;
  for (const CaseResult& result : results) {
    if (result.fault.kind == FaultKind::kFlipOnRead || result.fault.kind == FaultKind::kNone ||
        DownloadFault(result.fault.kind))
      continue;
    rows[result.fault.report][result.fault.kind] = &result;
    phases[result.fault.report] = result.fault.phase;
  }
  for (const auto& [k, byKind] : rows) {
    out << pad(std::to_string(k), 6) << pad(phases[k], kPhaseWidth);
    for (const FaultKind kind : kinds) {
      const auto found = byKind.find(kind);
      out << pad(found == byKind.end() ? "-" : cell(*found->second), kCellWidth);
    }
    out << "\n";
  }
  out << "\n" << FaultName(FaultKind::kFlipOnRead) << ":\n";
  for (const CaseResult& result : results) {
    if (result.fault.kind != FaultKind::kFlipOnRead) continue;
    out << "  " << pad(result.fault.phase, kPhaseWidth) << cell(result) << "\n";
  }
  out << "\ndownloads (the device untouched):\n";
  for (const CaseResult& result : results) {
    if (!DownloadFault(result.fault.kind)) continue;
    out << "  " << pad(result.fault.phase, kPhaseWidth) << pad(FaultName(result.fault.kind), 20)
        << (result.faulted.untouched ? "" : "device TOUCHED: ") << cell(result) << "\n";
  }
  // Without the padding behind the last column.
  std::string text;
  std::istringstream lines(out.str());
  for (std::string line; std::getline(lines, line);) {
    line.erase(line.find_last_not_of(' ') + 1);
    text += line + "\n";
  }
  return text;
}

}  // namespace vqr::faults
