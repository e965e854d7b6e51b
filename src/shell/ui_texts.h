// The active language as the windows use it: entries of its table as
// QStrings, the face name every operator window asks for, and the code page
// in which account names and passwords are stored.
// Safe for concurrent use: immutable once made.
#pragma once

#include <QFont>
#include <QString>

#include <optional>
#include <string>

#include "shell/language.h"

class QLineEdit;

namespace rk::shell {

// Names and passwords are stored in at most this many bytes.
inline constexpr int kFieldBytes = 15;

class UiTexts {
public:
    explicit UiTexts(Language language) : language_(language) {}

    Language language() const { return language_; }
    QString operator()(int entry) const { return QString::fromUtf8(lang_text(language_, entry)); }
    // The operator windows' font: the language's face name at the size the
    // application already uses; fonts.h maps the name to an installed font.
    QFont font(const QFont& base) const;

    // Account names, account passwords and the system password are bytes.
    // The clients that create accounts run on Windows and send them in
    // their system's code page, the one that goes with this language:
    // GB18030 (simplified Chinese), Big5 (traditional), Windows-1252
    // (English). Bytes that are valid UTF-8 (from Linux clients or
    // `rkserver ctl`) read as UTF-8.
    QString shown(const std::string& bytes) const;
    // The bytes stored for a typed text; none when the code page lacks one
    // of its characters.
    std::optional<std::string> stored(const QString& text) const;
    // Limits `edit` to texts that store in kFieldBytes bytes or fewer;
    // `masked` shows '*' for each character.
    void limit_field(QLineEdit* edit, bool masked) const;

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
