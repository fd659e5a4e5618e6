// The window program's command line, the same for the Qt and the Win32 window: no argument,
// "--demo", "--version" (Qt only) alone, and "--lang TAG" (or "--lang=TAG") beside the first
// two, which overrides the language the environment names. Errors are in English, as every
// argument error of the programs is.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "text/string_table.h"

namespace vqr::ui {

struct WindowArguments {
  enum class Mode { kWindow, kDemo, kVersion, kUsage };
  Mode mode = Mode::kWindow;
  std::optional<text::Language> language;  // from --lang
  // With kUsage: what is wrong with --lang, empty when it is another argument.
  std::string languageError;
};

// `arguments` without the program name. `withVersion`: whether "--version" is one.
WindowArguments ParseWindowArguments(const std::vector<std::string_view>& arguments,
                                     bool withVersion);

// What is wrong with `tag` as a --lang value ("unknown language fr: use zh-TW, en, ja or
// zh-CN"); empty when it names a language.
std::string LanguageTagError(std::string_view tag);

}  // namespace vqr::ui
