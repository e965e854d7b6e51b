// The active language as the windows use it: entries of its table as
// QStrings and the face name every operator window asks for.
// Safe for concurrent use: immutable once made.
#pragma once

#include <QFont>
#include <QString>

#include "shell/language.h"

namespace rk::shell {

class UiTexts {
public:
    explicit UiTexts(Language language) : language_(language) {}

    Language language() const { return language_; }
    QString operator()(int entry) const { return QString::fromUtf8(lang_text(language_, entry)); }
    // The operator windows' font: the language's face name at the size the
    // application already uses; fonts.h maps the name to an installed font.
    QFont font(const QFont& base) const {
        QFont font = base;
        font.setFamily(QString::fromUtf8(font_name(language_)));
        return font;
    }

private:
    Language language_;
};

// Entries the windows use by number, named where they are used more than once.
namespace entry {
inline constexpr int show_window = 0;
inline constexpr int exit = 1;
inline constexpr int title = 2;
inline constexpr int new_user = 8;
inline constexpr int start_service = 9;
inline constexpr int stop_service = 11;
inline constexpr int error = 19;
inline constexpr int remove = 25;
inline constexpr int ok = 58;
inline constexpr int cancel = 59;
}  // namespace entry

}  // namespace rk::shell
