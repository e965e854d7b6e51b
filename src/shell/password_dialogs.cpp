#include "shell/password_dialogs.h"

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>


namespace rk::shell {
namespace {

// Lays out `fields` as labelled rows above an OK and a Cancel button;
// OK is the default button (Enter), Cancel answers Esc and the close box.
QDialogButtonBox* build(QDialog* dialog, const UiTexts& texts,
                        std::initializer_list<std::pair<int, QLineEdit*>> fields) {
    dialog->setFont(texts.font(dialog->font()));
    auto* form = new QFormLayout;
    for (const auto& [label_entry, field] : fields) {
        texts.limit_field(field, true);
        field->setMinimumWidth(160);
        auto* label = new QLabel(texts(label_entry), dialog);
        label->setBuddy(field);
        form->addRow(label, field);
    }
    auto* buttons = new QDialogButtonBox(dialog);
    auto* ok = buttons->addButton(texts(entry::ok), QDialogButtonBox::AcceptRole);
    buttons->addButton(texts(entry::cancel), QDialogButtonBox::RejectRole);
    ok->setDefault(true);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);

    auto* layout = new QVBoxLayout(dialog);
    layout->addLayout(form);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
    dialog->setWindowFlags(dialog->windowFlags() & ~Qt::WindowContextHelpButtonHint);
    return buttons;
}

}  // namespace

PasswordCheckDialog::PasswordCheckDialog(const UiTexts& texts, Prompter& prompter, QWidget* parent)
    : QDialog(parent), texts_(texts), prompter_(prompter), password_(new QLineEdit(this)) {
    setWindowTitle(texts(61));
    auto* buttons = build(this, texts, {{62, password_}});
    connect(buttons, &QDialogButtonBox::accepted, this, &PasswordCheckDialog::confirm);
}

bool PasswordCheckDialog::check(const std::string& expected) {
    expected_ = expected;
    password_->clear();
    password_->setFocus();
    return exec() == QDialog::Accepted;
}

void PasswordCheckDialog::confirm() {
    if (texts_.stored(password_->text()) != expected_) {
        prompter_.error(this, texts_(entry::error), texts_(63));
        password_->selectAll();
        password_->setFocus();
        return;
    }
    accept();
}

PasswordChangeDialog::PasswordChangeDialog(const UiTexts& texts, Prompter& prompter,
                                           QWidget* parent)
    : QDialog(parent),
      texts_(texts),
      prompter_(prompter),
      old_(new QLineEdit(this)),
      new_(new QLineEdit(this)),
      confirm_(new QLineEdit(this)) {
    setWindowTitle(texts(64));
    auto* buttons = build(this, texts, {{65, old_}, {66, new_}, {67, confirm_}});
    connect(buttons, &QDialogButtonBox::accepted, this, &PasswordChangeDialog::confirm);
}

std::optional<std::string> PasswordChangeDialog::change(const std::string& current) {
    current_ = current;
    old_->clear();
    new_->clear();
    confirm_->clear();
    old_->setFocus();
    if (exec() != QDialog::Accepted) return std::nullopt;
    return texts_.stored(new_->text()).value_or(std::string());
}

void PasswordChangeDialog::confirm() {
    if (texts_.stored(old_->text()) != current_) {
        prompter_.error(this, texts_(entry::error), texts_(68));
        return;
    }
    if (new_->text() != confirm_->text()) {
        prompter_.error(this, texts_(entry::error), texts_(69));
        return;
    }
    accept();
}

}  // namespace rk::shell
