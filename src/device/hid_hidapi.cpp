// The Linux HID backend over hidapi (hidraw). hidapi's calls are synchronous, so a transfer has
// ended when its call returns; the completion is signalled on a standard-library event. A read
// waits in slices of hid_read_timeout up to the transfer bound, so that CancelIo (from any
// thread) ends it within one slice; a write cannot be interrupted. hid_close frees what a
// read in progress uses, so Close waits until no transfer on the handle is outstanding.
//
// Report IDs. The device uses no numbered reports. A write hands hidraw all 65 bytes, report ID
// 0 first; the kernel sends the 64 data bytes and counts 65. A read gives the 64 data bytes
// without a report ID byte: the kernel's hidraw delivers an unnumbered input report as it came,
// and hidapi's hidraw backend passes the bytes on unchanged. The backend therefore reads into
// bytes 1 to 64, puts the report ID 0 into byte 0 and counts it, so a whole report counts 65
// here too.
//
// The claim. hidapi does not expose the descriptors it opens, so the claim opens the hidraw
// node once more on a descriptor of its own and takes a non-blocking exclusive flock on it.
// flock locks belong to the open file, so a second claim fails whether it comes from this
// process or another one, of any user, and the lock goes when the descriptor is closed (also
// when the process dies). Opening the node ourselves also yields the exact errno of a node
// this user may not open, which hid_open_path reports only as text. The descriptor never
// reads; the kernel drops input reports for it once its queue is full.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_backend.h"
#include "device/portable_events.h"
#include "text/text_format.h"

namespace vqr::hid {

OpenError OpenErrorFromCode(std::int64_t code) {
  switch (code) {
    case EACCES:
    case EPERM:
      return OpenError::kAccessDenied;
    case EBUSY:
    case EWOULDBLOCK:  // the flock of another claim
      return OpenError::kBusy;
    case ENOENT:
    case ENODEV:
    case ENXIO:
      return OpenError::kGone;
    default:
      return OpenError::kOther;
  }
}

namespace {

void Fill(OpenFailure* failure, int code, std::u16string detail) {
  if (failure == nullptr) return;
  *failure = OpenFailure{OpenErrorFromCode(code), code, std::move(detail), {}};
}

std::u16string ErrnoText(int code) {
  return text::Utf8ToUtf16(std::strerror(code));
}

// hidapi's error texts are wide strings (UTF-32 on Linux).
std::u16string WideText(const wchar_t* wide) {
  std::u16string out;
  if (wide == nullptr) return out;
  for (; *wide != L'\0'; ++wide) {
    const auto c = static_cast<char32_t>(*wide);
    if (c > 0xFFFF && c <= 0x10FFFF) {
      out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else if (c <= 0xFFFF) {
      out.push_back(static_cast<char16_t>(c));
    }
  }
  return out;
}

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

  NativeHandle Claim(const std::u16string& path, OpenFailure* failure) override {
    const int fd = ::open(text::Utf16ToUtf8(path).c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0) {
      const int code = errno;
      Fill(failure, code, ErrnoText(code));
      return kInvalidHandle;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      const int code = errno;
      ::close(fd);
      Fill(failure, code, ErrnoText(code));
      return kInvalidHandle;
    }
    return static_cast<NativeHandle>(fd);
  }

  void ReleaseClaim(NativeHandle claim) override {
    if (claim != kInvalidHandle) ::close(static_cast<int>(claim));  // drops the lock
  }

  NativeHandle Open(const std::u16string& path, Direction direction,
                    OpenFailure* failure) override {
    (void)direction;  // hidraw nodes are opened read-write; one handle per direction
    const std::string node = text::Utf16ToUtf8(path);
    hid_device* device = hid_open_path(node.c_str());
    if (device == nullptr) {
      const std::u16string detail = WideText(hid_error(nullptr));
      // errno after hid_open_path is not reliable: its error bookkeeping (formatting the text,
      // closing after a failed descriptor query) may have changed it. The node's own open
      // tells why it cannot be opened; when that succeeds, the failure came later (the report
      // descriptor) and has no errno kind.
      int code = 0;
      const int probe = ::open(node.c_str(), O_RDWR | O_CLOEXEC);
      if (probe < 0)
        code = errno;
      else
        ::close(probe);
      Fill(failure, code, detail.empty() && code != 0 ? ErrnoText(code) : detail);
      return kInvalidHandle;
    }
    std::lock_guard lock(m_mutex);
    m_handles[reinterpret_cast<NativeHandle>(device)] = HandleState{};
    return reinterpret_cast<NativeHandle>(device);
  }

  bool Issue(Direction direction, NativeHandle handle, std::uint8_t* report,
             NativeHandle event) override {
    if (handle == kInvalidHandle) return false;
    {
      std::lock_guard lock(m_mutex);
      const auto it = m_handles.find(handle);
      if (it == m_handles.end() || it->second.closing) return false;
      ++it->second.pending;
      it->second.cancelled = false;
      it->second.count = 0;
    }
    auto* device = reinterpret_cast<hid_device*>(handle);
    int moved = -1;
    if (direction == Direction::kWrite) {
      moved = hid_write(device, report, kReportSize);
    } else {
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kTransferBoundMs);
      while (!Cancelled(handle) && std::chrono::steady_clock::now() < deadline) {
        const int got = hid_read_timeout(device, report + 1, kReportSize - 1, kReadSliceMs);
        if (got == 0) continue;  // nothing yet
        moved = got > 0 ? got + 1 : -1;
        break;
      }
      report[0] = 0;
    }
    const bool whole = moved == static_cast<int>(kReportSize);
    End(handle, whole ? kReportSize : 0);
    if (whole) SetEvent(event);
    return whole;
  }

