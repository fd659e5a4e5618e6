#include "ui/shell/device_notice.h"

#include <string>

#include "text/string_table.h"
#include "text/text_format.h"

namespace vqr::ui {

using hid::OpenError;

namespace {

// An entry of the table by its string-table entry: the English and the Traditional Chinese
// texts are views of that entry's columns.
constexpr DeviceNoticeEntry Notice(OpenError kind, NoticePlatform platform, int id) {
  return {kind, platform, text::RawTableText(id, text::Language::kEn),
          text::RawTableText(id, text::Language::kZhTw), id};
}

}  // namespace

const std::array<DeviceNoticeEntry, 8> kDeviceNotices{{
    Notice(OpenError::kAccessDenied, NoticePlatform::kLinux, text::kStrNoticeLinuxDenied),
    Notice(OpenError::kBusy, NoticePlatform::kLinux, text::kStrNoticeBusy),
    Notice(OpenError::kGone, NoticePlatform::kLinux, text::kStrNoticeGone),
    Notice(OpenError::kOther, NoticePlatform::kLinux, text::kStrNoticeOther),
    Notice(OpenError::kAccessDenied, NoticePlatform::kWindows, text::kStrNoticeWindowsDenied),
    Notice(OpenError::kBusy, NoticePlatform::kWindows, text::kStrNoticeBusy),
    Notice(OpenError::kGone, NoticePlatform::kWindows, text::kStrNoticeGone),
    Notice(OpenError::kOther, NoticePlatform::kWindows, text::kStrNoticeOther),
}};

const DeviceNoticeEntry& FindDeviceNotice(OpenError kind, NoticePlatform platform) {
  const OpenError wanted = kind == OpenError::kNone ? OpenError::kOther : kind;
  for (const DeviceNoticeEntry& entry : kDeviceNotices)
    if (entry.kind == wanted && entry.platform == platform) return entry;
  return kDeviceNotices.back();  // not reached: the table holds every kind for each platform
}

std::u16string DeviceNoticeText(const hid::OpenFailure& failure, NoticePlatform platform,
                                text::Language language, const ForeignText& foreign) {
  if (failure.kind == OpenError::kNone) return {};
  const auto shown = [&foreign](const std::u16string& text) {
    return foreign ? foreign(text) : text;
  };
  const DeviceNoticeEntry& entry = FindDeviceNotice(failure.kind, platform);
  std::u16string text(entry.english);
  if (language != text::Language::kEn) {
    text += u"\n\n";
    text += text::TableText(entry.id, language);
  }
  text += u"\n\n[";
  text += shown(failure.path);
  text += u"] ";
  text += text::Utf8ToUtf16(std::to_string(failure.code));
  if (!failure.detail.empty()) {
    text += u": ";
    text += shown(failure.detail);
  }
  return text;
}

}  // namespace vqr::ui
