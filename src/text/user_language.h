// The language a program speaks when no --lang chooses one.
#pragma once

#include "text/string_table.h"

namespace vqr::text {

// The user's language: on Windows the user's UI language (GetUserDefaultUILanguage), which
// Windows users set and which LC_ALL, LC_MESSAGES and LANG normally leave unset there; on
// other systems the locale that those variables name (LanguageFromLocale).
Language UserLanguage();

}  // namespace vqr::text
