#include "shell/about_dialog.h"

#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace rk::shell {

AboutDialog::AboutDialog(const UiTexts& texts, QWidget* parent) : QDialog(parent) {
    setFont(texts.font(font()));
    setWindowTitle(texts(3));
    setWindowFlags(windowFlags() & ~Qt::WindowContextHelpButtonHint);

    auto* icon = new QLabel(this);
    icon->setPixmap(QIcon(":/rkserver.svg").pixmap(64, 64));
    icon->setAlignment(Qt::AlignTop);

    auto* name = new QLabel(texts(4), this);
    QFont bold = name->font();
    bold.setBold(true);
    bold.setPointSizeF(bold.pointSizeF() * 1.2);
    name->setFont(bold);
    auto* version = new QLabel(texts(5) + " " + kVersionText, this);
    auto* author = new QLabel(texts(6), this);
    auto* site = new QLabel(
        texts(7) + QStringLiteral(" <a href=\"%1\">%1</a>").arg(QString::fromUtf8(kWebSite)), this);
    site->setTextFormat(Qt::RichText);
    site->setOpenExternalLinks(true);

    auto* lines = new QVBoxLayout;
    for (QLabel* label : {name, version, author, site}) lines->addWidget(label);
    lines->addStretch();
    auto* body = new QHBoxLayout;
    body->addWidget(icon);
    body->addSpacing(12);
    body->addLayout(lines);

    auto* buttons = new QDialogButtonBox(this);
    buttons->addButton(texts(entry::ok), QDialogButtonBox::AcceptRole)->setDefault(true);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(body);
    layout->addWidget(buttons);
    layout->setSizeConstraint(QLayout::SetFixedSize);
}

}  // namespace rk::shell
