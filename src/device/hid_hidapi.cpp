// The Linux HID backend over hidapi (hidraw). hidapi's calls are synchronous, so a transfer has
// ended when its call returns; reads are bounded with hid_read_timeout, and the completion is
// signalled on a standard-library event. hidapi strips the report ID of an unnumbered input
// report: the backend puts byte 0 back and counts it, so a whole report counts 65 here too.
#include <hidapi/hidapi.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_backend.h"
#include "device/portable_events.h"
#include "text/text_format.h"

namespace vqr::hid {

namespace {

struct Present {
  std::u16string path;
  std::uint16_t vendor;
  std::uint16_t product;
};

class SnapshotList final : public InterfaceList {
 public:
  explicit SnapshotList(std::vector<Present> present) : m_present(std::move(present)) {}
  PathResult Path(std::uint32_t index, std::u16string* path) override {
    if (index >= m_present.size()) return PathResult::kNoMore;
    *path = m_present[index].path;
    return PathResult::kOk;
  }

 private:
  std::vector<Present> m_present;
};

class HidapiBackend final : public PortableEventBackend {
 public:
  HidapiBackend() { hid_init(); }
  ~HidapiBackend() override { hid_exit(); }

  std::unique_ptr<InterfaceList> ListInterfaces() override {
    hid_device_info* all = hid_enumerate(0, 0);
    std::vector<Present> present;
    for (hid_device_info* at = all; at != nullptr; at = at->next) {
      if (at->path == nullptr) continue;
      present.push_back({text::Utf8ToUtf16(at->path), at->vendor_id, at->product_id});
    }
    hid_free_enumeration(all);
    {
      std::lock_guard lock(m_mutex);
      m_attributes.clear();
      for (const Present& p : present) m_attributes[p.path] = {p.vendor, p.product};
    }
    return std::make_unique<SnapshotList>(std::move(present));
  }

  // hidapi reads the IDs from sysfs while enumerating, without opening the interface; the
  // probe answers from the last enumeration.
  bool Probe(const std::u16string& path, std::uint16_t* vendor, std::uint16_t* product) override {
    std::lock_guard lock(m_mutex);
    const auto it = m_attributes.find(path);
    if (it == m_attributes.end()) return false;
    *vendor = it->second.first;
    *product = it->second.second;
    return true;
  }

  NativeHandle Open(const std::u16string& path, Direction direction) override {
    (void)direction;  // hidraw nodes are opened read-write; one handle per direction
    hid_device* device = hid_open_path(text::Utf16ToUtf8(path).c_str());
    if (device == nullptr) return kInvalidHandle;
    std::lock_guard lock(m_mutex);
    m_counts[reinterpret_cast<NativeHandle>(device)] = 0;
    return reinterpret_cast<NativeHandle>(device);
  }

  bool Issue(Direction direction, NativeHandle handle, std::uint8_t* report,
             NativeHandle event) override {
    if (handle == kInvalidHandle) return false;
    auto* device = reinterpret_cast<hid_device*>(handle);
    int moved;
    if (direction == Direction::kWrite) {
      moved = hid_write(device, report, kReportSize);
    } else {
      const int got =
          hid_read_timeout(device, report + 1, kReportSize - 1, static_cast<int>(kTransferBoundMs));
      moved = got > 0 ? got + 1 : -1;  // 0 is the bound running out
      report[0] = 0;
    }
    if (moved <= 0) return false;
    {
      std::lock_guard lock(m_mutex);
      m_counts[handle] = static_cast<std::uint32_t>(moved);
    }
    SetEvent(event);
    return true;
  }

  std::uint32_t BytesMoved(Direction direction, NativeHandle handle) override {
    (void)direction;
    std::lock_guard lock(m_mutex);
    const auto it = m_counts.find(handle);
    return it == m_counts.end() ? 0 : it->second;
  }

  void CancelIo(NativeHandle handle) override { (void)handle; }

  void Close(NativeHandle handle) override {
    if (handle == kInvalidHandle) return;
    {
      std::lock_guard lock(m_mutex);
      m_counts.erase(handle);
    }
    hid_close(reinterpret_cast<hid_device*>(handle));
  }

 private:
  std::mutex m_mutex;
  std::map<std::u16string, std::pair<std::uint16_t, std::uint16_t>> m_attributes;
  std::map<NativeHandle, std::uint32_t> m_counts;
};

}  // namespace

HidBackend& PlatformHidBackend() {
  // Never destroyed: g_hidCmd, built before it and destroyed after it, may still close
  // handles through it at exit.
  static HidapiBackend* const backend = new HidapiBackend();
  return *backend;
}

}  // namespace vqr::hid
