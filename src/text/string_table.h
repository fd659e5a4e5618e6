// The program's string table (resources/strings.inc), for the front ends that do not load it
// from a Windows resource.
#pragma once

#include <string>

namespace vqr::text {

enum StringId : int {
  kStrClassName = 109,
  kStrStart = 132,
  kStrExit = 133,
  kStrDeviceGroup = 134,
  kStrVersionGroup = 135,
  kStrSearching = 136,
  kStrDownloading = 140,
  kStrAnalysis = 141,
  kStrCheckNetwork = 142,
};

// Entry `id`, cut to 99 units as a 100-unit load buffer holds it; empty when absent.
std::u16string StringTableEntry(int id);

}  // namespace vqr::text
