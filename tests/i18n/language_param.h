// The name of a test instantiated for each language: its tag with '-' as '_' ("zh_TW"), since
// test names hold only letters, digits and '_'.
#pragma once

#include <string>

#include "text/string_table.h"

namespace vqr::testing {

struct LanguageParamName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    std::string name(text::LanguageTag(info.param));
    for (char& c : name)
      if (c == '-') c = '_';
    return name;
  }
};

}  // namespace vqr::testing
