#include "shell/language.h"

#include <utility>

namespace rk::shell {

int code_page_of_locale(std::string_view locale) {
    const std::string_view territory = locale.substr(0, locale.find_first_of(".@"));
    if (territory == "zh_CN") return 936;
    if (territory == "zh_TW" || territory == "zh_HK") return 950;
    return 437;
}

std::string active_locale(platform::Env& env) {
    // The order the C library itself consults for the character set.
    for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        std::optional<std::string> value = env.get_env(name);
        if (value && !value->empty()) return std::move(*value);
    }
    return {};
}

Language select_language(std::optional<std::int64_t> lang_index, std::string_view locale) {
    if (lang_index && *lang_index != 0) {
        if (*lang_index == 1) return Language::simplified_chinese;
        if (*lang_index == 2) return Language::traditional_chinese;
        return Language::english;
    }
    switch (code_page_of_locale(locale)) {
        case 936:
            return Language::simplified_chinese;
        case 950:
            return Language::traditional_chinese;
        default:
            return Language::english;
    }
}

std::string_view font_name(Language language) {
    switch (language) {
        case Language::simplified_chinese:
            return "宋体";
        case Language::traditional_chinese:
            return "細明體";
        case Language::english:
            break;
    }
    return "MS Sans Serif";
}

}  // namespace rk::shell
