#include "shell/language.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <ctime>
#include <limits>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

#include "testing/unsupported_env.h"

namespace rk::shell {
namespace {

constexpr Language kLanguages[] = {Language::simplified_chinese, Language::traditional_chinese,
                                   Language::english};

// An Env that answers only get_env, from a fixed set of variables.
class VariablesEnv final : public platform::testing::UnsupportedEnv {
public:
    explicit VariablesEnv(std::map<std::string, std::string> variables)
        : variables_(std::move(variables)) {}

    std::optional<std::string> get_env(const std::string& name) override {
        const auto found = variables_.find(name);
        if (found == variables_.end()) return std::nullopt;
        return found->second;
    }

private:
    std::map<std::string, std::string> variables_;
};

TEST(CodePage, ComesFromLanguageAndTerritoryAlone) {
    struct Case {
        const char* locale;
        int code_page;
    };
    const std::vector<Case> cases = {
        {"zh_CN", 936},  {"zh_CN.GB18030", 936}, {"zh_CN@stroke", 936}, {"zh_CN.UTF-8@x", 936},
        {"zh_TW", 950},  {"zh_TW.Big5", 950},    {"zh_HK.UTF-8", 950},  {"zh_HK@x", 950},
        {"zh", 437},     {"zh_SG.UTF-8", 437},   {"zh_cn.utf8", 437},   {"zh_CNX", 437},
        {"xzh_CN", 437}, {"en_US.zh_CN", 437},   {"en_US@zh_TW", 437},  {"en_US.UTF-8", 437},
        {"C", 437},      {"C.UTF-8", 437},       {"POSIX", 437},        {"", 437},
        {".@", 437},
    };
    for (const Case& c : cases) EXPECT_EQ(code_page_of_locale(c.locale), c.code_page) << c.locale;
}

TEST(SelectLanguage, LangIndexWinsUnlessAbsentOrZero) {
    constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
    struct Case {
        std::optional<std::int64_t> lang_index;
        const char* locale;
        Language expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, "zh_CN.UTF-8", Language::simplified_chinese},
        {std::nullopt, "zh_CN@stroke", Language::simplified_chinese},
        {std::nullopt, "zh_TW.Big5", Language::traditional_chinese},
        {std::nullopt, "zh_HK.UTF-8", Language::traditional_chinese},
        {std::nullopt, "en_US.UTF-8", Language::english},
        {std::nullopt, "C", Language::english},
        {std::nullopt, "", Language::english},
        {0, "zh_CN.UTF-8", Language::simplified_chinese},
        {0, "zh_TW.Big5", Language::traditional_chinese},
        {0, "en_US.UTF-8", Language::english},
        {1, "en_US.UTF-8", Language::simplified_chinese},
        {1, "zh_TW.Big5", Language::simplified_chinese},
        {2, "zh_CN.UTF-8", Language::traditional_chinese},
        {2, "", Language::traditional_chinese},
        {3, "zh_CN.UTF-8", Language::english},
        {-1, "zh_TW.Big5", Language::english},
        // Cut to 32 bits these would read as 1 and 0.
        {(std::int64_t{1} << 32) + 1, "en_US.UTF-8", Language::english},
        {std::int64_t{1} << 32, "zh_CN.UTF-8", Language::english},
        {kMax, "zh_HK.UTF-8", Language::english},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(select_language(c.lang_index, c.locale), c.expected)
            << (c.lang_index ? std::to_string(*c.lang_index) : "absent") << " " << c.locale;
    }
}

TEST(ActiveLocale, FirstNonEmptyOfLcAllLcCtypeLang) {
    struct Case {
        std::map<std::string, std::string> variables;
        const char* expected;
    };
    const std::vector<Case> cases = {
        {{}, ""},
        {{{"LANG", "zh_CN.UTF-8"}}, "zh_CN.UTF-8"},
        {{{"LC_CTYPE", "zh_TW.Big5"}, {"LANG", "en_US.UTF-8"}}, "zh_TW.Big5"},
        {{{"LC_ALL", "C"}, {"LC_CTYPE", "zh_TW.Big5"}, {"LANG", "zh_CN"}}, "C"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", "zh_HK.UTF-8"}, {"LANG", "en_US"}}, "zh_HK.UTF-8"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", "zh_CN"}}, "zh_CN"},
        {{{"LC_ALL", ""}, {"LC_CTYPE", ""}, {"LANG", ""}}, ""},
        // Only the character set counts: message and list languages do not.
        {{{"LC_MESSAGES", "zh_CN"}, {"LANGUAGE", "zh_TW"}, {"LANG", "en_US"}}, "en_US"},
        {{{"LC_MESSAGES", "zh_CN"}, {"LANGUAGE", "zh_TW"}}, ""},
    };
    for (const Case& c : cases) {
        VariablesEnv env(c.variables);
        EXPECT_EQ(active_locale(env), c.expected) << "expected " << c.expected;
    }
}

