#include "device/hid_simulated.h"

#include <cstdio>

namespace vqr::hid {

namespace {

class SimList final : public InterfaceList {
 public:
  explicit SimList(std::vector<SimInterface> interfaces) : m_interfaces(std::move(interfaces)) {}
  PathResult Path(std::uint32_t index, std::u16string* path) override {
    if (index >= m_interfaces.size()) return PathResult::kNoMore;
    const SimInterface& found = m_interfaces[index];
    if (found.allocFails) return PathResult::kAllocFailed;
    if (found.fetchFails) return PathResult::kFetchFailed;
    *path = found.path;
    return PathResult::kOk;
  }

 private:
  std::vector<SimInterface> m_interfaces;
};

}  // namespace

std::u16string SimInterfacePath(std::uint16_t vendor, std::uint16_t product, int instance) {
  char text[128];
  std::snprintf(text, sizeof text,
                "\\\\?\\hid#vid_%04x&pid_%04x#7&%08x&0&0000#{4d1e55b2-f16f-11cf-88cb-001111000030}",
                vendor, product, 0x2a5c0000u + static_cast<unsigned>(instance));
  return std::u16string(text, text + std::char_traits<char>::length(text));
}

SimulatedHidBackend::SimulatedHidBackend() {
  m_interfaces = {
      {SimInterfacePath(0x046D, 0xC52B, 0), 0x046D, 0xC52B},
      {SimInterfacePath(0x0416, 0xF35F, 1), 0x0416, 0xF35F},
      {SimInterfacePath(0x0416, 0xF370, 2), 0x0416, 0xF370},
      {SimInterfacePath(0x0417, 0xF360, 3), 0x0417, 0xF360},
  };
}

SimulatedHidBackend::~SimulatedHidBackend() = default;

void SimulatedHidBackend::SetInterfaces(std::vector<SimInterface> interfaces) {
  std::lock_guard lock(m_mutex);
  m_interfaces = std::move(interfaces);
}

std::vector<SimInterface> SimulatedHidBackend::Interfaces() const {
  std::lock_guard lock(m_mutex);
  return m_interfaces;
}

std::u16string SimulatedHidBackend::Plug(sim::SimBootloader* device, std::uint16_t product) {
  std::lock_guard lock(m_mutex);
  SimInterface added;
  added.path = SimInterfacePath(0x0416, product, static_cast<int>(m_interfaces.size()) + 16);
  added.vendor = 0x0416;
  added.product = product;
  added.device = device;
  m_interfaces.push_back(added);
  return added.path;
}

void SimulatedHidBackend::Unplug(const std::u16string& path) {
  std::uint16_t vendor = 0;
  bool found = false;
  {
    std::lock_guard lock(m_mutex);
    for (auto it = m_interfaces.begin(); it != m_interfaces.end(); ++it) {
      if (it->path != path) continue;
      vendor = it->vendor;
      m_interfaces.erase(it);
      found = true;
      break;
    }
  }
  if (found) NotifyRemoval(path, vendor);
}

void SimulatedHidBackend::SetListFails(bool fails) {
  std::lock_guard lock(m_mutex);
  m_listFails = fails;
}

void SimulatedHidBackend::SetTransferBound(std::chrono::milliseconds bound) {
  std::lock_guard lock(m_mutex);
  m_bound = bound;
}

int SimulatedHidBackend::ProbeCount(const std::u16string& path) const {
  std::lock_guard lock(m_mutex);
  const auto it = m_probes.find(path);
  return it == m_probes.end() ? 0 : it->second;
}

int SimulatedHidBackend::OpenHandleCount() const {
  std::lock_guard lock(m_mutex);
  return static_cast<int>(m_open.size());
}

const SimInterface* SimulatedHidBackend::FindLocked(const std::u16string& path) const {
  for (const SimInterface& candidate : m_interfaces)
    if (candidate.path == path) return &candidate;
  return nullptr;
}

std::unique_ptr<InterfaceList> SimulatedHidBackend::ListInterfaces() {
  std::lock_guard lock(m_mutex);
  if (m_listFails) return nullptr;
  return std::make_unique<SimList>(m_interfaces);
}

bool SimulatedHidBackend::Probe(const std::u16string& path, std::uint16_t* vendor,
                                std::uint16_t* product) {
  std::lock_guard lock(m_mutex);
  ++m_probes[path];
  const SimInterface* found = FindLocked(path);
  if (found == nullptr || found->probeFails) return false;
  *vendor = found->vendor;
  *product = found->product;
  return true;
}

bool SimulatedHidBackend::Claimed(const std::u16string& path) const {
  std::lock_guard lock(m_mutex);
  for (const auto& [claim, claimed] : m_claims)
    if (claimed == path) return true;
  return false;
}

namespace {

NativeHandle Fail(OpenFailure* failure, OpenError kind) {
  if (failure != nullptr) *failure = OpenFailure{kind, 0, {}, {}};
  return kInvalidHandle;
}

}  // namespace

NativeHandle SimulatedHidBackend::Claim(const std::u16string& path, OpenFailure* failure) {
  std::lock_guard lock(m_mutex);
  const SimInterface* found = FindLocked(path);
  if (found == nullptr) return Fail(failure, OpenError::kGone);
  if (found->claimFails != OpenError::kNone) {
    Fail(failure, found->claimFails);
    if (failure != nullptr) failure->detail = found->claimDetail;
    return kInvalidHandle;
  }
  for (const auto& [claim, claimed] : m_claims)
    if (claimed == path) return Fail(failure, OpenError::kBusy);
  const NativeHandle claim = m_nextHandle++;
  m_claims[claim] = path;
  return claim;
}

void SimulatedHidBackend::ReleaseClaim(NativeHandle claim) {
  std::lock_guard lock(m_mutex);
  m_claims.erase(claim);
}

NativeHandle SimulatedHidBackend::Open(const std::u16string& path, Direction direction,
                                       OpenFailure* failure) {
  std::lock_guard lock(m_mutex);
  const SimInterface* found = FindLocked(path);
  if (found == nullptr) return Fail(failure, OpenError::kGone);
  if (direction == Direction::kRead ? found->openReadFails : found->openWriteFails)
    return Fail(failure, OpenError::kOther);
  const NativeHandle handle = m_nextHandle++;
  m_open[handle] = OpenHandle{path, found->device, direction};
  return handle;
}

void SimulatedHidBackend::Close(NativeHandle device) {
  std::lock_guard lock(m_mutex);
  m_open.erase(device);
}

bool SimulatedHidBackend::Issue(Direction direction, NativeHandle device, std::uint8_t* report,
                                NativeHandle event) {
  sim::SimBootloader* target = nullptr;
  std::chrono::milliseconds bound;
  std::u16string path;
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(device);
    if (it == m_open.end() || it->second.direction != direction) return false;
    it->second.lastCount = 0;  // until this transfer has moved its report
    // A handle to an interface that was unplugged fails like a handle to a vanished device.
    if (FindLocked(it->second.path) == nullptr) return false;
    target = it->second.device;
    bound = m_bound;
    path = it->second.path;
  }
  if (target == nullptr) return false;

