#include "ui/shell/device_notice.h"

#include <string>

#include "text/text_format.h"

namespace vqr::ui {

using hid::OpenError;

const std::array<DeviceNoticeEntry, 8> kDeviceNotices{{
    {OpenError::kAccessDenied, NoticePlatform::kLinux,
     u"A VQR03 device is plugged in, but this user is not allowed to open it. Install the udev "
     u"rule /lib/udev/rules.d/70-vqr03.rules (the vqr03 package installs it) or add this user "
     u"to the group that owns the device, then unplug the device and plug it in again.",
     u"已插上 VQR03 裝置，但目前的使用者沒有開啟它的權限。請安裝 udev 規則 "
     u"/lib/udev/rules.d/70-vqr03.rules（vqr03 套件會安裝此檔），或將此使用者加入擁有該裝置的"
     u"群組，然後拔下裝置再重新插上。"},
    {OpenError::kBusy, NoticePlatform::kLinux,
     u"A VQR03 device is plugged in, but another program is using it, such as a second updater "
     u"window or vqr03-cli. Close that program; the search goes on and takes the device as soon "
     u"as it is free.",
     u"已插上 VQR03 裝置，但另一個程式正在使用它，例如另一個更新程式視窗或 vqr03-cli。"
     u"請關閉該程式；搜尋會繼續進行，裝置一空出就會立即使用。"},
    {OpenError::kGone, NoticePlatform::kLinux,
     u"A VQR03 device was found, but it went away while it was being opened. Plug it in again.",
     u"已找到 VQR03 裝置，但在開啟時裝置已被移除。請重新插上裝置。"},
    {OpenError::kOther, NoticePlatform::kLinux,
     u"A VQR03 device is plugged in, but it could not be opened. Unplug it and plug it in "
     u"again; if this keeps happening, tell the vendor the details below.",
     u"已插上 VQR03 裝置，但無法開啟。請拔下裝置再重新插上；若問題持續發生，請將下方的詳細"
     u"資訊告知廠商。"},
    {OpenError::kAccessDenied, NoticePlatform::kWindows,
     u"A VQR03 device is plugged in, but Windows denied access to it. Another program may hold "
     u"it for itself, or this user may not use it. Close other programs that use the device, "
     u"then unplug it and plug it in again.",
     u"已插上 VQR03 裝置，但 Windows 拒絕存取。可能有其他程式獨佔此裝置，或此使用者無權使用"
     u"它。請關閉其他使用此裝置的程式，然後拔下裝置再重新插上。"},
    {OpenError::kBusy, NoticePlatform::kWindows,
     u"A VQR03 device is plugged in, but another program is using it, such as a second updater "
     u"window or vqr03-cli. Close that program; the search goes on and takes the device as soon "
     u"as it is free.",
     u"已插上 VQR03 裝置，但另一個程式正在使用它，例如另一個更新程式視窗或 vqr03-cli。"
     u"請關閉該程式；搜尋會繼續進行，裝置一空出就會立即使用。"},
    {OpenError::kGone, NoticePlatform::kWindows,
     u"A VQR03 device was found, but it went away while it was being opened. Plug it in again.",
     u"已找到 VQR03 裝置，但在開啟時裝置已被移除。請重新插上裝置。"},
    {OpenError::kOther, NoticePlatform::kWindows,
     u"A VQR03 device is plugged in, but it could not be opened. Unplug it and plug it in "
     u"again; if this keeps happening, tell the vendor the details below.",
     u"已插上 VQR03 裝置，但無法開啟。請拔下裝置再重新插上；若問題持續發生，請將下方的詳細"
     u"資訊告知廠商。"},
}};

const DeviceNoticeEntry& FindDeviceNotice(OpenError kind, NoticePlatform platform) {
  const OpenError wanted = kind == OpenError::kNone ? OpenError::kOther : kind;
  for (const DeviceNoticeEntry& entry : kDeviceNotices)
    if (entry.kind == wanted && entry.platform == platform) return entry;
  return kDeviceNotices.back();  // not reached: the table holds every kind for each platform
}

std::u16string DeviceNoticeText(const hid::OpenFailure& failure, NoticePlatform platform) {
  if (failure.kind == OpenError::kNone) return {};
  const DeviceNoticeEntry& entry = FindDeviceNotice(failure.kind, platform);
  std::u16string text(entry.english);
  text += u"\n\n";
  text += entry.chinese;
  text += u"\n\n[";
  text += failure.path;
  text += u"] ";
  text += text::Utf8ToUtf16(std::to_string(failure.code));
  if (!failure.detail.empty()) {
    text += u": ";
    text += failure.detail;
  }
  return text;
}

}  // namespace vqr::ui
