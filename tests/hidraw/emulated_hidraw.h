// An emulated kernel for the Linux device path: umockdev's testbed holds a sysfs tree and /dev
// nodes like those of USB HID interfaces with hidraw nodes, and umockdev's preload library
// (the test program runs under umockdev-wrapper) shows them to libudev and hidapi in place of
// the real ones. The reads, writes and ioctls of an emulated node are answered here, on
// umockdev's own thread, as the kernel's hidraw driver answers them: a write takes one whole
// output report, report ID first; a read gives one input report without a report ID; the
// report descriptor comes through HIDIOCGRDESCSIZE / HIDIOCGRDESC. Behind a node of the
// family sits a simulated bootloader, fed the written reports and asked for input reports.
//
// Readiness. Each emulated node is one side of a pseudo-terminal, on which readers poll before
// they read; reads themselves never touch the terminal (the preload library hands them to the
// handler here). Two ways to answer that poll:
// * kAlways: a line is written to the other side once, so the node always polls readable, and
//   a read waits in the handler until the device has a report to send. hidapi reads this way.
// * kWhileDue: the node polls readable only while the device has input reports to send; a read
//   never waits for one. The preload library holds a lock per descriptor during each call, so
//   a reader that polls and reads on the same descriptor it writes through (Wine's HID bus
//   does) would stall its own writes behind a read that waits.
// Unlike the kernel, which gives every reader of a node its own copy of each input report,
// the emulated kernel hands each report to the one read that takes it: one reader at a time.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "simulator/sim_bootloader.h"

struct _UMockdevTestbed;

namespace vqr::test {

struct EmulatedNode;  // one node and its handler

enum class Readiness { kAlways, kWhileDue };

struct NodeOptions {
  Readiness readiness = Readiness::kAlways;
  // The report descriptor; empty: kFamilyReportDescriptor.
  std::vector<std::uint8_t> descriptor;
};

using WireReport = std::array<std::uint8_t, 65>;  // report ID first

// What the emulated kernel saw on one node.
struct NodeTraffic {
  int opens = 0;                      // descriptors opened on the node
  std::uint64_t writes = 0;           // writes of whole reports (65 bytes, report ID 0)
  std::uint64_t malformedWrites = 0;  // any other write
  std::uint64_t reads = 0;            // reads asking for the 64 data bytes
  std::uint64_t otherReads = 0;       // reads asking for another length
  std::uint64_t afterUnplug = 0;      // transfers refused because the device was unplugged
  std::vector<unsigned long> ioctls;  // in order
  std::vector<WireReport> received;   // the output reports the device took, in order
  std::vector<WireReport> sent;       // the input reports the device gave, in order
  // When the first and the last of those reports moved.
  std::chrono::steady_clock::time_point firstReport{};
  std::chrono::steady_clock::time_point lastReport{};
};

class EmulatedHidraw {
 public:
  // Creates the testbed (empty sysfs and /dev) and points the preload library at it.
  EmulatedHidraw();
  ~EmulatedHidraw();
  EmulatedHidraw(const EmulatedHidraw&) = delete;
  EmulatedHidraw& operator=(const EmulatedHidraw&) = delete;

  // Plugs in a USB device with one HID interface of `vendor` / `product` and its hidraw node,
  // answered by `device` (null: writes are taken and dropped, reads never find a report).
  // Returns the node's path, "/dev/hidrawN", N counting from 0.
  std::string Plug(std::uint16_t vendor, std::uint16_t product, sim::SimBootloader* device,
                   const NodeOptions& options = {});

  // The device is unplugged, as the kernel sees it: transfers on descriptors still open fail
  // (a read with EIO, a write and an ioctl with ENODEV), a "remove" uevent of the hidraw node
  // goes out while its sysfs entry is still there, then its sysfs tree and node are removed.
  void Unplug(const std::string& node);
  // Announces a node plugged in with an "add" uevent of each of its devices, parents first,
  // for readers that watch uevents rather than list once.
  void AnnounceAdd(const std::string& node);

  // This user may no longer open the node: its mode becomes 0, as that of a node no udev rule
  // opened up, while the rest of the testbed may be read by every user, as sysfs may. (The
  // preload library connects to the node's ioctl socket even after a failed open and ends the
  // process when it cannot, so the sockets are opened up to every user too.) AllowAccess puts
  // the node's mode back.
  void DenyAccess(const std::string& node);
  void AllowAccess(const std::string& node);

  // The node's sysfs path ("/sys/devices/.../hidraw/hidrawN").
  std::string SysPath(const std::string& node) const;
  NodeTraffic Traffic(const std::string& node) const;
  // Forgets the reports recorded so far (and their times); the counts stay.
  void ForgetReports(const std::string& node);
  // The number of descriptors opened on the node. The emulated kernel learns of an open on its
  // own thread, a moment after the open returned: this waits up to two seconds for `atLeast`
  // of them, then a little longer for any that are still on their way.
  int Opens(const std::string& node, int atLeast = 0) const;

 private:
  EmulatedNode& Find(const std::string& node) const;
  std::string Root() const;  // the testbed's folder

  _UMockdevTestbed* m_testbed = nullptr;
  std::vector<std::unique_ptr<EmulatedNode>> m_nodes;
};

// The report descriptor of the emulated family: vendor page, 64-byte input and output reports,
// no report IDs.
extern const std::vector<std::uint8_t> kFamilyReportDescriptor;

}  // namespace vqr::test
