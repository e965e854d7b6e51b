#include "shell/ui_texts.h"

#include <QLineEdit>
#include <QStringDecoder>
#include <QStringEncoder>
#include <QValidator>

namespace rk::shell {
namespace {

const char* code_page(Language language) {
    switch (language) {
        case Language::simplified_chinese: return "GB18030";
        case Language::traditional_chinese: return "Big5";
        case Language::english: break;
    }
    return "windows-1252";
}

// A byte count would let a Chinese text grow past the stored size and be
// cut in the middle of a character; this counts the bytes as stored.
class StoredSizeValidator : public QValidator {
public:
    StoredSizeValidator(const UiTexts& texts, QObject* parent) : QValidator(parent), texts_(texts) {}
    State validate(QString& input, int&) const override {
        const auto bytes = texts_.stored(input);
        return bytes && bytes->size() <= std::size_t(kFieldBytes) ? Acceptable : Invalid;
    }

private:
    const UiTexts& texts_;
};

}  // namespace

QFont UiTexts::font(const QFont& base) const {
    QFont font = base;
    font.setFamily(QString::fromUtf8(font_name(language_)));
    return font;
}

QString UiTexts::shown(const std::string& bytes) const {
    const QByteArrayView view(bytes.data(), qsizetype(bytes.size()));
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8(view);
    if (!utf8.hasError()) return text;
    QStringDecoder local(code_page(language_));
    return local(view);
}

std::optional<std::string> UiTexts::stored(const QString& text) const {
    QStringEncoder local(code_page(language_));
    const QByteArray bytes = local(text);
    if (local.hasError()) return std::nullopt;
    return bytes.toStdString();
}

void UiTexts::limit_field(QLineEdit* edit, bool masked) const {
    edit->setValidator(new StoredSizeValidator(*this, edit));
    edit->setMaxLength(kFieldBytes);
    if (masked) edit->setEchoMode(QLineEdit::Password);
}

}  // namespace rk::shell
