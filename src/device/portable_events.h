// Manual-reset events built on the standard library, for backends whose platform has no
// event objects of its own (hidapi, the simulated device). Handles are never kNoEvent.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

#include "device/hid_backend.h"

namespace vqr::hid {

class PortableEvents {
 public:
  NativeHandle Create();
  void Set(NativeHandle event);
  void Reset(NativeHandle event);
  void Close(NativeHandle event);
  // The first of two signalled events (index 0 wins), a timeout, or a failure when either
  // handle is kNoEvent.
  WaitResult WaitAny(NativeHandle event0, NativeHandle event1, std::uint32_t ms);

 private:
  std::mutex m_mutex;
  std::condition_variable m_changed;
};

// A backend whose events are PortableEvents: the five event operations of the seam, once.
class PortableEventBackend : public HidBackend {
 public:
  NativeHandle CreateEvent() override { return m_events.Create(); }
  void SetEvent(NativeHandle event) override { m_events.Set(event); }
  void ResetEvent(NativeHandle event) override { m_events.Reset(event); }
  void CloseEvent(NativeHandle event) override { m_events.Close(event); }
  WaitResult WaitAny(NativeHandle event0, NativeHandle event1, std::uint32_t ms) override {
    return m_events.WaitAny(event0, event1, ms);
  }

 private:
  PortableEvents m_events;
};

}  // namespace vqr::hid