  std::uint32_t BytesMoved(Direction direction, NativeHandle handle) override {
    (void)direction;
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(handle);
    return it == m_handles.end() ? 0 : it->second.count;
  }

  void CancelIo(NativeHandle handle) override {
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(handle);
    if (it != m_handles.end() && it->second.pending > 0) it->second.cancelled = true;
  }

  void Close(NativeHandle handle) override {
    if (handle == kInvalidHandle) return;
    std::unique_lock lock(m_mutex);
    const auto it = m_handles.find(handle);
    if (it != m_handles.end()) {
      HandleState& state = it->second;
      state.closing = true;
      state.cancelled = true;
      if (!m_idle.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                           [&] { return state.pending == 0; })) {
        state.orphaned = true;  // a write still in hidapi: it closes the handle when it ends
        return;
      }
      m_handles.erase(it);
    }
    lock.unlock();
    hid_close(reinterpret_cast<hid_device*>(handle));
  }

 private:
  static constexpr int kReadSliceMs = 50;

  struct HandleState {
    std::uint32_t count = 0;  // bytes the last transfer moved; 0 when it failed
    int pending = 0;          // transfers on the handle that have not ended
    bool cancelled = false;   // CancelIo: the read in progress gives up
    bool closing = false;     // Close has begun: no new transfer
    bool orphaned = false;    // Close gave up waiting: the transfer that ends closes it
  };

  bool Cancelled(NativeHandle handle) {
    std::lock_guard lock(m_mutex);
    return m_handles.at(handle).cancelled;
  }

  void End(NativeHandle handle, std::uint32_t count) {
    bool close = false;
    {
      std::lock_guard lock(m_mutex);
      const auto it = m_handles.find(handle);
      it->second.count = count;
      if (--it->second.pending == 0 && it->second.orphaned) {
        m_handles.erase(it);
        close = true;
      }
    }
    m_idle.notify_all();
    if (close) hid_close(reinterpret_cast<hid_device*>(handle));
  }

  std::mutex m_mutex;
  std::condition_variable m_idle;
  std::map<std::u16string, std::pair<std::uint16_t, std::uint16_t>> m_attributes;
  std::map<NativeHandle, HandleState> m_handles;
};

}  // namespace

// Never destroyed: g_hidCmd, built before it, still uses it while static objects are destroyed
// at exit (it closes its events and handles through it).
HidBackend& PlatformHidBackend() {
  static HidapiBackend* const backend = new HidapiBackend();
  return *backend;
}

}  // namespace vqr::hid