  const bool moved = direction == Direction::kWrite
                         ? target->ReceiveOut(report)
                         : target->SendIn(report, bound) == sim::ReadOutcome::kReport;
  if (!moved) {
    if (target->Vanished()) Unplug(path);
    return false;
  }
  {
    std::lock_guard lock(m_mutex);
    const auto it = m_open.find(device);
    if (it != m_open.end()) it->second.lastCount = kReportSize;
  }
  SetEvent(event);
  return true;
}

std::uint32_t SimulatedHidBackend::BytesMoved(Direction direction, NativeHandle device) {
  (void)direction;
  std::lock_guard lock(m_mutex);
  const auto it = m_open.find(device);
  return it == m_open.end() ? 0 : it->second.lastCount;
}

void SimulatedHidBackend::SetRemovalListener(RemovalListener listener, void* context) {
  std::lock_guard lock(m_mutex);
  m_listener = listener;
  m_listenerContext = context;
}

void SimulatedHidBackend::NotifyRemoval(const std::u16string& path, std::uint16_t vendor) {
  RemovalListener listener;
  void* context;
  {
    std::lock_guard lock(m_mutex);
    listener = m_listener;
    context = m_listenerContext;
  }
  if (listener != nullptr) listener(context, path, vendor);
}

}  // namespace vqr::hid
