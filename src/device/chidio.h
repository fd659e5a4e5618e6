// CHidIO: finds the device among the present HID interfaces, opens it once per direction and
// moves single 65-byte reports. Platform work goes through the HID backend seam
// (hid_backend.h); the search, the match rule, the byte count and the result rules are here.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "device/hid_backend.h"
#include "device/wire_trace.h"

namespace vqr {

// The device sought: vendor 0x0416, products 0xF360 to 0xF36F (the version is not looked at).
inline constexpr std::uint16_t kDeviceVendor = 0x0416;
inline constexpr std::uint16_t kProductMask = 0xFFF0;
inline constexpr std::uint16_t kProductFamily = 0xF360;
constexpr bool MatchesDevice(std::uint16_t vendor, std::uint16_t product) {
  return vendor == kDeviceVendor && (product & kProductMask) == kProductFamily;
}

class CHidIO {
 public:
  // Starts over the backend that finds no device (see hid_none.h).
  CHidIO();
  explicit CHidIO(hid::HidBackend& backend);
  virtual ~CHidIO();
  CHidIO(const CHidIO&) = delete;
  CHidIO& operator=(const CHidIO&) = delete;

  // Searches the present HID interfaces in enumeration order and opens the first match that
  // can be opened: claimed for this program, then opened once for reading and once for
  // writing. Returns its product ID, or 0 when none was opened. A matching interface whose
  // claim or opens fail is not found (what was taken is given back) and the search goes on
  // with the next interface; LastOpenFailure() then says why. Starts with both handles not
  // open; handles of an earlier search are retired (see hid_backend.h) rather than closed
  // under a worker that may still use them, and its claim is released.
  std::uint32_t OpenDevice();

  // Why the last search found a matching interface but could not open it: the first such
  // failure of that search, or kind kNone when there was none (the device was opened, or no
  // interface matched). Read it on the thread that searches.
  const hid::OpenFailure& LastOpenFailure() const { return m_lastFailure; }

  // Restricts OpenDevice and MatchingInterfaces to the interfaces whose path `accepts`
  // (null: any matching interface). Set it on the thread that searches, before searching.
  using PathFilter = std::function<bool(const std::u16string& path)>;
  void SetPathFilter(PathFilter accepts) { m_pathFilter = std::move(accepts); }
  // The path of the interface the last search opened; empty when it opened none.
  const std::u16string& OpenedPath() const { return m_openedPath; }

  // A matching interface that is present, and whether it can be opened.
  struct FoundInterface {
    std::u16string path;
    std::uint16_t product = 0;
    hid::OpenFailure failure;  // kind kNone: it could be opened (or was not tried)
  };
  // The matching interfaces present, in enumeration order, within the path filter. With
  // `tryOpen`, each is claimed and opened in both directions and given back at once, as a
  // search would take it; `failure` then says why one cannot be. The handles of the device
  // this object holds are not touched (its own interface then counts as busy).
  std::vector<FoundInterface> MatchingInterfaces(bool tryOpen);

  // Move one 65-byte report. 1 on success with the byte count (report ID included, so always
  // 65) stored through bytesTransferred when it is not null; 0 on failure with the count left
  // at 0. A completion that moved other than 65 bytes is a failure, and is not traced.
  int ReadReport(std::uint8_t* report, std::uint32_t* bytesTransferred);
  int WriteReport(const std::uint8_t* report, std::uint32_t* bytesTransferred);

  // Switches to another backend (the simulated device for the demo and tests). Only while no
  // transfer is in flight; open handles are released first.
  void UseBackend(hid::HidBackend& backend);
  hid::HidBackend& Backend() const { return *m_backend; }

  bool IsReadOpen() const { return m_hRead.load() != hid::kInvalidHandle; }
  bool IsWriteOpen() const { return m_hWrite.load() != hid::kInvalidHandle; }
  // Number of handles dropped by a search and not yet closed.
  std::size_t RetiredHandleCount();

  // What the backend noted about the handles the last search opened (hid_backend.h,
  // OpenNote), read handle first; empty when it noted nothing or opened nothing. Read it on
  // the thread that searches.
  const std::vector<std::u16string>& OpenNotes() const { return m_openNotes; }

  // The wire trace: every report that moves is appended to `path` as one line. The notes of
  // the handles are written as lines "# <interface path>: <note>" when the search opens
  // them, and at the start of a trace for a device that is open already.
  bool StartTrace(const std::string& path);
  void StopTrace() { m_trace.Stop(); }

 private:
  int Transfer(hid::Direction direction, std::uint8_t* report, std::uint32_t* bytesTransferred);
  void CreateEvents();
  void ReleaseAll();
  void CloseRetiredIfIdle();
  // Claims and opens `path` in both directions into the handle members; on failure gives back
  // what it took and fills in *failure.
  bool TakeInterface(const std::u16string& path, hid::OpenFailure* failure);
  // The claim and both opens of `path`, or none of them (with *failure filled in).
  bool ClaimAndOpen(const std::u16string& path, hid::OpenFailure* failure, hid::NativeHandle* claim,
                    hid::NativeHandle* read, hid::NativeHandle* write);
  void TraceOpenNotes();

  hid::HidBackend* m_backend;
  std::atomic<hid::NativeHandle> m_hRead{hid::kInvalidHandle};
  std::atomic<hid::NativeHandle> m_hWrite{hid::kInvalidHandle};
  hid::NativeHandle m_hReadEvent = hid::kNoEvent;
  hid::NativeHandle m_hWriteEvent = hid::kNoEvent;
  hid::NativeHandle m_hCancelEvent = hid::kNoEvent;
  hid::NativeHandle m_claim = hid::kInvalidHandle;  // this program's hold on the open device
  hid::OpenFailure m_lastFailure;
  PathFilter m_pathFilter;
  std::u16string m_openedPath;
  std::vector<std::u16string> m_openNotes;

  std::atomic<int> m_inFlight{0};
  std::mutex m_retiredMutex;
  std::vector<hid::NativeHandle> m_retired;
  WireTrace m_trace;
};

}  // namespace vqr
