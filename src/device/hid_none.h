// The backend g_hidCmd starts with: no HID interface is present, so every search finds
// nothing and every transfer fails. A program installs the backend it really uses
// (CHidIO::UseBackend) before its first search.
#pragma once

#include "device/hid_backend.h"

namespace vqr::hid {

HidBackend& NoDeviceHidBackend();

}  // namespace vqr::hid
