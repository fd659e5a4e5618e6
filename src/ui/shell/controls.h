// The main window's controls, once for every front end and its tests: id, window class, the
// string-table entry of the initial caption, style role and rectangle in client pixels of the
// 400 x 400 window, in order of creation.
#pragma once

#include <array>

#include "port/window_port.h"
#include "text/string_table.h"

namespace vqr::ui {

inline constexpr int kWindowSize = 400;

enum class ControlKind { kGroupBox, kLabel, kButton, kDropDownList };

struct ControlRect {
  int x, y, width, height;
};

struct ControlEntry {
  int id;
  ControlKind kind;
  const wchar_t* windowClass;  // the Win32 class name
  int textId;                  // string-table entry of the caption, 0: none
  ControlRect rect;
};

// The device label's caption is entry 136 formatted with the search count; the start button
// is disabled right after it is created; the image list lies over the blank label.
inline constexpr std::array<ControlEntry, 7> kControls{{
    {kDeviceGroup, ControlKind::kGroupBox, L"Button", text::kStrDeviceGroup, {30, 10, 340, 80}},
    {kDeviceLabel, ControlKind::kLabel, L"STATIC", text::kStrSearching, {60, 40, 280, 40}},
    {kVersionGroup, ControlKind::kGroupBox, L"Button", text::kStrVersionGroup, {30, 110, 340, 80}},
    {kBlankLabel, ControlKind::kLabel, L"STATIC", 0, {60, 140, 280, 40}},
    {kStartButton, ControlKind::kButton, L"button", text::kStrStart, {100, 210, 200, 50}},
    {kExitButton, ControlKind::kButton, L"button", text::kStrExit, {100, 300, 200, 50}},
    {kImageList, ControlKind::kDropDownList, L"ComboBox", 0, {60, 140, 280, 400}},
}};

constexpr const ControlEntry* FindControl(int id) {
  for (const ControlEntry& control : kControls)
    if (control.id == id) return &control;
  return nullptr;
}

}  // namespace vqr::ui
