// Finding the vendor of a removed hidraw node from what a udev remove event carries.
#include <gtest/gtest.h>

#include <optional>
#include <string_view>

#include "ui/qt/udev_monitor.h"

namespace vqr::ui::qt {
namespace {

struct VendorCase {
  std::string_view input;
  std::optional<std::uint16_t> vendor;
};

TEST(UdevVendor, FromTheHidComponentOfTheDevicePath) {
  const VendorCase cases[] = {
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0/0003:0416:F360.0007/hidraw/hidraw3",
       0x0416},
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.1/0003:046D:C52B.0002/hidraw/hidraw1",
       0x046D},
      // Lower-case digits, a Bluetooth bus, a virtual (uhid) device, a long instance number.
      {"/devices/virtual/misc/uhid/0005:04b4:f36a.001A/hidraw/hidraw2", 0x04B4},
      {"/devices/virtual/misc/uhid/0003:0416:F36F.10000/hidraw/hidraw9", 0x0416},
      // PCI and USB names are not HID names.
      {"/devices/pci0000:00/0000:00:14.0/usb1/1-2/1-2:1.0", std::nullopt},
      {"/devices/platform/0003:041G:F360.0001/hidraw/hidraw0", std::nullopt},
      {"/devices/platform/0003:0416:F360/hidraw/hidraw0", std::nullopt},
      {"/devices/platform/0003:0416:F360.", std::nullopt},
      {"", std::nullopt},
  };
  for (const VendorCase& c : cases) EXPECT_EQ(VendorFromDevpath(c.input), c.vendor) << c.input;
}

TEST(UdevVendor, FromTheHidIdProperty) {
  const VendorCase cases[] = {
      {"0003:00000416:0000F360", 0x0416},
      {"0005:0000046d:0000b342", 0x046D},
      {"0003:00010416:0000F360", std::nullopt},  // not a 16-bit vendor
      {"0003:0416", std::nullopt},
      {"0003::0000F360", std::nullopt},
      {"zz:00000416:0000F360", std::nullopt},
      {"", std::nullopt},
  };
  for (const VendorCase& c : cases) EXPECT_EQ(VendorFromHidId(c.input), c.vendor) << c.input;
}

TEST(UdevVendor, FromTheIdVendorAttribute) {
  const VendorCase cases[] = {
      {"0416", 0x0416},   {"0416\n", 0x0416},     {"046d", 0x046D},
      {"", std::nullopt}, {"x416", std::nullopt}, {"10416", std::nullopt},
  };
  for (const VendorCase& c : cases) EXPECT_EQ(VendorFromIdVendor(c.input), c.vendor) << c.input;
}

}  // namespace
}  // namespace vqr::ui::qt
