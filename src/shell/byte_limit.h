// Account names and passwords are stored in at most 15 bytes. An edit that
// counted characters would let a Chinese text grow past that and be cut in
// the middle of a character; this validator counts the UTF-8 bytes instead.
// REQUIRES: GUI thread.
#pragma once

#include <QLineEdit>
#include <QValidator>

#include <string>

namespace rk::shell {

inline constexpr int kFieldBytes = 15;

class ByteLimitValidator : public QValidator {
public:
    explicit ByteLimitValidator(int bytes, QObject* parent = nullptr)
        : QValidator(parent), bytes_(bytes) {}
    State validate(QString& input, int&) const override {
        return input.toUtf8().size() <= bytes_ ? Acceptable : Invalid;
    }

private:
    int bytes_;
};

// Names and passwords are stored as the UTF-8 bytes typed.
inline std::string stored_bytes(const QString& text) { return text.toUtf8().toStdString(); }
inline QString shown_text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), qsizetype(bytes.size()));
}

// Limits `edit` to kFieldBytes bytes; `masked` shows '*' for each character.
inline void limit_field(QLineEdit* edit, bool masked) {
    edit->setValidator(new ByteLimitValidator(kFieldBytes, edit));
    edit->setMaxLength(kFieldBytes);
    if (masked) edit->setEchoMode(QLineEdit::Password);
}

}  // namespace rk::shell
