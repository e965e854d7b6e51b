// The operator window: a page of accounts (list, name, password, forbidden
// mark, new, delete) and a page of settings (service start/stop and its
// lamp, autostart, bandwidth, the two switches, conversion, purge and their
// status line), with the activity lamp and the Hide, Server Password and
// About buttons below. Every control drives core::Server; the account list
// follows the server's changes as they happen, the lamps once a second.
// Closing it saves changed settings and hides it, or, where there is no
// tray to come back from, offers to end the program instead.
// REQUIRES: GUI thread.
#pragma once

#include <QFuture>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/server.h"
#include "platform/autostart.h"
#include "shell/prompter.h"
#include "shell/ui_texts.h"

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTabWidget;

namespace rk::shell {

class Lamp;
class PasswordChangeDialog;

// Where the autostart entry lives and which program it starts.
struct AutostartTarget {
    const platform::Autostart& entry;
    std::string program;
};

class OperatorWindow : public QWidget {
    Q_OBJECT
public:
    OperatorWindow(core::Server& server, const UiTexts& texts, Prompter& prompter,
                   AutostartTarget autostart, QWidget* parent = nullptr);
    ~OperatorWindow() override;

    // Without a tray the window is the only way in: closing it asks
    // exit_offered instead of hiding.
    void set_close_offers_exit(bool offers) { close_offers_exit_ = offers; }

    // The service button's handler: starts the service when it is stopped,
    // stops it when it runs. Start-up presses it once.
    void toggle_service();
    // Lamps, hint and service caption as the server has them.
    void refresh_status();
    std::string system_password() const;
    // Old saves await conversion; clients get no answer until it is done.
    bool convert_pending() const;
    // Whether a purge or conversion is running.
    bool job_running() const { return job_.isRunning(); }
    void wait_for_job() { job_.waitForFinished(); }

    QTabWidget* pages() const { return pages_; }

signals:
    void exit_offered();

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QWidget* create_account_page();
    QWidget* create_settings_page();
    QLayout* create_bottom_row();
    void load_settings();

    void select_account(int index);
    void refresh_user_page();
    void sync_accounts();
    void field_changed();
    void name_finished();
    void took(const core::EditResult& result);
    void new_account();
    void delete_account();

    void bandwidth_changed(int value);
    void allow_new_users_changed(bool on);
    void serve_client_ini_changed(bool on);
    void autostart_changed(bool on);
    void purge_age_changed(int index);
    void change_password();

    void purge();
    void convert();
    void offer_conversion();
    void follow_job();
    void show_job_status(const maintenance::Progress& progress);
    void save_if_modified();

    core::Server& server_;
    const UiTexts& texts_;
    Prompter& prompter_;
    AutostartTarget autostart_;
    bool close_offers_exit_ = false;
    bool loading_ = false;
    int selected_index_ = -1;
    // The accounts as listed, and the selected one as its fields show it.
    std::vector<core::AccountView> rows_;
    accounts::AccountStamp selected_ref_;
    std::string selected_name_;  // as stored
    std::uint64_t listener_ = 0;
    int purge_days_ = 0;
    enum class Job { none, purge, conversion } job_kind_ = Job::none;
    QFuture<void> job_;
    std::optional<core::Server::ConversionOutcome> conversion_;
    std::optional<maintenance::PurgeResult> purge_result_;
    QTimer status_timer_;
    QTimer job_timer_;

    QTabWidget* pages_;
    QListWidget* account_list_;
    QLineEdit* user_field_;
    QLineEdit* password_field_;
    QCheckBox* forbid_box_;
    QPushButton* new_button_;
    QPushButton* delete_button_;
    QPushButton* service_button_;
    Lamp* service_lamp_;
    QCheckBox* autostart_box_;
    QSpinBox* bandwidth_field_;
    QCheckBox* allow_new_users_box_;
    QCheckBox* serve_client_ini_box_;
    QPushButton* convert_button_;
    QComboBox* purge_age_;
    QPushButton* purge_button_;
    QLabel* status_label_;
    Lamp* activity_lamp_;
    PasswordChangeDialog* password_dialog_;
};

}  // namespace rk::shell
