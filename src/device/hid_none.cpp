#include "device/hid_none.h"

#include "device/portable_events.h"

namespace vqr::hid {

namespace {

class EmptyList final : public InterfaceList {
 public:
  PathResult Path(std::uint32_t, std::u16string*) override { return PathResult::kNoMore; }
};

// No interface is present, nothing can be opened, every transfer fails at once.
class NoDeviceBackend final : public PortableEventBackend {
 public:
  std::unique_ptr<InterfaceList> ListInterfaces() override { return std::make_unique<EmptyList>(); }
  bool Probe(const std::u16string&, std::uint16_t*, std::uint16_t*) override { return false; }
  NativeHandle Claim(const std::u16string&, OpenFailure* failure) override {
    if (failure != nullptr) *failure = OpenFailure{OpenError::kGone, 0, {}, {}};
    return kInvalidHandle;
  }
  void ReleaseClaim(NativeHandle) override {}
  NativeHandle Open(const std::u16string&, Direction, OpenFailure* failure) override {
    if (failure != nullptr) *failure = OpenFailure{OpenError::kGone, 0, {}, {}};
    return kInvalidHandle;
  }
  bool Issue(Direction, NativeHandle, std::uint8_t*, NativeHandle) override { return false; }
  std::uint32_t BytesMoved(Direction, NativeHandle) override { return 0; }
  void CancelIo(NativeHandle) override {}
  void Close(NativeHandle) override {}
};

}  // namespace

HidBackend& NoDeviceHidBackend() {
  static NoDeviceBackend backend;
  return backend;
}

}  // namespace vqr::hid
