#include "ui/qt/udev_monitor.h"

#include <libudev.h>

#include <QSocketNotifier>
#include <cstring>

namespace vqr::ui::qt {

namespace {

std::optional<std::uint32_t> ParseHex(std::string_view digits) {
  if (digits.empty() || digits.size() > 8) return std::nullopt;
  std::uint32_t value = 0;
  for (const char c : digits) {
    std::uint32_t digit;
    if (c >= '0' && c <= '9') {
      digit = static_cast<std::uint32_t>(c - '0');
    } else if (c >= 'a' && c <= 'f') {
      digit = static_cast<std::uint32_t>(c - 'a' + 10);
    } else if (c >= 'A' && c <= 'F') {
      digit = static_cast<std::uint32_t>(c - 'A' + 10);
    } else {
      return std::nullopt;
    }
    value = value * 16 + digit;
  }
  return value;
}

bool IsHex(std::string_view digits) {
  return ParseHex(digits).has_value();
}

// "BBBB:VVVV:PPPP.NNNN", each field hexadecimal, bus/vendor/product exactly four digits.
std::optional<std::uint16_t> VendorFromHidName(std::string_view name) {
  if (name.size() < 16 || name[4] != ':' || name[9] != ':' || name[14] != '.') return std::nullopt;
  if (!IsHex(name.substr(0, 4)) || !IsHex(name.substr(10, 4)) || !IsHex(name.substr(15)))
    return std::nullopt;
  const auto vendor = ParseHex(name.substr(5, 4));
  if (!vendor) return std::nullopt;
  return static_cast<std::uint16_t>(*vendor);
}

}  // namespace

std::optional<std::uint16_t> VendorFromDevpath(std::string_view devpath) {
  // The HID device is the innermost component of that shape: the node's own parent.
  std::optional<std::uint16_t> found;
  std::size_t start = 0;
  while (start <= devpath.size()) {
    std::size_t end = devpath.find('/', start);
    if (end == std::string_view::npos) end = devpath.size();
    if (const auto vendor = VendorFromHidName(devpath.substr(start, end - start))) found = vendor;
    start = end + 1;
  }
  return found;
}

std::optional<std::uint16_t> VendorFromHidId(std::string_view hidId) {
  const std::size_t first = hidId.find(':');
  if (first == std::string_view::npos) return std::nullopt;
  const std::size_t second = hidId.find(':', first + 1);
  if (second == std::string_view::npos) return std::nullopt;
  if (!IsHex(hidId.substr(0, first)) || !IsHex(hidId.substr(second + 1))) return std::nullopt;
  const auto vendor = ParseHex(hidId.substr(first + 1, second - first - 1));
  if (!vendor || *vendor > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(*vendor);
}

std::optional<std::uint16_t> VendorFromIdVendor(std::string_view idVendor) {
  while (!idVendor.empty() && (idVendor.back() == '\n' || idVendor.back() == ' '))
    idVendor.remove_suffix(1);
  const auto vendor = ParseHex(idVendor);
  if (!vendor || *vendor > 0xFFFF) return std::nullopt;
  return static_cast<std::uint16_t>(*vendor);
}

UdevMonitor::UdevMonitor(Handler handler, QObject* parent)
    : QObject(parent), m_handler(std::move(handler)) {
  m_udev = udev_new();
  if (m_udev == nullptr) return;
  m_monitor = udev_monitor_new_from_netlink(m_udev, "udev");
  if (m_monitor == nullptr) return;
  if (udev_monitor_filter_add_match_subsystem_devtype(m_monitor, "hidraw", nullptr) < 0 ||
      udev_monitor_enable_receiving(m_monitor) < 0)
    return;
  const int fd = udev_monitor_get_fd(m_monitor);
  if (fd < 0) return;
  m_notifier = new QSocketNotifier(fd, QSocketNotifier::Read, this);
  connect(m_notifier, &QSocketNotifier::activated, this, &UdevMonitor::OnReadable);
}

UdevMonitor::~UdevMonitor() {
  delete m_notifier;
  if (m_monitor != nullptr) udev_monitor_unref(m_monitor);
  if (m_udev != nullptr) udev_unref(m_udev);
}

void UdevMonitor::OnReadable() {
  // The socket is non-blocking: take every event that is queued.
  while (udev_device* device = udev_monitor_receive_device(m_monitor)) {
    const char* action = udev_device_get_action(device);
    if (action != nullptr && std::strcmp(action, "remove") == 0) {
      std::optional<std::uint16_t> vendor;
      if (const char* devpath = udev_device_get_devpath(device))
        vendor = VendorFromDevpath(devpath);
      if (!vendor) {
        udev_device* hid = udev_device_get_parent_with_subsystem_devtype(device, "hid", nullptr);
        if (const char* hidId = hid ? udev_device_get_property_value(hid, "HID_ID") : nullptr)
          vendor = VendorFromHidId(hidId);
      }
      if (!vendor) {
        udev_device* usb =
            udev_device_get_parent_with_subsystem_devtype(device, "usb", "usb_device");
        if (const char* id = usb ? udev_device_get_sysattr_value(usb, "idVendor") : nullptr)
          vendor = VendorFromIdVendor(id);
      }
      const char* node = udev_device_get_devnode(device);
      if (m_handler) m_handler(QString::fromUtf8(node != nullptr ? node : ""), vendor.value_or(0));
    }
    udev_device_unref(device);
  }
}

}  // namespace vqr::ui::qt
