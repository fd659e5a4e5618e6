// The name of a test instantiated for each language: its tag with '-' as '_' ("zh_TW"), since
// test names hold only letters, digits and '_'. For a table of cases in each language, the
// case's name before it ("OutdatedUpdater_zh_TW").
#pragma once

#include <string>
#include <tuple>

#include "text/string_table.h"

namespace vqr::testing {

inline std::string LanguageTestName(text::Language language) {
  std::string name(text::LanguageTag(language));
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

struct LanguageParamName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return LanguageTestName(info.param);
  }
};

// For parameters (language, case) whose case has a `name`.
struct LanguageCaseName {
  template <typename Info>
  std::string operator()(const Info& info) const {
    return std::string(std::get<1>(info.param).name) + "_" +
           LanguageTestName(std::get<0>(info.param));
  }
};

}  // namespace vqr::testing
