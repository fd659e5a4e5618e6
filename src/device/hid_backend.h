// The HID backend seam: the platform operations under CHidIO.
//
// CHidIO keeps the search (its order and match rule), the report shape and byte count, the
// result rules of a transfer and the order of release once, for every platform. A backend
// provides only the platform's primitives, each described below with what it returns and
// whether it blocks. Backends: Win32 (SetupDi + HidD + overlapped I/O), hidapi (Linux) and the
// simulated bootloader (tests and demo).
//
// Decisions this seam fixes for every backend:
//
// * Bound on a transfer that never completes. Issuing a transfer blocks until the transfer has
//   ended, as a synchronous platform call would, but never longer than kTransferBoundMs. A
//   transfer that is still outstanding then is cancelled and the issue reports failure, so a
//   device that never answers costs the worker at most kTransferBoundMs per report instead of
//   hanging it forever. 5 s is well above the slowest sector erase or 16-page write the
//   bootloader performs within one report's completion. After the issue returns, CHidIO waits
//   up to kCompletionWaitMs for the completion event, exactly as before.
//
// * Handles dropped by a new search. A search replaces the read and write handles. The old
//   ones may still be in use by a worker that is inside a transfer, so they are not closed at
//   once: CHidIO retires them and closes them as soon as no transfer is in flight (at the end
//   of the last such transfer, or at once when none is). Nothing leaks across plug/unplug
//   cycles and no transfer ever uses a handle that has been closed.
//
// * A matching interface that cannot be opened is not found. The search claims the device
//   for this program (Claim) and opens it once per direction; when any of the three fails,
//   whatever was taken is given back, the interface counts as not found, and the search goes
//   on with the next interface. The backend says why through OpenFailure, so that the user
//   can be told what is wrong (a missing udev rule, another program holding the device).
//
// * One program on one device at a time. Claim takes the device for this program alone until
//   ReleaseClaim: a second claim of the same interface, from this process or another one of
//   any user, fails with OpenError::kBusy. Linux: an advisory lock (flock) on a descriptor of
//   the hidraw node that the backend opens for the claim; Windows: a named mutex per interface
//   path in the Global\ namespace. The claim is not used by transfers, so a search releases
//   the claim of an earlier search at once, even while that search's handles are retired.
//
// * Interface paths are held whole in a std::u16string of any length. An interface path of
//   260 UTF-16 units or more is opened by its full path like any other; it is never cut short
//   (a cut path would name another interface, or none).
//
// * A transfer counts only when the platform says it completed and it moved a whole report.
//   Issue returns true only for a completion without error that moved exactly kReportSize
//   bytes; CHidIO applies the same count rule once more for every backend, so a short or long
//   completion is a failed transfer (result 0, count 0, not traced), never a report sent.
//
// * Notes on an open handle. An open can succeed with less than the program asked for (Win32:
//   the input report queue of the read handle could not be raised to its maximum, so reports
//   can be lost while a long read is under way). The backend says so through OpenNote; CHidIO
//   collects the notes of the handles it opened (CHidIO::OpenNotes) and writes each into the
//   wire trace as a line of its own, "# " followed by the interface path, ": " and the note.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace vqr::hid {

// A platform handle as an integer. All bits set means "not open", like the platform's
// invalid handle value; kNoEvent is what a failed event creation gives.
using NativeHandle = std::uintptr_t;
inline constexpr NativeHandle kInvalidHandle = ~NativeHandle{0};
inline constexpr NativeHandle kNoEvent = 0;

inline constexpr std::uint32_t kReportSize = 65;  // report ID byte + 64 data bytes
inline constexpr std::uint32_t kCompletionWaitMs = 100;
inline constexpr std::uint32_t kTransferBoundMs = 5000;
// How long Close waits for a transfer on the handle that another thread still has outstanding.
inline constexpr std::uint32_t kCloseWaitMs = 1000;

enum class Direction { kRead, kWrite };

// Outcome of a wait for the first of two events.
enum class WaitResult { kIndex0, kIndex1, kTimeout, kFailed };

// Outcome of fetching one interface's path from a list.
enum class PathResult {
  kOk,           // *path holds the interface path
  kNoMore,       // the index is past the last interface: the enumeration is over
  kFetchFailed,  // this interface's detail record could not be fetched: skip it
  kAllocFailed,  // no memory for the detail record: the search stops
};

// One snapshot of the present HID interfaces. The order stays fixed for the object's life.
// Destroying it releases the platform's list.
class InterfaceList {
 public:
  virtual ~InterfaceList() = default;
  // Non-blocking. Index 0, 1, 2, ... until kNoMore.
  virtual PathResult Path(std::uint32_t index, std::u16string* path) = 0;
};

// Why a claim or an open failed.
enum class OpenError {
  kNone,          // nothing failed
  kAccessDenied,  // the platform refused this user access (Linux EACCES, EPERM; Windows
                  // ERROR_ACCESS_DENIED)
  kBusy,          // another program holds the device (the claim of another updater; Linux
                  // EBUSY; Windows ERROR_SHARING_VIOLATION)
  kGone,          // the interface went away between the listing and the open
  kOther,         // anything else
};

