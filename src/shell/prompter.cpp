#include "shell/prompter.h"

#include <QMessageBox>
#include <QPushButton>

namespace rk::shell {

void MessageBoxPrompter::error(QWidget* parent, const QString& caption, const QString& text) {
    QMessageBox::critical(parent, caption, text, QMessageBox::Ok);
}

bool MessageBoxPrompter::ask(QWidget* parent, const QString& caption, const QString& text,
                             const QString& accept, const QString& reject) {
    QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::NoButton, parent);
    auto* yes = box.addButton(accept, QMessageBox::YesRole);
    box.setEscapeButton(box.addButton(reject, QMessageBox::NoRole));
    box.exec();
    return box.clickedButton() == yes;
}

}  // namespace rk::shell
