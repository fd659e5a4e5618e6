#include "emulated_hidraw.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/hidraw.h>
#include <linux/input.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <termios.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vqr::test {

const std::vector<std::uint8_t> kFamilyReportDescriptor = {
    0x06, 0x00, 0xFF,  // usage page: vendor defined
    0x09, 0x01,        // usage 1
    0xA1, 0x01,        // collection: application
    0x09, 0x01,        //   usage 1
    0x15, 0x00,        //   logical minimum 0
    0x26, 0xFF, 0x00,  //   logical maximum 255
    0x75, 0x08,        //   report size 8
    0x95, 0x40,        //   report count 64
    0x81, 0x02,        //   input (data, variable, absolute)
    0x09, 0x01,        //   usage 1
    0x95, 0x40,        //   report count 64
    0x91, 0x02,        //   output (data, variable, absolute)
    0xC0,              // end collection
};

struct EmulatedNode {
  ~EmulatedNode() {
    while (inUse.load(std::memory_order_acquire) != 0) std::this_thread::yield();
    if (handler != nullptr) g_object_unref(handler);
    if (terminalIn >= 0) ::close(terminalIn);
  }

  std::string node;                  // /dev/hidrawN
  std::string sysPath;               // the hidraw device
  std::vector<std::string> parents;  // hid device, USB interface, USB device
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  sim::SimBootloader* device = nullptr;
  Readiness readiness = Readiness::kAlways;
  std::vector<std::uint8_t> descriptor;
  UMockdevIoctlBase* handler = nullptr;
  // kWhileDue: the terminal's two sides. A byte written to `terminalOut` makes the node poll
  // readable; reading it back through `terminalIn` (the side the node's readers hold) ends
  // that. `signalled` tells whether the byte is there; guarded by `readinessMutex`.
  int terminalOut = -1;
  int terminalIn = -1;
  std::mutex readinessMutex;
  bool signalled = false;
  std::atomic<bool> removed{false};
  // The handlers run on umockdev's thread, which learns of the node through GLib, whose
  // synchronisation ThreadSanitizer does not see. So each use of the node by a handler begins
  // by reading `published` (set once the node is complete, before its handler is attached)
  // and ends by counting itself out of `inUse`, for which the node's destruction waits: the
  // construction visibly happens before every use, and every use before the destruction.
  std::atomic<bool> published{false};
  std::atomic<int> inUse{0};
  mode_t mode = 0;  // the node's own, while access is denied

  mutable std::mutex mutex;
  NodeTraffic traffic;
};

namespace {

// How long a read waits for the device's report: the backend's bound on a transfer.
constexpr std::chrono::milliseconds kReadBound{5000};

void Complete(UMockdevIoctlClient* client, long result, int error) {
  umockdev_ioctl_client_complete(client, result, error);
}

// Resolves the ioctl argument, a pointer to `length` bytes of the caller's; null on failure.
UMockdevIoctlData* Resolve(UMockdevIoctlClient* client, std::size_t length) {
  GError* error = nullptr;
  UMockdevIoctlData* data =
      umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, length, &error);
  if (error != nullptr) g_error_free(error);
  return data;
}

// One handler's use of its node (see EmulatedNode::published).
class Use {
 public:
  explicit Use(gpointer context) : m_node(static_cast<EmulatedNode*>(context)) {
    const bool published = m_node->published.load(std::memory_order_acquire);
    (void)published;  // always true: the handler is attached after the node was published
    m_node->inUse.fetch_add(1, std::memory_order_acq_rel);
  }
  ~Use() { m_node->inUse.fetch_sub(1, std::memory_order_release); }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  EmulatedNode* operator->() const { return m_node; }
  EmulatedNode* get() const { return m_node; }

 private:
  EmulatedNode* m_node;
};

// kWhileDue: the node polls readable exactly while the device has input reports due.
void UpdateReadiness(EmulatedNode* node) {
  if (node->readiness != Readiness::kWhileDue) return;
  std::lock_guard lock(node->readinessMutex);
  const bool due =
      node->device != nullptr && !node->removed.load() && node->device->InputReportsDue() > 0;
  if (due && !node->signalled) {
    node->signalled = ::write(node->terminalOut, "r", 1) == 1;
  } else if (!due && node->signalled) {
    char byte = 0;
    node->signalled = ::read(node->terminalIn, &byte, 1) != 1;
  }
}

// Records a report the device took or gave. Caller holds the node's mutex.
void Record(NodeTraffic& traffic, std::vector<WireReport>& reports, const std::uint8_t* report) {
  WireReport copy;
  std::memcpy(copy.data(), report, copy.size());
  reports.push_back(copy);
  traffic.lastReport = std::chrono::steady_clock::now();
  if (traffic.received.size() + traffic.sent.size() == 1) traffic.firstReport = traffic.lastReport;
}

