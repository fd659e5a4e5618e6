#include "ui/shell/window_arguments.h"

namespace vqr::ui {

std::string LanguageTagError(std::string_view tag) {
  if (text::ParseLanguageTag(tag)) return {};
  std::string choices;
  for (std::size_t i = 0; i < text::kLanguages.size(); ++i) {
    if (i > 0) choices += i + 1 == text::kLanguages.size() ? " or " : ", ";
    choices += text::LanguageTag(text::kLanguages[i]);
  }
  if (tag.empty()) return "a language is needed: " + choices;
  return "unknown language " + std::string(tag) + ": use " + choices;
}

WindowArguments ParseWindowArguments(const std::vector<std::string_view>& arguments,
                                     bool withVersion) {
  using Mode = WindowArguments::Mode;
  WindowArguments result;
  bool demo = false;
  bool version = false;
  bool language = false;
  const auto usage = [&result] {
    result.mode = Mode::kUsage;
    return result;
  };
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string_view argument = arguments[i];
    if (argument == "--demo" && !demo) {
      demo = true;
    } else if (withVersion && argument == "--version" && !version) {
      version = true;
    } else if ((argument == "--lang" || argument.rfind("--lang=", 0) == 0) && !language) {
      language = true;
      std::string_view tag;
      if (argument.size() > 6) {
        tag = argument.substr(7);
      } else if (i + 1 < arguments.size()) {
        tag = arguments[++i];
      }
      const std::string error = LanguageTagError(tag);
      if (!error.empty()) {
        result.languageError = "--lang: " + error;
        return usage();
      }
      result.language = text::ParseLanguageTag(tag);
    } else {
      return usage();
    }
  }
  if (version) {
    if (demo || language) return usage();
    result.mode = Mode::kVersion;
  } else if (demo) {
    result.mode = Mode::kDemo;
  }
  return result;
}

}  // namespace vqr::ui
