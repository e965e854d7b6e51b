// The message boxes the windows show: one place, so that tests can answer
// them instead of a person.
// REQUIRES: GUI thread.
#pragma once

#include <QString>

class QWidget;

namespace rk::shell {

class Prompter {
public:
    virtual ~Prompter() = default;
    // An error with an OK button.
    virtual void error(QWidget* parent, const QString& caption, const QString& text) = 0;
    // A question; true only for the accepting answer.
    virtual bool ask(QWidget* parent, const QString& caption, const QString& text,
                     const QString& accept, const QString& reject) = 0;
};

// Modal QMessageBox windows.
class MessageBoxPrompter : public Prompter {
public:
    void error(QWidget* parent, const QString& caption, const QString& text) override;
    bool ask(QWidget* parent, const QString& caption, const QString& text, const QString& accept,
             const QString& reject) override;
};

}  // namespace rk::shell