void Refused(EmulatedNode* node) {
  std::lock_guard lock(node->mutex);
  ++node->traffic.afterUnplug;
}

gboolean OnIoctl(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  const Use node(context);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  {
    std::lock_guard lock(node->mutex);
    node->traffic.ioctls.push_back(request);
  }
  if (node->removed.load()) {
    Complete(client, -1, ENODEV);
    return TRUE;
  }
  const std::vector<std::uint8_t>& descriptor = node->descriptor;
  if (request == HIDIOCGRDESCSIZE) {
    UMockdevIoctlData* size = Resolve(client, sizeof(int));
    if (size == nullptr) {
      Complete(client, -1, EFAULT);
      return TRUE;
    }
    const int value = static_cast<int>(descriptor.size());
    std::memcpy(size->data, &value, sizeof value);
    Complete(client, 0, 0);
    g_object_unref(size);
    return TRUE;
  }
  if (request == HIDIOCGRDESC) {
    UMockdevIoctlData* data = Resolve(client, sizeof(hidraw_report_descriptor));
    if (data == nullptr) {
      Complete(client, -1, EFAULT);
      return TRUE;
    }
    hidraw_report_descriptor answer;
    std::memcpy(&answer, data->data, sizeof answer);
    if (answer.size > HID_MAX_DESCRIPTOR_SIZE) {
      Complete(client, -1, EINVAL);
    } else {
      const std::size_t length = std::min<std::size_t>(answer.size, descriptor.size());
      std::memcpy(answer.value, descriptor.data(), length);
      std::memcpy(data->data, &answer, sizeof answer);
      Complete(client, 0, 0);
    }
    g_object_unref(data);
    return TRUE;
  }
  if (request == HIDIOCGRAWINFO) {
    UMockdevIoctlData* data = Resolve(client, sizeof(hidraw_devinfo));
    if (data == nullptr) {
      Complete(client, -1, EFAULT);
      return TRUE;
    }
    hidraw_devinfo info{};
    info.bustype = BUS_USB;
    info.vendor = static_cast<__s16>(node->vendor);
    info.product = static_cast<__s16>(node->product);
    std::memcpy(data->data, &info, sizeof info);
    Complete(client, 0, 0);
    g_object_unref(data);
    return TRUE;
  }
  Complete(client, -1, ENOTTY);
  return TRUE;
}

gboolean OnRead(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  const Use node(context);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  {
    std::lock_guard lock(node->mutex);
    if (buffer->data_len == 64)
      ++node->traffic.reads;
    else
      ++node->traffic.otherReads;
  }
  if (node->removed.load()) {
    Refused(node.get());
    Complete(client, -1, EIO);
    return TRUE;
  }
  std::uint8_t report[65] = {};
  // A node that polls readable only while reports are due never waits for one.
  const auto bound =
      node->readiness == Readiness::kWhileDue ? std::chrono::milliseconds(0) : kReadBound;
  if (node->device == nullptr || node->device->SendIn(report, bound) != sim::ReadOutcome::kReport) {
    UpdateReadiness(node.get());
    // Nothing within the bound is what hidapi's poll would have timed out on: it reads as 0.
    const bool gone = node->removed.load() || (node->device != nullptr && node->device->Vanished());
    Complete(client, -1, gone ? EIO : EAGAIN);
    return TRUE;
  }
  {
    std::lock_guard lock(node->mutex);
    Record(node->traffic, node->traffic.sent, report);
  }
  UpdateReadiness(node.get());
  // An unnumbered input report reaches the reader as its data bytes alone.
  const std::size_t length = std::min<std::size_t>(64, static_cast<std::size_t>(buffer->data_len));
  std::memcpy(buffer->data, report + 1, length);
  Complete(client, static_cast<long>(length), 0);
  return TRUE;
}

gboolean OnWrite(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer context) {
  const Use node(context);
  UMockdevIoctlData* buffer = umockdev_ioctl_client_get_arg(client);
  const bool whole = buffer->data_len == 65 && buffer->data[0] == 0;
  {
    std::lock_guard lock(node->mutex);
    if (whole)
      ++node->traffic.writes;
    else
      ++node->traffic.malformedWrites;
  }
  if (node->removed.load()) {
    Refused(node.get());
    Complete(client, -1, ENODEV);
  } else if (!whole) {
    Complete(client, -1, EINVAL);
  } else if (node->device == nullptr || node->device->ReceiveOut(buffer->data)) {
    {
      std::lock_guard lock(node->mutex);
      Record(node->traffic, node->traffic.received, buffer->data);
    }
    UpdateReadiness(node.get());
    Complete(client, 65, 0);
  } else {
    Complete(client, -1, node->device->Vanished() ? ENODEV : EIO);
  }
  return TRUE;
}

