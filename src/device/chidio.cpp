#include "device/chidio.h"

#include "device/hid_none.h"
#include "text/text_format.h"

namespace vqr {

using hid::Direction;
using hid::kInvalidHandle;
using hid::NativeHandle;

CHidIO::CHidIO() : CHidIO(hid::NoDeviceHidBackend()) {}

CHidIO::CHidIO(hid::HidBackend& backend) : m_backend(&backend) {
  CreateEvents();
}

CHidIO::~CHidIO() {
  ReleaseAll();
}

void CHidIO::CreateEvents() {
  m_hReadEvent = m_backend->CreateEvent();
  m_hWriteEvent = m_backend->CreateEvent();
  m_hCancelEvent = m_backend->CreateEvent();
}

void CHidIO::ReleaseAll() {
  const NativeHandle read = m_hRead.load();
  const NativeHandle write = m_hWrite.load();
  if (read != kInvalidHandle) m_backend->CancelIo(read);
  if (write != kInvalidHandle) m_backend->CancelIo(write);
  if (read != kInvalidHandle) m_backend->Close(read);
  m_hRead.store(kInvalidHandle);
  if (write != kInvalidHandle) m_backend->Close(write);
  m_hWrite.store(kInvalidHandle);
  if (m_claim != kInvalidHandle) m_backend->ReleaseClaim(m_claim);
  m_claim = kInvalidHandle;
  {
    std::lock_guard lock(m_retiredMutex);
    for (NativeHandle handle : m_retired) m_backend->Close(handle);
    m_retired.clear();
  }
  if (m_hWriteEvent != hid::kNoEvent) m_backend->CloseEvent(m_hWriteEvent);
  if (m_hReadEvent != hid::kNoEvent) m_backend->CloseEvent(m_hReadEvent);
  if (m_hCancelEvent != hid::kNoEvent) m_backend->CloseEvent(m_hCancelEvent);
  m_hWriteEvent = m_hReadEvent = m_hCancelEvent = hid::kNoEvent;
}

void CHidIO::UseBackend(hid::HidBackend& backend) {
  ReleaseAll();
  m_lastFailure = {};
  m_backend = &backend;
  CreateEvents();
}

std::size_t CHidIO::RetiredHandleCount() {
  std::lock_guard lock(m_retiredMutex);
  return m_retired.size();
}

// Closes the handles that a search dropped, once no transfer can still be using them. A
// transfer counts itself in flight before it reads a handle member, and a search swaps the
// members before it retires the old values, so a retired handle can only be in use by a
// transfer that is counted.
void CHidIO::CloseRetiredIfIdle() {
  std::lock_guard lock(m_retiredMutex);
  if (m_inFlight.load() != 0) return;
  for (NativeHandle handle : m_retired) m_backend->Close(handle);
  m_retired.clear();
}

std::uint32_t CHidIO::OpenDevice() {
  const NativeHandle oldRead = m_hRead.exchange(kInvalidHandle);
  const NativeHandle oldWrite = m_hWrite.exchange(kInvalidHandle);
  if (oldRead != kInvalidHandle || oldWrite != kInvalidHandle) {
    {
      std::lock_guard lock(m_retiredMutex);
      if (oldRead != kInvalidHandle) m_retired.push_back(oldRead);
      if (oldWrite != kInvalidHandle) m_retired.push_back(oldWrite);
    }
    CloseRetiredIfIdle();
  }
  // The claim guards the device against other programs only; no transfer uses it, so it goes
  // at once.
  if (m_claim != kInvalidHandle) m_backend->ReleaseClaim(m_claim);
  m_claim = kInvalidHandle;
  m_lastFailure = {};
  m_openedPath.clear();
  m_openNotes.clear();

  std::unique_ptr<hid::InterfaceList> list = m_backend->ListInterfaces();
  if (!list) return 0;

  std::uint32_t product = 0;
  std::u16string path;
  for (std::uint32_t index = 0;; ++index) {
    const hid::PathResult found = list->Path(index, &path);
    if (found == hid::PathResult::kNoMore) break;
    if (found == hid::PathResult::kAllocFailed) return 0;  // the list is destroyed on return
    if (found == hid::PathResult::kFetchFailed) continue;
    if (m_pathFilter && !m_pathFilter(path)) continue;

    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    if (!m_backend->Probe(path, &vendorId, &productId)) continue;
    if (!MatchesDevice(vendorId, productId)) continue;

    hid::OpenFailure failure;
    if (!TakeInterface(path, &failure)) {
      if (failure.kind == hid::OpenError::kNone) failure.kind = hid::OpenError::kOther;
      // Not found; the first reason is the one the user hears of.
      if (m_lastFailure.kind == hid::OpenError::kNone) {
        m_lastFailure = std::move(failure);
        m_lastFailure.path = path;
      }
      continue;
    }
    m_lastFailure = {};
    m_openedPath = path;
    for (const NativeHandle handle : {m_hRead.load(), m_hWrite.load()}) {
      std::u16string note = m_backend->OpenNote(handle);
      if (!note.empty()) m_openNotes.push_back(std::move(note));
    }
    TraceOpenNotes();
    product = productId;
    break;
  }
  return product;
}

std::vector<CHidIO::FoundInterface> CHidIO::MatchingInterfaces(bool tryOpen) {
  std::vector<FoundInterface> found;
  std::unique_ptr<hid::InterfaceList> list = m_backend->ListInterfaces();
  if (!list) return found;
  std::u16string path;
  for (std::uint32_t index = 0;; ++index) {
    const hid::PathResult result = list->Path(index, &path);
    if (result == hid::PathResult::kNoMore || result == hid::PathResult::kAllocFailed) break;
    if (result == hid::PathResult::kFetchFailed) continue;
    if (m_pathFilter && !m_pathFilter(path)) continue;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    if (!m_backend->Probe(path, &vendorId, &productId)) continue;
    if (!MatchesDevice(vendorId, productId)) continue;
    FoundInterface entry;
    entry.path = path;
    entry.product = productId;
    NativeHandle claim = kInvalidHandle;
    NativeHandle read = kInvalidHandle;
    NativeHandle write = kInvalidHandle;
    if (tryOpen) {
      if (ClaimAndOpen(path, &entry.failure, &claim, &read, &write)) {
        m_backend->Close(write);
        m_backend->Close(read);
        m_backend->ReleaseClaim(claim);
        entry.failure = {};
      } else {
        if (entry.failure.kind == hid::OpenError::kNone)
          entry.failure.kind = hid::OpenError::kOther;
        entry.failure.path = path;
      }
    }
    found.push_back(std::move(entry));
  }
  return found;
}

bool CHidIO::ClaimAndOpen(const std::u16string& path, hid::OpenFailure* failure,
                          NativeHandle* claim, NativeHandle* read, NativeHandle* write) {
  *claim = m_backend->Claim(path, failure);
  if (*claim == kInvalidHandle) return false;
  *read = m_backend->Open(path, Direction::kRead, failure);
  *write =
      *read == kInvalidHandle ? kInvalidHandle : m_backend->Open(path, Direction::kWrite, failure);
  if (*read == kInvalidHandle || *write == kInvalidHandle) {
    if (*read != kInvalidHandle) m_backend->Close(*read);
    m_backend->ReleaseClaim(*claim);
    *claim = *read = *write = kInvalidHandle;
    return false;
  }
  return true;
}

bool CHidIO::TakeInterface(const std::u16string& path, hid::OpenFailure* failure) {
  NativeHandle claim = kInvalidHandle;
  NativeHandle read = kInvalidHandle;
  NativeHandle write = kInvalidHandle;
  if (!ClaimAndOpen(path, failure, &claim, &read, &write)) return false;
  m_claim = claim;
  m_hRead.store(read);
  m_hWrite.store(write);
  return true;
}

bool CHidIO::StartTrace(const std::string& path) {
  if (!m_trace.Start(path)) return false;
  TraceOpenNotes();
  return true;
}

void CHidIO::TraceOpenNotes() {
  for (const std::u16string& note : m_openNotes)
    m_trace.Note(text::Utf16ToUtf8(m_openedPath) + ": " + text::Utf16ToUtf8(note));
}

int CHidIO::ReadReport(std::uint8_t* report, std::uint32_t* bytesTransferred) {
  return Transfer(Direction::kRead, report, bytesTransferred);
}

int CHidIO::WriteReport(const std::uint8_t* report, std::uint32_t* bytesTransferred) {
  // A write only reads the report; the backend's issue takes one pointer for both directions.
  return Transfer(Direction::kWrite, const_cast<std::uint8_t*>(report), bytesTransferred);
}

int CHidIO::Transfer(Direction direction, std::uint8_t* report, std::uint32_t* bytesTransferred) {
  if (bytesTransferred != nullptr) *bytesTransferred = 0;

  m_inFlight.fetch_add(1);
  const bool read = direction == Direction::kRead;
  const NativeHandle device = read ? m_hRead.load() : m_hWrite.load();
  const NativeHandle event = read ? m_hReadEvent : m_hWriteEvent;

  int result = 0;
  if (device != kInvalidHandle && m_backend->Issue(direction, device, report, event)) {
    switch (m_backend->WaitAny(m_hCancelEvent, event, hid::kCompletionWaitMs)) {
      case hid::WaitResult::kIndex0:
        m_backend->ResetEvent(m_hCancelEvent);
        break;
      case hid::WaitResult::kIndex1: {
        m_backend->ResetEvent(event);
        // Only a whole report counts: a piece of one (or more than one) is not a report the
        // device sent or received, whatever the backend made of it.
        if (m_backend->BytesMoved(direction, device) != hid::kReportSize) break;
        if (bytesTransferred != nullptr) *bytesTransferred = hid::kReportSize;
        m_trace.Record(!read, report);
        result = 1;
        break;
      }
      case hid::WaitResult::kTimeout:
      case hid::WaitResult::kFailed:
        break;
    }
  }

  if (m_inFlight.fetch_sub(1) == 1) {
    bool anyRetired;
    {
      std::lock_guard lock(m_retiredMutex);
      anyRetired = !m_retired.empty();
    }
    if (anyRetired) CloseRetiredIfIdle();
  }
  return result;
}

}  // namespace vqr
