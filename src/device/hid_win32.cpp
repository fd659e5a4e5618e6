// The Win32 HID backend: SetupDi enumeration of the HID device-interface class, HidD
// attributes for the probe, and overlapped ReadFile/WriteFile on handles opened with
// FILE_FLAG_OVERLAPPED, so that a transfer the device never completes can be bounded and
// cancelled instead of blocking its worker forever.
//
// A transfer is over when its completion has been fetched (GetOverlappedResult): the event
// firing says only that it ended, not that it succeeded. After an unplug, for example, the
// write is accepted as pending, its event fires at once and the completion carries
// ERROR_ACCESS_DENIED; such a report was not sent.
//
// The read handle's input report queue is raised to the 512 reports hidclass allows (32 by
// default): a 16-page read asks the device for 64 reports back to back, and a queue smaller
// than that loses reports while the worker is between two reads. When the queue cannot be
// raised, the handle's OpenNote says so.
//
// The claim is a named mutex per interface path, "Global\VQR03.hid." followed by a hash of the
// path in lower case (device paths are case-insensitive and hold backslashes, which a name may
// not). Only its existence counts, not its ownership: the claim creates it and fails when it
// exists already, and the object goes when its last handle is closed, on any thread and also
// when the process dies. The Global\ namespace is the one all sessions share: the device is
// one for the whole machine, and an updater in another user's session (fast user switching,
// a remote desktop) must see the claim too; the Local\ namespace is per session. Creating a
// mutex there needs no privilege. A mutex that another user created may not be opened by this
// one (ERROR_ACCESS_DENIED): that is a claim too.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// clang-format off
#include <setupapi.h>
// clang-format on

// mingw-w64's hidsdi.h declares C functions without extern "C" guards; it includes hidpi.h
// (HidP_GetCaps) after the usage types that header needs.
extern "C" {
#include <hidsdi.h>
}

// <windows.h> maps these names to their W/A variants, and they are member names of the seam.
#undef CreateEvent

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cwchar>
#include <cwctype>
#include <map>
#include <mutex>
#include <string>

#include "device/hid_backend.h"

namespace vqr::hid {

OpenError OpenErrorFromCode(std::int64_t code) {
  switch (code) {
    case ERROR_ACCESS_DENIED:
      return OpenError::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_ALREADY_EXISTS:  // the claim of another updater
      return OpenError::kBusy;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_DEVICE_NOT_CONNECTED:
      return OpenError::kGone;
    default:
      return OpenError::kOther;
  }
}

namespace {

// The system's text for an error number, without its line break.
std::u16string SystemText(DWORD code) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::u16string text;
  if (length != 0 && buffer != nullptr) text.assign(buffer, buffer + length);
  if (buffer != nullptr) LocalFree(buffer);
  while (!text.empty() && (text.back() == u'\n' || text.back() == u'\r' || text.back() == u' '))
    text.pop_back();
  return text;
}

void Fill(OpenFailure* failure, DWORD code, OpenError kind) {
  if (failure == nullptr) return;
  *failure = OpenFailure{kind, static_cast<std::int64_t>(code), SystemText(code), {}};
}

void Fill(OpenFailure* failure, DWORD code) {
  Fill(failure, code, OpenErrorFromCode(code));
}

std::u16string Ascii(const std::string& text) {
  return std::u16string(text.begin(), text.end());
}

// " (error N: the system's text)", for a note.
std::u16string ErrorSuffix(DWORD code) {
  std::u16string suffix = Ascii(" (error " + std::to_string(code));
  const std::u16string text = SystemText(code);
  if (!text.empty()) suffix += u": " + text;
  return suffix + u")";
}

// The name of the claim's mutex for an interface path: the path in lower case, hashed with
// 64-bit FNV-1a over its UTF-16 units.
std::wstring ClaimName(const std::u16string& path) {
  std::uint64_t hash = 0xcbf29ce484222325ull;
  for (const char16_t unit : path) {
    const auto lower = static_cast<char16_t>(towlower(static_cast<wint_t>(unit)));
    hash = (hash ^ lower) * 0x100000001b3ull;
  }
  wchar_t name[64];
  swprintf(name, 64, L"Global\\VQR03.hid.%016llx", static_cast<unsigned long long>(hash));
  return name;
}

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Win32 paths are UTF-16");

std::wstring ToWide(const std::u16string& text) {
  return std::wstring(text.begin(), text.end());
}

HANDLE ToHandle(NativeHandle handle) {
  return reinterpret_cast<HANDLE>(handle);
}

NativeHandle FromHandle(HANDLE handle) {
  return reinterpret_cast<NativeHandle>(handle);
}

// The present interfaces of the HID class. SetupAPI keeps the snapshot in the device
// information set, so the order stays fixed until the set is destroyed.
class SetupDiList final : public InterfaceList {
 public:
  SetupDiList(HDEVINFO info, const GUID& hidClass) : m_info(info), m_class(hidClass) {}
  ~SetupDiList() override { SetupDiDestroyDeviceInfoList(m_info); }
  SetupDiList(const SetupDiList&) = delete;
  SetupDiList& operator=(const SetupDiList&) = delete;