void OnConnected(UMockdevIoctlBase*, UMockdevIoctlClient*, gpointer context) {
  const Use node(context);
  std::lock_guard lock(node->mutex);
  ++node->traffic.opens;
}

// GObject takes every handler as a GCallback; void (*)() converts to and from any function
// pointer type without a warning about the types.
template <typename Function>
GCallback Callback(Function* function) {
  return reinterpret_cast<GCallback>(reinterpret_cast<void (*)()>(function));
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  char digits[3];
  for (const std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", byte);
    out += digits;
  }
  return out;
}

}  // namespace

EmulatedHidraw::EmulatedHidraw() : m_testbed(umockdev_testbed_new()) {}

EmulatedHidraw::~EmulatedHidraw() {
  for (const auto& node : m_nodes)
    umockdev_testbed_detach_ioctl(m_testbed, node->node.c_str(), nullptr);
  g_object_unref(m_testbed);
}

std::string EmulatedHidraw::Plug(std::uint16_t vendor, std::uint16_t product,
                                 sim::SimBootloader* device, const NodeOptions& options) {
  const std::size_t index = m_nodes.size();
  auto node = std::make_unique<EmulatedNode>();
  node->vendor = vendor;
  node->product = product;
  node->device = device;
  node->readiness = options.readiness;
  node->descriptor = options.descriptor.empty() ? kFamilyReportDescriptor : options.descriptor;
  node->node = "/dev/hidraw" + std::to_string(index);

  char ids[64];
  const std::string port = "1-" + std::to_string(index + 1);
  const std::string usb = "/devices/pci0000:00/0000:00:14.0/usb1/" + port;
  const std::string interface = usb + "/" + port + ":1.0";
  std::snprintf(ids, sizeof ids, "0003:%04X:%04X.%04zX", vendor, product, index + 1);
  const std::string hid = interface + "/" + ids;
  const std::string hidraw = hid + "/hidraw/hidraw" + std::to_string(index);

  std::string record;
  std::snprintf(ids, sizeof ids, "%04x", vendor);
  const std::string vendorHex = ids;
  std::snprintf(ids, sizeof ids, "%04x", product);
  const std::string productHex = ids;
  record +=
      "P: " + usb + "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DEVNAME=/dev/bus/usb/001/" +
      std::to_string(index + 2) + "\nA: idVendor=" + vendorHex + "\nA: idProduct=" + productHex +
      "\nA: bcdDevice=0100\nA: manufacturer=Test maker\nA: product=Test " + productHex +
      "\nA: busnum=1\nA: devnum=" + std::to_string(index + 2) + "\n\n";
  record += "P: " + interface +
            "\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n"
            "A: bInterfaceNumber=00\nA: bInterfaceClass=03\nA: bNumEndpoints=02\n\n";
  std::snprintf(ids, sizeof ids, "0003:%08X:%08X", vendor, product);
  record += "P: " + hid + "\nE: SUBSYSTEM=hid\nE: DRIVER=hid-generic\nE: HID_ID=" + ids +
            "\nE: HID_NAME=Test maker Test " + productHex + "\nE: HID_PHYS=usb-0000:00:14.0-" +
            std::to_string(index + 1) +
            "/input0\nE: HID_UNIQ=\nH: report_descriptor=" + Hex(node->descriptor) + "\n\n";
  record += "P: " + hidraw + "\nE: SUBSYSTEM=hidraw\nE: DEVNAME=" + node->node +
            "\nE: MAJOR=241\nE: MINOR=" + std::to_string(index) +
            "\nA: dev=241:" + std::to_string(index) + "\nN: hidraw" + std::to_string(index) + "\n";

  GError* error = nullptr;
  if (!umockdev_testbed_add_from_string(m_testbed, record.c_str(), &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev refused the device: " + message);
  }
  node->sysPath = "/sys" + hidraw;
  node->parents = {"/sys" + hid, "/sys" + interface, "/sys" + usb};

  node->published.store(true, std::memory_order_release);
  node->handler = umockdev_ioctl_base_new();
  g_signal_connect(node->handler, "handle-ioctl", Callback(&OnIoctl), node.get());
  g_signal_connect(node->handler, "handle-read", Callback(&OnRead), node.get());
  g_signal_connect(node->handler, "handle-write", Callback(&OnWrite), node.get());
  g_signal_connect(node->handler, "client-connected", Callback(&OnConnected), node.get());
  if (!umockdev_testbed_attach_ioctl(m_testbed, node->node.c_str(), node->handler, &error)) {
    const std::string message = error != nullptr ? error->message : "unknown error";
    if (error != nullptr) g_error_free(error);
    throw std::runtime_error("umockdev cannot emulate " + node->node + ": " + message);
  }
  const int terminal = umockdev_testbed_get_dev_fd(m_testbed, node->node.c_str());
  if (terminal < 0) throw std::runtime_error("no terminal behind " + node->node);
  if (node->readiness == Readiness::kAlways) {
    // The node polls readable from now on (see the header).
    if (::write(terminal, "\n", 1) != 1)
      throw std::runtime_error("cannot make " + node->node + " readable");
  } else {
    // The readers' side of the terminal, raw: a byte written is readable at once, alone, and
    // is not echoed back.
    char name[128];
    if (::ptsname_r(terminal, name, sizeof name) != 0)
      throw std::runtime_error("no terminal name behind " + node->node);
    node->terminalOut = terminal;
    node->terminalIn = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios mode{};
    if (node->terminalIn < 0 || ::tcgetattr(node->terminalIn, &mode) != 0)
      throw std::runtime_error(std::string("cannot open ") + name + " behind " + node->node);
    ::cfmakeraw(&mode);
    if (::tcsetattr(node->terminalIn, TCSANOW, &mode) != 0)
      throw std::runtime_error(std::string("cannot make ") + name + " raw");
  }

  const std::string path = node->node;
  m_nodes.push_back(std::move(node));
  return path;
}

void EmulatedHidraw::AnnounceAdd(const std::string& node) {
  const EmulatedNode& added = Find(node);
  for (auto parent = added.parents.rbegin(); parent != added.parents.rend(); ++parent)
    umockdev_testbed_uevent(m_testbed, parent->c_str(), "add");
  umockdev_testbed_uevent(m_testbed, added.sysPath.c_str(), "add");
}

void EmulatedHidraw::Unplug(const std::string& node) {
  EmulatedNode& unplugged = Find(node);
  if (unplugged.removed.exchange(true)) return;  // gone already
  umockdev_testbed_uevent(m_testbed, unplugged.sysPath.c_str(), "remove");
  umockdev_testbed_remove_device(m_testbed, unplugged.sysPath.c_str());
  for (const std::string& parent : unplugged.parents)
    umockdev_testbed_remove_device(m_testbed, parent.c_str());
}

std::string EmulatedHidraw::Root() const {
  gchar* root = umockdev_testbed_get_root_dir(m_testbed);
  std::string copy = root;
  g_free(root);
  return copy;
}

void EmulatedHidraw::DenyAccess(const std::string& node) {
  EmulatedNode& denied = Find(node);
  const std::string root = Root();
  const std::string file = root + node;
  struct stat status {};
  if (::stat(file.c_str(), &status) != 0) throw std::runtime_error("no node file " + file);
  denied.mode = status.st_mode & 07777;
  const bool opened = ::chmod(root.c_str(), 0755) == 0 && ::chmod(file.c_str(), 0) == 0 &&
                      ::chmod((root + "/ioctl" + node).c_str(), 0666) == 0;
  ::chmod((root + "/ioctl/_default").c_str(), 0666);  // not every version has one
  if (!opened) throw std::runtime_error("cannot change the modes of the testbed for " + node);
}

void EmulatedHidraw::AllowAccess(const std::string& node) {
  const std::string file = Root() + node;
  if (::chmod(file.c_str(), Find(node).mode) != 0)
    throw std::runtime_error("cannot give " + node + " its mode back");
}

std::string EmulatedHidraw::SysPath(const std::string& node) const {
  return Find(node).sysPath;
}

NodeTraffic EmulatedHidraw::Traffic(const std::string& node) const {
  const EmulatedNode& found = Find(node);
  std::lock_guard lock(found.mutex);
  return found.traffic;
}

void EmulatedHidraw::ForgetReports(const std::string& node) {
  EmulatedNode& found = Find(node);
  std::lock_guard lock(found.mutex);
  found.traffic.received.clear();
  found.traffic.sent.clear();
  found.traffic.firstReport = found.traffic.lastReport = {};
}

int EmulatedHidraw::Opens(const std::string& node, int atLeast) const {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (Traffic(node).opens < atLeast && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  return Traffic(node).opens;
}

EmulatedNode& EmulatedHidraw::Find(const std::string& node) const {
  for (const auto& candidate : m_nodes)
    if (candidate->node == node) return *candidate;
  throw std::runtime_error("no emulated node " + node);
}

}  // namespace vqr::test
