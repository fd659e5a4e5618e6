#include "device/portable_events.h"

#include <chrono>

namespace vqr::hid {

namespace {
struct EventObject {
  bool signalled = false;
};
EventObject* AsEvent(NativeHandle handle) {
  return reinterpret_cast<EventObject*>(handle);
}
}  // namespace

NativeHandle PortableEvents::Create() {
  return reinterpret_cast<NativeHandle>(new EventObject);
}

void PortableEvents::Set(NativeHandle event) {
  if (event == kNoEvent) return;
  {
    std::lock_guard lock(m_mutex);
    AsEvent(event)->signalled = true;
  }
  m_changed.notify_all();
}

void PortableEvents::Reset(NativeHandle event) {
  if (event == kNoEvent) return;
  std::lock_guard lock(m_mutex);
  AsEvent(event)->signalled = false;
}

void PortableEvents::Close(NativeHandle event) {
  if (event == kNoEvent) return;
  std::lock_guard lock(m_mutex);
  delete AsEvent(event);
}

WaitResult PortableEvents::WaitAny(NativeHandle event0, NativeHandle event1, std::uint32_t ms) {
  if (event0 == kNoEvent || event1 == kNoEvent) return WaitResult::kFailed;
  std::unique_lock lock(m_mutex);
  EventObject* first = AsEvent(event0);
  EventObject* second = AsEvent(event1);
  const bool any = m_changed.wait_for(lock, std::chrono::milliseconds(ms),
                                      [&] { return first->signalled || second->signalled; });
  if (!any) return WaitResult::kTimeout;
  return first->signalled ? WaitResult::kIndex0 : WaitResult::kIndex1;
}

}  // namespace vqr::hid
