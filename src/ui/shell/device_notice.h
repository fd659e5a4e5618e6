// What the user is told when a device of the family is plugged in but cannot be opened: one
// entry per kind of failure and platform, each a whole text of the string table (entries 190
// and up) in every language the program speaks.
#pragma once

#include <array>
#include <functional>
#include <string>
#include <string_view>

#include "device/hid_backend.h"
#include "text/string_table.h"

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
  std::u16string_view english;  // the entry's English text
  std::u16string_view chinese;  // its Traditional Chinese text
  int id;                       // the string-table entry, for the other languages
};

// Every kind but kNone, for each platform.
extern const std::array<DeviceNoticeEntry, 8> kDeviceNotices;

// The entry for `kind` on `platform`; kOther's for kNone.
const DeviceNoticeEntry& FindDeviceNotice(hid::OpenError kind, NoticePlatform platform);

// How a front end shows text that comes from the platform, not from the program.
using ForeignText = std::function<std::u16string(std::u16string_view)>;

// The whole notice: the English text (which the vendor's support reads whatever the user's
// language), the text in `language` unless that is English, and a line with the interface
// path, the platform's error number and its text, each separated by an empty line. The path
// and the platform's text go in through `foreign` when one is given. Empty for kNone.
std::u16string DeviceNoticeText(const hid::OpenFailure& failure,
                                NoticePlatform platform = kThisPlatform,
                                text::Language language = text::CurrentLanguage(),
                                const ForeignText& foreign = {});

}  // namespace vqr::ui
