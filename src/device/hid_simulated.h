// The simulated HID backend: a list of HID interfaces, some of which do not match the device
// (other vendors, products 0xF35F and 0xF370), and behind the matching ones simulated
// bootloaders. Used by the tests and the demo; chosen at run time with CHidIO::UseBackend.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "device/hid_backend.h"
#include "device/portable_events.h"
#include "simulator/sim_bootloader.h"

namespace vqr::hid {

struct SimInterface {
  std::u16string path;
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  sim::SimBootloader* device = nullptr;  // what answers transfers; null: nothing does
  bool fetchFails = false;               // the detail record cannot be fetched
  bool allocFails = false;               // no memory for the detail record
  bool probeFails = false;               // cannot be opened for the probe
  bool openReadFails = false;
  bool openWriteFails = false;
  // The claim fails for this reason (kNone: it does not), as an interface that this user may
  // not open or that another program holds.
  OpenError claimFails = OpenError::kNone;
  std::u16string claimDetail{};  // the platform's text of that failure
};

// A HID interface path as Windows spells them, vendor digits at characters 12 to 15.
std::u16string SimInterfacePath(std::uint16_t vendor, std::uint16_t product, int instance);

class SimulatedHidBackend final : public PortableEventBackend {
 public:
  SimulatedHidBackend();
  ~SimulatedHidBackend() override;

  // The interfaces present, in enumeration order. Starts with four that do not match.
  void SetInterfaces(std::vector<SimInterface> interfaces);
  std::vector<SimInterface> Interfaces() const;
  // Plugs `device` in as vendor 0x0416 / `product`, after the decoys. Returns its path.
  std::u16string Plug(sim::SimBootloader* device, std::uint16_t product = 0xF360);
  // Removes the interface with `path` and raises a removal notice.
  void Unplug(const std::u16string& path);
  // Makes the interface list unavailable (ListInterfaces gives null).
  void SetListFails(bool fails);
  // The bound on one transfer (kTransferBoundMs unless a test shortens it).
  void SetTransferBound(std::chrono::milliseconds bound);

  // How often each path was probed, how many device handles are open now, and whether an
  // interface is claimed.
  int ProbeCount(const std::u16string& path) const;
  int OpenHandleCount() const;
  bool Claimed(const std::u16string& path) const;

  std::unique_ptr<InterfaceList> ListInterfaces() override;
  bool Probe(const std::u16string& path, std::uint16_t* vendor, std::uint16_t* product) override;
  NativeHandle Claim(const std::u16string& path, OpenFailure* failure) override;
  void ReleaseClaim(NativeHandle claim) override;
  NativeHandle Open(const std::u16string& path, Direction direction, OpenFailure* failure) override;
  bool Issue(Direction direction, NativeHandle device, std::uint8_t* report,
             NativeHandle event) override;
  std::uint32_t BytesMoved(Direction direction, NativeHandle device) override;
  void CancelIo(NativeHandle device) override { (void)device; }
  void Close(NativeHandle device) override;
  void SetRemovalListener(RemovalListener listener, void* context) override;

 private:
  struct OpenHandle {
    std::u16string path;
    sim::SimBootloader* device;
    Direction direction;
    std::uint32_t lastCount = 0;
  };
  const SimInterface* FindLocked(const std::u16string& path) const;
  void NotifyRemoval(const std::u16string& path, std::uint16_t vendor);

  mutable std::mutex m_mutex;
  std::vector<SimInterface> m_interfaces;
  std::map<std::u16string, int> m_probes;
  std::map<NativeHandle, OpenHandle> m_open;
  std::map<NativeHandle, std::u16string> m_claims;
  NativeHandle m_nextHandle = 0x100;
  bool m_listFails = false;
  std::chrono::milliseconds m_bound{kTransferBoundMs};
  RemovalListener m_listener = nullptr;
  void* m_listenerContext = nullptr;
};

}  // namespace vqr::hid