TEST(FontName, OnePerLanguage) {
    // Spelt out in bytes, so a source file saved in another encoding cannot
    // agree with itself.
    EXPECT_EQ(font_name(Language::simplified_chinese), "\xE5\xAE\x8B\xE4\xBD\x93");  // 宋体
    EXPECT_EQ(font_name(Language::traditional_chinese),
              "\xE7\xB4\xB0\xE6\x98\x8E\xE9\xAB\x94");  // 細明體
    EXPECT_EQ(font_name(Language::english), "MS Sans Serif");
}

TEST(LangText, KnownEntriesInEachLanguage) {
    struct Case {
        int entry;
        const char* english;
        const char* simplified;
        const char* traditional;
    };
    const std::vector<Case> cases = {
        {0, "&Show window", "显示主窗口(&S)", "顯示主窗口(&S)"},
        {1, "E&xit", "退出程序(&X)", "退出程序(&X)"},
        {2, "rkServer 2.23 (Server)", "rkServer 2.23 (Server)", "rkServer 2.23 (Server)"},
        {9, "Start Service", "启动服务", "啟動服務"},
        {19, "Error", "错误", "錯誤"},
        {35, "&Hide", "隐藏", "隱藏"},
        {63, "Sorry, Wrong Password.", "对不起，您输入的密码不正确。",
         "對不起，您輸入的密碼不正確。"},
        {68, "Old Password is Worng.", "您输入的旧密码不正确。", "您輸入的舊密碼不正確。"},
        {69, "Confirm Password mismatch, Please Input Again", "您两次输入的新密码不一致。",
         "您兩次輸入的新密碼不一致。"},
        {126, ", Transmitting...", ", 传输中...", ", 傳輸中..."},
        {127, "Connections: ", "连接数: ", "連接數: "},
        {131, "Delete > 6 months Files", "删除半年前的存档", "刪除半年前的存檔"},
        {132, "Delete > 3 months Files ", "删除3个月前的存档", "刪除3個月前的存檔"},
        {133, "Delete > 30 days Files ", "删除30天前的存档", "刪除30天前的存檔"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lang_text(Language::english, c.entry), c.english) << c.entry;
        EXPECT_EQ(lang_text(Language::simplified_chinese, c.entry), c.simplified) << c.entry;
        EXPECT_EQ(lang_text(Language::traditional_chinese, c.entry), c.traditional) << c.entry;
    }
}

TEST(LangText, OnlyTheUnusedEntriesAreEmpty) {
    for (const Language language : kLanguages) {
        for (int entry = 0; entry < kLanguageEntries; ++entry) {
            const bool unused = entry >= 72 && entry <= 78;
            EXPECT_EQ(lang_text(language, entry).empty(), unused)
                << "entry " << entry << " of table " << static_cast<int>(language);
        }
    }
}

TEST(LangText, NumbersOutsideTheTablesGiveEmptyText) {
    for (const Language language : kLanguages) {
        for (const int entry : {-1, kLanguageEntries, std::numeric_limits<int>::min(),
                                std::numeric_limits<int>::max()}) {
            EXPECT_EQ(lang_text(language, entry), "") << entry;
        }
    }
}

// Callers fill in %n and append to texts, so a translation must carry the
// same placeholders and the same blanks at its ends as the English text.
TEST(LangText, TranslationsKeepPlaceholdersAndEdgeBlanks) {
    const auto placeholders = [](std::string_view text) {
        std::string digits;
        for (std::size_t i = text.find('%'); i != std::string_view::npos && i + 1 < text.size();
             i = text.find('%', i + 1)) {
            digits += text[i + 1];
        }
        std::sort(digits.begin(), digits.end());
        return digits;
    };
    const auto edges = [](std::string_view text) {
        return std::string{text.empty() || text.front() != ' ' ? "" : "lead"} +
               (text.empty() || text.back() != ' ' ? "" : "+trail");
    };
    for (const Language language : {Language::simplified_chinese, Language::traditional_chinese}) {
        for (int entry = 0; entry < kLanguageEntries; ++entry) {
            const std::string_view english = lang_text(Language::english, entry);
            const std::string_view text = lang_text(language, entry);
            EXPECT_EQ(placeholders(text), placeholders(english)) << entry << ": " << text;
            // The Chinese texts of 132 and 133 never had the English trailing blank.
            if (entry == 132 || entry == 133) continue;
            EXPECT_EQ(edges(text), edges(english)) << entry << ": " << text;
        }
    }
}

}  // namespace
}  // namespace rk::shell
