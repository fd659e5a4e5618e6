#include "text/user_language.h"

#include <cstdlib>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace vqr::text {

Language UserLanguage() {
#if defined(_WIN32)
  return LanguageFromWindowsLangId(GetUserDefaultUILanguage());
#else
  return LanguageFromLocale(std::getenv("LC_ALL"), std::getenv("LC_MESSAGES"), std::getenv("LANG"));
#endif
}

}  // namespace vqr::text
