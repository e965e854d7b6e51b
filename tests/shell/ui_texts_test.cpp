// How the windows turn stored name and password bytes into text and back:
// the code page of the language, UTF-8 bytes read as such, and the 15-byte
// limit counted in stored bytes.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QTest>
#include <QValidator>

#include <optional>
#include <string>

#include "shell/ui_texts.h"

namespace rk::shell {
namespace {

struct TextCase {
    const char* what;
    Language language;
    std::string bytes;  // as stored
    const char* text;   // as shown, UTF-8
};

TEST(UiTexts, StoredBytesShowInTheLanguagesCodePageOrAsUtf8) {
    const TextCase cases[] = {
        {"ascii", Language::english, "alice", "alice"},
        {"gbk from a simplified Chinese client", Language::simplified_chinese, "\xD5\xC5\xC8\xFD", "张三"},
        {"big5 from a traditional Chinese client", Language::traditional_chinese, "\xB1\x69\xA4\x54",
         "張三"},
        {"windows-1252 from an English client", Language::english, "Jos\xE9", "José"},
        {"utf-8 from a Linux client", Language::simplified_chinese, "\xE5\xBC\xA0\xE4\xB8\x89", "张三"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        const UiTexts texts(c.language);
        EXPECT_EQ(texts.shown(c.bytes), QString::fromUtf8(c.text));
    }
}

TEST(UiTexts, TypedTextIsStoredInTheLanguagesCodePage) {
    const TextCase cases[] = {
        {"simplified", Language::simplified_chinese, "\xD5\xC5\xC8\xFD", "张三"},
        {"traditional", Language::traditional_chinese, "\xB1\x69\xA4\x54", "張三"},
        {"english", Language::english, "Jos\xE9", "José"},
    };
    for (const TextCase& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(UiTexts(c.language).stored(QString::fromUtf8(c.text)), c.bytes);
    }
    EXPECT_EQ(UiTexts(Language::english).stored(QString::fromUtf8("张三")), std::nullopt)
        << "a character the code page lacks cannot be stored";
}

TEST(UiTexts, FieldsTakeFifteenStoredBytes) {
    const UiTexts texts(Language::simplified_chinese);
    QLineEdit field;
    texts.limit_field(&field, true);
    EXPECT_EQ(field.echoMode(), QLineEdit::Password);
    // Chinese characters cannot be typed through QTest; ask the field's
    // validator what typing them would leave.
    const auto accepts = [&](const char* text) {
        QString input = QString::fromUtf8(text);
        int position = int(input.size());
        return field.validator()->validate(input, position) == QValidator::Acceptable;
    };
    EXPECT_TRUE(accepts("一二三四五六七"));      // 14 bytes in GB18030
    EXPECT_TRUE(accepts("一二三四五六七x"));     // 15
    EXPECT_FALSE(accepts("一二三四五六七八"))    // 16: stored, it would be cut inside a character
        << "an eighth character";
    QTest::keyClicks(&field, "abcdefghijklmnopq");
    EXPECT_EQ(field.text(), "abcdefghijklmno");
}

}  // namespace
}  // namespace rk::shell
