// What the user is told when a device of the family is plugged in but cannot be opened. The
// table below is the one place these texts live: one entry per kind of failure and platform,
// each a whole text in English and in Traditional Chinese, so that it can be translated as it
// stands.
#pragma once

#include <array>
#include <string>
#include <string_view>

#include "device/hid_backend.h"

namespace vqr::ui {

enum class NoticePlatform { kLinux, kWindows };

#if defined(_WIN32)
inline constexpr NoticePlatform kThisPlatform = NoticePlatform::kWindows;
#else
inline constexpr NoticePlatform kThisPlatform = NoticePlatform::kLinux;
#endif

struct DeviceNoticeEntry {
  hid::OpenError kind;
  NoticePlatform platform;
  std::u16string_view english;
  std::u16string_view chinese;
};

// Every kind but kNone, for each platform.
extern const std::array<DeviceNoticeEntry, 8> kDeviceNotices;

// The entry for `kind` on `platform`; kOther's for kNone.
const DeviceNoticeEntry& FindDeviceNotice(hid::OpenError kind, NoticePlatform platform);

// The whole notice: the English text, the Chinese text, and a line with the interface path,
// the platform's error number and its text, each separated by an empty line. Empty for kNone.
std::u16string DeviceNoticeText(const hid::OpenFailure& failure,
                                NoticePlatform platform = kThisPlatform);

}  // namespace vqr::ui
