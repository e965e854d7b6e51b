// The About window: product name, version (kVersionText), author line and the web
// site, shown modally from the operator window.
// REQUIRES: GUI thread.
#pragma once

#include <QDialog>

#include "shell/ui_texts.h"
#include "shell/version.h"

namespace rk::shell {

inline constexpr const char* kWebSite = "https://rkserver.example.org/";

class AboutDialog : public QDialog {
    Q_OBJECT
public:
    AboutDialog(const UiTexts& texts, QWidget* parent = nullptr);
};

}  // namespace rk::shell