  PathResult Path(std::uint32_t index, std::u16string* path) override {
    SP_DEVICE_INTERFACE_DATA item{};
    item.cbSize = sizeof item;
    if (!SetupDiEnumDeviceInterfaces(m_info, nullptr, &m_class, index, &item))
      return PathResult::kNoMore;

    // First call: no buffer, learns the size of the detail record.
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(m_info, &item, nullptr, 0, &required, nullptr);
    if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) return PathResult::kFetchFailed;

    auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(std::malloc(required));
    if (detail == nullptr) return PathResult::kAllocFailed;
    // cbSize is the size of the record's fixed part as this build's SetupAPI expects it:
    // 6 on 32-bit Windows (a DWORD and one packed WCHAR) but 8 on x64, where the record is
    // 8-byte aligned. A hard-coded 6 makes the x64 call fail with ERROR_INVALID_USER_BUFFER.
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    const BOOL fetched =
        SetupDiGetDeviceInterfaceDetailW(m_info, &item, detail, required, nullptr, nullptr);
    if (fetched) {
      // The whole path, however long: a path cut to a fixed buffer would name another
      // interface or none.
      const wchar_t* at = detail->DevicePath;
      path->assign(at, at + wcslen(at));
    }
    std::free(detail);
    return fetched ? PathResult::kOk : PathResult::kFetchFailed;
  }

 private:
  HDEVINFO m_info;
  GUID m_class;
};