// A failed claim or open: the kind, the platform's error number (errno on Linux, the
// GetLastError() value on Windows; 0 when there is none) and the platform's own text for it.
// CHidIO adds the interface path.
struct OpenFailure {
  OpenError kind = OpenError::kNone;
  std::int64_t code = 0;
  std::u16string detail;
  std::u16string path;
  bool operator==(const OpenFailure&) const = default;
};

// The kind of a platform error number of a failed open, as the platform's backend library
// defines it (errno values on Linux, GetLastError() values on Windows).
OpenError OpenErrorFromCode(std::int64_t code);

// Called when the backend learns that an interface went away (the simulated device's
// removal, a udev remove event). The path is the interface's path; vendor is its vendor ID.
using RemovalListener = void (*)(void* context, const std::u16string& path, std::uint16_t vendor);

class HidBackend {
 public:
  virtual ~HidBackend() = default;

  // Lists the present HID interfaces. Returns null when no list can be had. Non-blocking
  // apart from the platform's enumeration itself.
  virtual std::unique_ptr<InterfaceList> ListInterfaces() = 0;

  // Opens `path` with no access rights, reads its vendor and product IDs, and closes it
  // again, without taking the interface over. False when the path cannot be opened or its
  // attributes cannot be read.
  virtual bool Probe(const std::u16string& path, std::uint16_t* vendor, std::uint16_t* product) = 0;

  // Takes the interface at `path` for this program alone (see above). Returns a claim to give
  // back with ReleaseClaim, or kInvalidHandle with *failure filled in (when it is not null).
  // Non-blocking.
  virtual NativeHandle Claim(const std::u16string& path, OpenFailure* failure) = 0;
  // Gives a claim back; kInvalidHandle is ignored. Any thread may call it.
  virtual void ReleaseClaim(NativeHandle claim) = 0;

  // Opens `path` for one direction, sharing read and write. kInvalidHandle on failure, with
  // *failure filled in (when it is not null). An interface whose reports in that direction are
  // known not to be kReportSize bytes long is refused (kind kOther, the detail says the size):
  // every transfer on it would fail.
  virtual NativeHandle Open(const std::u16string& path, Direction direction,
                            OpenFailure* failure) = 0;

  // What the program should be able to tell about how `device` was opened, as one line of
  // text without a line break, or empty when there is nothing to tell: a setting the platform
  // did not grant. Non-blocking; valid from Open until Close.
  virtual std::u16string OpenNote(NativeHandle device) {
    (void)device;
    return {};
  }

  // Manual-reset events, created not signalled. CreateEvent gives kNoEvent on failure; a
  // wait involving kNoEvent fails.
  virtual NativeHandle CreateEvent() = 0;
  virtual void SetEvent(NativeHandle event) = 0;
  virtual void ResetEvent(NativeHandle event) = 0;
  virtual void CloseEvent(NativeHandle event) = 0;

  // Waits for the first of two events, at most `ms` milliseconds. Index 0 wins when both
  // are signalled.
  virtual WaitResult WaitAny(NativeHandle event0, NativeHandle event1, std::uint32_t ms) = 0;

  // Issues one transfer of exactly kReportSize bytes between `report` and `device` and
  // blocks until it has ended (at most kTransferBoundMs; see above). When it completes
  // successfully, `event` is signalled. Returns false when `device` is not open, when the
  // platform reports the call or its completion as failed (a vanished device, a cancelled
  // transfer), when the bound ran out, or when it moved other than kReportSize bytes; the
  // event is then not left signalled. For a read, report[0] receives the report ID (0 for
  // this device) whatever the platform does with it. One transfer per handle and direction
  // at a time.
  virtual bool Issue(Direction direction, NativeHandle device, std::uint8_t* report,
                     NativeHandle event) = 0;

  // The number of bytes the last transfer issued on `device` in `direction` moved, the
  // report ID byte included: 65 for a whole report, 0 when that transfer failed or none was
  // issued. Non-blocking: Issue has waited for the transfer's end.
  virtual std::uint32_t BytesMoved(Direction direction, NativeHandle device) = 0;

  // Cancels every transfer outstanding on `device`, whichever thread issued it (CHidIO's
  // release at exit runs on the main thread while a worker may be inside a transfer); each
  // such Issue returns false. Does not wait for the cancellation to take effect. A transfer
  // that the platform cannot interrupt once begun (a hidapi write, the simulated device) is
  // left to end by itself, at kTransferBoundMs at the latest, as any transfer does.
  virtual void CancelIo(NativeHandle device) = 0;
  // Releases a device handle. A transfer that another thread still has outstanding on it is
  // cancelled and waited for, at most kCloseWaitMs, before the handle and what the transfer
  // uses are released, so that its completion never lands in released memory; a transfer
  // that outlasts the wait releases the handle itself when it ends. Issue on a handle that is
  // being closed fails at once.
  virtual void Close(NativeHandle device) = 0;

  // Registers the one listener for removal notices (null to stop). Backends that learn of
  // removals by other means (Win32's WM_DEVICECHANGE reaches the window directly) may
  // never call it.
  virtual void SetRemovalListener(RemovalListener listener, void* context) {
    (void)listener;
    (void)context;
  }
};

// The platform's backend, defined by the backend library that the program links (Win32 or
// hidapi). Valid for the whole process.
HidBackend& PlatformHidBackend();

}  // namespace vqr::hid
