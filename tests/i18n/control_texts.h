// Every text each control of the main window can show in a language, with the widest values
// its conversions take: the layout must hold all of them without clipping. And the captions
// the window starts with in a language.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "port/window_port.h"
#include "text/string_table.h"
#include "text/text_format.h"
#include "ui/shell/controls.h"
#include "vqr_version.h"

namespace vqr::testing {

struct ControlTexts {
  int id;
  std::vector<std::u16string> texts;
};

inline std::vector<ControlTexts> TextsOfControls(text::Language language) {
  using namespace text;
  const auto entry = [language](int id) { return StringTableEntry(id, language); };
  const auto format = [&entry](int id, std::initializer_list<FormatArg> values) {
    return FormatText(entry(id), values);
  };
  // The search counts seconds in a field of three; the device's version is four hex digits;
  // an image covers at most 1024 sectors of a 4 MiB flash.
  return {
      {ui::kDeviceGroup, {entry(kStrDeviceGroup)}},
      {ui::kVersionGroup, {entry(kStrVersionGroup)}},
      {ui::kDeviceLabel,
       {format(kStrSearching, {999}), format(kStrDeviceVersion, {std::string_view("DDDD")})}},
      {ui::kStartButton,
       {entry(kStrStart), entry(kStrDownloading), entry(kStrFinishedButton),
        format(kStrSectorCount, {1024}), format(kStrWriting, {'C', 1024}),
        format(kStrVerifying, {'C', 1024}), format(kStrVerified, {'C'})}},
      {ui::kExitButton, {entry(kStrExit)}},
  };
}

// The caption `control` starts with in `language`: its entry of the control table (the device
// label's counts no second yet), or none.
inline std::u16string StartingCaption(const ui::ControlEntry& control, text::Language language) {
  if (control.textId == 0) return {};
  const std::u16string entry = text::StringTableEntry(control.textId, language);
  return control.textId == text::kStrSearching ? text::FormatText(entry, {0}) : entry;
}

// The main window's title in `language`: entry 150 with the program's version.
inline std::u16string MainWindowTitle(text::Language language) {
  return text::FormatText(text::StringTableEntry(text::kStrWindowTitle, language),
                          {VQR_VERSION_MAJOR, VQR_VERSION_MINOR});
}

}  // namespace vqr::testing
