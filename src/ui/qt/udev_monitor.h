// Removal notices of HID interfaces on Linux: a libudev monitor of the "hidraw" subsystem whose
// socket is watched by the GUI thread's event loop (QSocketNotifier). Each "remove" event is
// reported with the node path (e.g. /dev/hidraw3) and the vendor ID of the HID device behind it.
//
// Finding the vendor of a node that is already gone. By the time the event is read, sysfs has
// usually dropped the node and its parents, so the vendor is taken first from the event's own
// device path, whose HID component is named "BBBB:VVVV:PPPP.NNNN" (bus, vendor, product,
// instance), e.g. .../0003:0416:F360.0001/hidraw/hidraw3. When that component is missing, the
// parent HID device's HID_ID property ("0003:00000416:0000F360") and then the USB device's
// idVendor attribute are asked, while sysfs still has them. A removal whose vendor cannot be
// found is reported with vendor 0, which no filter matches.
#pragma once

#include <QObject>
#include <QString>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>

class QSocketNotifier;
struct udev;
struct udev_monitor;

namespace vqr::ui::qt {

// The vendor ID in a HID device name "BBBB:VVVV:PPPP.NNNN" found as a component of `devpath`.
std::optional<std::uint16_t> VendorFromDevpath(std::string_view devpath);
// The vendor ID in a HID_ID property "BBBB:VVVVVVVV:PPPPPPPP".
std::optional<std::uint16_t> VendorFromHidId(std::string_view hidId);
// The vendor ID in an idVendor attribute "vvvv".
std::optional<std::uint16_t> VendorFromIdVendor(std::string_view idVendor);

class UdevMonitor final : public QObject {
 public:
  using Handler = std::function<void(const QString& node, std::uint16_t vendor)>;

  // Opens the monitor and starts watching at once; the handler runs on the thread that created
  // the monitor, from its event loop.
  explicit UdevMonitor(Handler handler, QObject* parent = nullptr);
  ~UdevMonitor() override;

  // False when libudev or its netlink socket is not available (no removal notices then).
  bool Active() const { return m_notifier != nullptr; }

 private:
  void OnReadable();

  Handler m_handler;
  udev* m_udev = nullptr;
  udev_monitor* m_monitor = nullptr;
  QSocketNotifier* m_notifier = nullptr;
};

}  // namespace vqr::ui::qt