class Win32HidBackend final : public HidBackend {
 public:
  std::unique_ptr<InterfaceList> ListInterfaces() override {
    GUID hidClass;
    HidD_GetHidGuid(&hidClass);
    HDEVINFO info =
        SetupDiGetClassDevsW(&hidClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (info == INVALID_HANDLE_VALUE) return nullptr;
    return std::make_unique<SetupDiList>(info, hidClass);
  }

  bool Probe(const std::u16string& path, std::uint16_t* vendor, std::uint16_t* product) override {
    // No access rights: the attributes can be read even while another program holds the
    // interface open, and the interface is not taken over.
    HANDLE probe = CreateFileW(ToWide(path).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (probe == INVALID_HANDLE_VALUE) return false;
    HIDD_ATTRIBUTES attributes{};
    attributes.Size = sizeof attributes;
    const BOOLEAN read = HidD_GetAttributes(probe, &attributes);
    CloseHandle(probe);
    if (!read) return false;
    *vendor = attributes.VendorID;
    *product = attributes.ProductID;
    return true;
  }

  NativeHandle Claim(const std::u16string& path, OpenFailure* failure) override {
    const std::wstring name = ClaimName(path);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    const DWORD code = GetLastError();
    if (mutex == nullptr) {
      // A mutex of another user's updater cannot be opened by this user: held all the same.
      Fill(failure, code, code == ERROR_ACCESS_DENIED ? OpenError::kBusy : OpenErrorFromCode(code));
      return kInvalidHandle;
    }
    if (code == ERROR_ALREADY_EXISTS) {
      CloseHandle(mutex);
      Fill(failure, code);
      return kInvalidHandle;
    }
    return FromHandle(mutex);
  }

  void ReleaseClaim(NativeHandle claim) override {
    if (claim != kInvalidHandle) CloseHandle(ToHandle(claim));
  }

  NativeHandle Open(const std::u16string& path, Direction direction,
                    OpenFailure* failure) override {
    const bool read = direction == Direction::kRead;
    HANDLE device = CreateFileW(ToWide(path).c_str(), read ? GENERIC_READ : GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
      Fill(failure, GetLastError());
      return kInvalidHandle;
    }
    // A collection whose reports in this direction are not 65 bytes long fails every transfer
    // (hidclass refuses a buffer of another size): it is not the device. A handle without HID
    // preparsed data tells nothing about its report sizes and is judged by its transfers.
    USHORT length = 0;
    if (ReportLength(device, direction, &length) && length != kReportSize) {
      CloseHandle(device);
      if (failure != nullptr) {
        *failure = OpenFailure{
            OpenError::kOther,
            0,
            Ascii(std::string(read ? "input" : "output") + " reports of " + std::to_string(length) +
                  " bytes, not " + std::to_string(kReportSize)),
            {}};
      }
      return kInvalidHandle;
    }
    std::u16string note;
    if (read) note = RaiseInputQueue(device);
    const NativeHandle handle = FromHandle(device);
    std::lock_guard lock(m_mutex);
    m_handles[handle].note = std::move(note);
    return handle;
  }

  std::u16string OpenNote(NativeHandle device) override {
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(device);
    return it == m_handles.end() ? std::u16string() : it->second.note;
  }

  NativeHandle CreateEvent() override {
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event == nullptr ? kNoEvent : FromHandle(event);
  }
  void SetEvent(NativeHandle event) override { ::SetEvent(ToHandle(event)); }
  void ResetEvent(NativeHandle event) override { ::ResetEvent(ToHandle(event)); }
  void CloseEvent(NativeHandle event) override { CloseHandle(ToHandle(event)); }

  WaitResult WaitAny(NativeHandle event0, NativeHandle event1, std::uint32_t ms) override {
    if (event0 == kNoEvent || event1 == kNoEvent) return WaitResult::kFailed;
    const HANDLE events[2] = {ToHandle(event0), ToHandle(event1)};
    switch (WaitForMultipleObjects(2, events, FALSE, ms)) {
      case WAIT_OBJECT_0:
        return WaitResult::kIndex0;
      case WAIT_OBJECT_0 + 1:
        return WaitResult::kIndex1;
      case WAIT_TIMEOUT:
        return WaitResult::kTimeout;
      default:
        return WaitResult::kFailed;
    }
  }

  bool Issue(Direction direction, NativeHandle device, std::uint8_t* report,
             NativeHandle event) override {
    // Without an event the end of the transfer cannot be observed; such a report is not
    // sent at all rather than sent with an outcome nobody can learn.
    if (device == kInvalidHandle || event == kNoEvent) return false;
    Slot* slot = Begin(device, direction);
    if (slot == nullptr) return false;  // being closed, or not a handle of Open
    OVERLAPPED* overlapped = &slot->overlapped;
    *overlapped = OVERLAPPED{};
    overlapped->hEvent = ToHandle(event);

    const HANDLE file = ToHandle(device);
    const BOOL done = direction == Direction::kRead
                          ? ReadFile(file, report, kReportSize, nullptr, overlapped)
                          : WriteFile(file, report, kReportSize, nullptr, overlapped);
    DWORD moved = 0;
    bool completed = false;
    if (done) {
      // Completed at once: the completion status is in the record already.
      completed = GetOverlappedResult(file, overlapped, &moved, FALSE) != FALSE;
    } else if (GetLastError() == ERROR_IO_PENDING) {
      if (WaitForSingleObject(overlapped->hEvent, kTransferBoundMs) == WAIT_OBJECT_0) {
        // The event says the transfer ended; its completion says whether it succeeded
        // (ERROR_OPERATION_ABORTED when cancelled, ERROR_ACCESS_DENIED or
        // ERROR_DEVICE_NOT_CONNECTED once the device is gone).
        completed = GetOverlappedResult(file, overlapped, &moved, FALSE) != FALSE;
        if (!completed && GetLastError() == ERROR_IO_INCOMPLETE) Settle(file, overlapped);
      } else {
        // Still outstanding after the bound (or the wait broke).
        Settle(file, overlapped);
      }
    }
    const bool whole = completed && moved == kReportSize;
    if (whole)
      ::SetEvent(overlapped->hEvent);  // a completion at once may not have set it
    else
      ::ResetEvent(overlapped->hEvent);
    End(device, direction, whole ? kReportSize : 0);
    return whole;
  }

  std::uint32_t BytesMoved(Direction direction, NativeHandle device) override {
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(device);
    return it == m_handles.end() ? 0 : it->second.slots[Index(direction)].moved;
  }

  // CancelIo would cancel only what the calling thread issued; the release at exit cancels
  // the transfers of a worker.
  void CancelIo(NativeHandle device) override {
    if (device != kInvalidHandle) CancelIoEx(ToHandle(device), nullptr);
  }

  void Close(NativeHandle device) override {
    if (device == kInvalidHandle) return;
    std::unique_lock lock(m_mutex);
    const auto it = m_handles.find(device);
    if (it != m_handles.end()) {
      HandleState& handle = it->second;
      handle.closing = true;
      // Cancel again on every round: a transfer may have been issued just after the caller's
      // CancelIo. The records stay until no transfer uses them any more.
      const auto deadline =
          std::chrono::steady_clock::now() + std::chrono::milliseconds(kCloseWaitMs);
      while (handle.pending > 0 && std::chrono::steady_clock::now() < deadline) {
        CancelIoEx(ToHandle(device), nullptr);
        m_idle.wait_for(lock, std::chrono::milliseconds(20));
      }
      if (handle.pending > 0) {
        // The platform has not ended the transfer: closing now would let it complete into
        // released records, so the transfer that ends last releases the handle (End).
        handle.orphaned = true;
        return;
      }
      m_handles.erase(it);
    }
    lock.unlock();
    CloseHandle(ToHandle(device));
  }

 private:
  // The overlapped record of the transfer issued on one handle in one direction, and the
  // count of the last one that ended. The record must outlive the transfer.
  struct Slot {
    OVERLAPPED overlapped{};
    std::uint32_t moved = 0;
  };
  struct HandleState {
    Slot slots[2];          // read, write
    int pending = 0;        // transfers issued on the handle that have not ended
    bool closing = false;   // Close has begun: no new transfer
    bool orphaned = false;  // Close gave up waiting: the last transfer to end closes it
    std::u16string note;
  };

  static int Index(Direction direction) { return direction == Direction::kRead ? 0 : 1; }

  // Counts a transfer on `device` as outstanding and gives its slot, or null when the handle
  // is being closed or was not opened here. std::map nodes do not move, and a handle's entry is
  // erased only when no transfer is outstanding on it, so the slot stays valid until End.
  Slot* Begin(NativeHandle device, Direction direction) {
    std::lock_guard lock(m_mutex);
    const auto it = m_handles.find(device);
    if (it == m_handles.end() || it->second.closing) return nullptr;
    HandleState& handle = it->second;
    ++handle.pending;
    Slot* slot = &handle.slots[Index(direction)];
    slot->moved = 0;
    return slot;
  }

  void End(NativeHandle device, Direction direction, std::uint32_t moved) {
    bool close = false;
    {
      std::lock_guard lock(m_mutex);
      const auto it = m_handles.find(device);
      HandleState& handle = it->second;
      handle.slots[Index(direction)].moved = moved;
      if (--handle.pending == 0 && handle.orphaned) {
        m_handles.erase(it);
        close = true;
      }
    }
    m_idle.notify_all();
    if (close) CloseHandle(ToHandle(device));
  }

  // Ends a transfer that is still outstanding: cancels it and waits until the cancellation
  // (or a completion that came first) has taken effect, so the platform no longer writes
  // into the report or the overlapped record once Issue has returned.
  static void Settle(HANDLE file, OVERLAPPED* overlapped) {
    CancelIoEx(file, overlapped);
    DWORD ignored = 0;
    GetOverlappedResult(file, overlapped, &ignored, TRUE);
  }

  // The length of the direction's reports, from the collection's capabilities. False when
  // the handle has no HID preparsed data.
  static bool ReportLength(HANDLE device, Direction direction, USHORT* length) {
    PHIDP_PREPARSED_DATA preparsed = nullptr;
    if (!HidD_GetPreparsedData(device, &preparsed)) return false;
    HIDP_CAPS caps{};
    const bool read = HidP_GetCaps(preparsed, &caps) == HIDP_STATUS_SUCCESS;
    HidD_FreePreparsedData(preparsed);
    if (!read) return false;
    *length =
        direction == Direction::kRead ? caps.InputReportByteLength : caps.OutputReportByteLength;
    return true;
  }

  // Raises the handle's input report queue to the most hidclass allows. The note when it
  // could not be raised, else empty.
  static std::u16string RaiseInputQueue(HANDLE device) {
    constexpr ULONG kInputReports = 512;
    if (HidD_SetNumInputBuffers(device, kInputReports)) return {};
    const DWORD code = GetLastError();
    ULONG now = 0;
    std::string queue =
        "input report queue not raised to " + std::to_string(kInputReports) + " reports";
    if (HidD_GetNumInputBuffers(device, &now))
      queue = "input report queue holds " + std::to_string(now) + " reports, not " +
              std::to_string(kInputReports);
    return Ascii(queue) + ErrorSuffix(code) + u"; input reports may be lost during long reads";
  }

  std::mutex m_mutex;
  std::condition_variable m_idle;
  std::map<NativeHandle, HandleState> m_handles;
};

}  // namespace

// Never destroyed: g_hidCmd, built before it, still uses it while static objects are destroyed
// at exit (it closes its events and handles through it).
HidBackend& PlatformHidBackend() {
  static Win32HidBackend* const backend = new Win32HidBackend();
  return *backend;
}

}  // namespace vqr::hid
