// The operator windows' texts: three fixed tables (simplified Chinese,
// traditional Chinese, English) of 134 entries each, one chosen once at
// start-up from "LangIndex" or, when that is absent or 0, from the code page
// the locale implies. Texts are UTF-8 here; the entry numbers are the ones
// every table shares.
// Safe for concurrent use: the tables are constants.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/env.h"

namespace rk::shell {

enum class Language { simplified_chinese, traditional_chinese, english };

inline constexpr int kLanguageEntries = 134;

// The code page a Windows system of this locale would have: 936 for zh_CN,
// 950 for zh_TW and zh_HK, 437 for anything else (an empty locale, "C",
// "POSIX" included). Codeset and modifier ("zh_CN.UTF-8@x") are ignored.
int code_page_of_locale(std::string_view locale);

// The locale that decides the character set: LC_ALL, else LC_CTYPE, else
// LANG, the first that is set and not empty; "" when none is.
std::string active_locale(platform::Env& env);

// "LangIndex" 1: simplified Chinese, 2: traditional Chinese, any other
// non-zero value: English; absent or 0: by code_page_of_locale(locale).
Language select_language(std::optional<std::int64_t> lang_index, std::string_view locale);

// The face name the windows ask for in each language: "宋体", "細明體" or
// "MS Sans Serif"; the shell maps them to installed fonts.
std::string_view font_name(Language language);

// Entry `entry` of the language's table; "" for a number outside 0..133.
std::string_view lang_text(Language language, int entry);

}  // namespace rk::shell
