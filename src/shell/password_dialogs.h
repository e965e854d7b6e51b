// The two small windows of the system password: the check that guards
// showing the operator window and exiting, and the change window. The
// password is compared byte for byte, letter case included; both windows
// stay open after a wrong entry, with no limit on attempts.
// REQUIRES: GUI thread.
#pragma once

#include <QDialog>
#include <optional>
#include <string>

#include "shell/prompter.h"
#include "shell/ui_texts.h"

class QLineEdit;

namespace rk::shell {

class PasswordCheckDialog : public QDialog {
    Q_OBJECT
public:
    PasswordCheckDialog(const UiTexts& texts, Prompter& prompter, QWidget* parent = nullptr);

    // Shows the window modally; true when the password typed equals `expected`.
    bool check(const std::string& expected);

    QLineEdit* password_field() const { return password_; }

private:
    void confirm();

    const UiTexts& texts_;
    Prompter& prompter_;
    QLineEdit* password_;
    std::string expected_;
};

class PasswordChangeDialog : public QDialog {
    Q_OBJECT
public:
    PasswordChangeDialog(const UiTexts& texts, Prompter& prompter, QWidget* parent = nullptr);

    // Shows the window modally with empty fields; the new password once the
    // old one was right and the new one typed twice alike, else nothing.
    std::optional<std::string> change(const std::string& current);

    QLineEdit* old_field() const { return old_; }
    QLineEdit* new_field() const { return new_; }
    QLineEdit* confirm_field() const { return confirm_; }

private:
    void confirm();

    const UiTexts& texts_;
    Prompter& prompter_;
    QLineEdit* old_;
    QLineEdit* new_;
    QLineEdit* confirm_;
    std::string current_;
};

}  // namespace rk::shell
