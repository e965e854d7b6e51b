#include "shell/operator_window.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QShortcut>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrent>

#include "shell/about_dialog.h"
#include "shell/lamp.h"
#include "shell/password_dialogs.h"

namespace rk::shell {
namespace {

using maintenance::Step;

// The conversion belongs to the old version's Chinese edition: its texts
// are the same in every language.
const QString kConvertButton = QString::fromUtf8("转换旧版存档");
const QString kConvertCaption = QString::fromUtf8("警告");
const QString kConvertQuestion =
    QString::fromUtf8("发现旧版存档数据, 只有转换为新的存档格式才能正常使用!\n要转换吗?");
const QString kConvertYes = QString::fromUtf8("是(&Y)");
const QString kConvertNo = QString::fromUtf8("否(&N)");
const QString kConvertError = QString::fromUtf8("错误");
const QString kConvertFailed = QString::fromUtf8("转换失败！");

QString conversion_text(const maintenance::Progress& progress) {
    const QString subject = QString::fromStdString(progress.subject);
    switch (progress.step) {
    case Step::searching: return QString::fromUtf8("搜索存档...");
    case Step::unpacking: return QString::fromUtf8("解压存档: ") + subject;
    case Step::extracting: return QString::fromUtf8("提取文件: ") + subject;
    case Step::deleting: return {};
    case Step::finished: return QString::fromUtf8("转换完毕！");
    case Step::failed:
    case Step::stopped: return kConvertFailed;
    }
    return {};
}

constexpr int kPurgeDays[] = {180, 90, 30};

}  // namespace

OperatorWindow::OperatorWindow(core::Server& server, const UiTexts& texts, Prompter& prompter,
                               AutostartTarget autostart, QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowCloseButtonHint |
                          Qt::WindowTitleHint | Qt::CustomizeWindowHint),
      server_(server),
      texts_(texts),
      prompter_(prompter),
      autostart_(std::move(autostart)) {
    setObjectName("operatorWindow");
    setFont(texts.font(font()));
    setWindowTitle(texts(entry::title));
    setWindowIcon(QIcon(":/rkserver.svg"));

    pages_ = new QTabWidget(this);
    pages_->setObjectName("PageCon");
    pages_->addTab(create_account_page(), texts(22));
    pages_->addTab(create_settings_page(), texts(48));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pages_);
    layout->addLayout(create_bottom_row());
    // As large as the texts of the language need, and not resizable.
    layout->setSizeConstraint(QLayout::SetFixedSize);

    password_dialog_ = new PasswordChangeDialog(texts, prompter, this);

    load_settings();  // with no account selected yet: fields empty and disabled
    // Accounts created by clients or through the command line appear at once.
    listener_ = server_.add_accounts_listener([this] {
        QMetaObject::invokeMethod(this, &OperatorWindow::sync_accounts, Qt::QueuedConnection);
    });
    connect(&status_timer_, &QTimer::timeout, this, &OperatorWindow::refresh_status);
    status_timer_.start(1000);
    connect(&job_timer_, &QTimer::timeout, this, &OperatorWindow::follow_job);
    refresh_status();
}

OperatorWindow::~OperatorWindow() {
    // The controls go after this object has stopped being an OperatorWindow;
    // a focused field that emits editingFinished on its way out must not
    // reach it.
    for (QObject* child : findChildren<QObject*>()) QObject::disconnect(child, nullptr, this, nullptr);
    server_.remove_accounts_listener(listener_);
    if (job_.isRunning()) {
        server_.stop_jobs();
        job_.waitForFinished();
    }
}

QWidget* OperatorWindow::create_account_page() {
    auto* page = new QWidget;
    page->setObjectName("accPage");

    auto* list_label = new QLabel(texts_(23), page);
    account_list_ = new QListWidget(page);
    account_list_->setObjectName("liAccount");
    list_label->setBuddy(account_list_);
    connect(account_list_, &QListWidget::currentRowChanged, this, &OperatorWindow::select_account);

    user_field_ = new QLineEdit(page);
    user_field_->setObjectName("edUser");
    texts_.limit_field(user_field_, false);
    password_field_ = new QLineEdit(page);
    password_field_->setObjectName("edPass");
    texts_.limit_field(password_field_, true);
    forbid_box_ = new QCheckBox(texts_(28), page);
    forbid_box_->setObjectName("chkForbid");
    connect(user_field_, &QLineEdit::editingFinished, this, &OperatorWindow::name_finished);
    connect(password_field_, &QLineEdit::textEdited, this, &OperatorWindow::field_changed);
    connect(forbid_box_, &QCheckBox::clicked, this, &OperatorWindow::field_changed);

    new_button_ = new QPushButton(texts_(24), page);
    new_button_->setObjectName("btnNew");
    new_button_->setToolTip(texts_(24));
    delete_button_ = new QPushButton(texts_(entry::remove), page);
    delete_button_->setObjectName("btnDel");
    delete_button_->setToolTip(texts_(entry::remove));
    connect(new_button_, &QPushButton::clicked, this, &OperatorWindow::new_account);
    connect(delete_button_, &QPushButton::clicked, this, &OperatorWindow::delete_account);

    auto* fields = new QFormLayout;
    auto* user_label = new QLabel(texts_(26), page);
    user_label->setBuddy(user_field_);
    auto* password_label = new QLabel(texts_(27), page);
    password_label->setBuddy(password_field_);
    fields->addRow(user_label, user_field_);
    fields->addRow(password_label, password_field_);
    fields->addRow(forbid_box_);

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(new_button_);
    buttons->addWidget(delete_button_);
    buttons->addStretch();

    auto* right = new QVBoxLayout;
    right->addLayout(fields);
    right->addStretch();
    right->addLayout(buttons);

    auto* left = new QVBoxLayout;
    left->addWidget(list_label);
    left->addWidget(account_list_);

    auto* layout = new QHBoxLayout(page);
    layout->addLayout(left, 2);
    layout->addLayout(right, 3);
    return page;
}

QWidget* OperatorWindow::create_settings_page() {
    auto* page = new QWidget;
    page->setObjectName("sysPage");

    service_button_ = new QPushButton(texts_(entry::start_service), page);
    service_button_->setObjectName("StartIt");
    connect(service_button_, &QPushButton::clicked, this, &OperatorWindow::toggle_service);
    service_lamp_ = new Lamp(page);
    service_lamp_->setObjectName("svrButton");

    autostart_box_ = new QCheckBox(texts_(38), page);
    autostart_box_->setObjectName("chkAuto");
    autostart_box_->setToolTip(texts_(39));
    connect(autostart_box_, &QCheckBox::toggled, this, &OperatorWindow::autostart_changed);

    auto* bandwidth_label = new QLabel(texts_(113), page);
    bandwidth_field_ = new QSpinBox(page);
    bandwidth_field_->setObjectName("edTBandW");
    bandwidth_field_->setRange(0, 9999);
    bandwidth_field_->setToolTip(texts_(116));
    // The limit applies to running transfers at once: not 5, then 51, then
    // 512 while "512" is typed, but once the field is left or Enter pressed.
    bandwidth_field_->setKeyboardTracking(false);
    bandwidth_label->setBuddy(bandwidth_field_);
    connect(bandwidth_field_, &QSpinBox::valueChanged, this, &OperatorWindow::bandwidth_changed);

    allow_new_users_box_ = new QCheckBox(texts_(129), page);
    allow_new_users_box_->setObjectName("CheckBox1");
    connect(allow_new_users_box_, &QCheckBox::toggled, this, &OperatorWindow::allow_new_users_changed);
    serve_client_ini_box_ = new QCheckBox(texts_(130), page);
    serve_client_ini_box_->setObjectName("CheckBox2");
    connect(serve_client_ini_box_, &QCheckBox::toggled, this,
            &OperatorWindow::serve_client_ini_changed);

    convert_button_ = new QPushButton(kConvertButton, page);
    convert_button_->setObjectName("Button1");
    convert_button_->setVisible(texts_.language() == Language::simplified_chinese);
    connect(convert_button_, &QPushButton::clicked, this, &OperatorWindow::convert);

    purge_age_ = new QComboBox(page);
    purge_age_->setObjectName("ComboBox1");
    for (int item : {131, 132, 133}) purge_age_->addItem(texts_(item));
    purge_age_->setCurrentIndex(-1);
    connect(purge_age_, &QComboBox::currentIndexChanged, this, &OperatorWindow::purge_age_changed);
    purge_button_ = new QPushButton(texts_(entry::remove), page);
    purge_button_->setObjectName("Button2");
    connect(purge_button_, &QPushButton::clicked, this, &OperatorWindow::purge);

    status_label_ = new QLabel(page);
    status_label_->setObjectName("Label3");
    status_label_->setMinimumWidth(360);
    status_label_->setTextFormat(Qt::PlainText);

    auto* grid = new QGridLayout(page);
    int row = 0;
    auto* service = new QHBoxLayout;
    service->addWidget(service_button_);
    service->addWidget(service_lamp_);
    service->addStretch();
    service->addWidget(autostart_box_);
    grid->addLayout(service, row++, 0, 1, 3);
    grid->addWidget(bandwidth_label, row, 0);
    grid->addWidget(bandwidth_field_, row, 1);
    grid->addWidget(new QLabel("kByte/s", page), row++, 2);
    grid->addWidget(allow_new_users_box_, row++, 0, 1, 3);
    grid->addWidget(serve_client_ini_box_, row++, 0, 1, 3);
    grid->setRowMinimumHeight(row++, 8);
    auto* purge_row = new QHBoxLayout;
    purge_row->addWidget(purge_age_, 1);
    purge_row->addWidget(purge_button_);
    grid->addLayout(purge_row, row++, 0, 1, 3);
    auto* convert_row = new QHBoxLayout;
    convert_row->addWidget(convert_button_);
    convert_row->addStretch();
    grid->addLayout(convert_row, row++, 0, 1, 3);
    grid->addWidget(status_label_, row++, 0, 1, 3);
    grid->setRowStretch(row, 1);
    grid->setColumnStretch(2, 1);
    return page;
}

QLayout* OperatorWindow::create_bottom_row() {
    activity_lamp_ = new Lamp(this);
    activity_lamp_->setObjectName("staButton");

    auto* hide_button = new QPushButton(texts_(35), this);
    hide_button->setObjectName("ExitBtn");
    connect(hide_button, &QPushButton::clicked, this, &QWidget::close);
    auto* escape = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    connect(escape, &QShortcut::activated, this, &QWidget::close);

    auto* password_button = new QPushButton(texts_(36), this);
    password_button->setObjectName("sysPassBtn");
    connect(password_button, &QPushButton::clicked, this, &OperatorWindow::change_password);

    auto* about_button = new QPushButton(texts_(37), this);
    about_button->setObjectName("AboutBtn");
    connect(about_button, &QPushButton::clicked, this, [this] {
        AboutDialog about(texts_, this);
        about.exec();
    });

    auto* row = new QHBoxLayout;
    row->addWidget(activity_lamp_);
    row->addStretch();
    row->addWidget(hide_button);
    row->addWidget(password_button);
    row->addWidget(about_button);
    return row;
}

void OperatorWindow::load_settings() {
    const auto settings = server_.settings();
    loading_ = true;
    bandwidth_field_->setValue(settings.bandwidth);
    allow_new_users_box_->setChecked(settings.allow_new_users);
    serve_client_ini_box_->setChecked(settings.serves_client_ini());
    autostart_box_->setChecked(autostart_.entry.is_enabled(autostart_.program));
    loading_ = false;
    sync_accounts();
    // The command line may have changed the selected account meanwhile.
    refresh_user_page();
}

// The fields show the selected account, or are cleared and disabled when
// none is selected.
void OperatorWindow::select_account(int index) {
    selected_index_ = index;
    refresh_user_page();
}

void OperatorWindow::refresh_user_page() {
    loading_ = true;
    const bool listed = selected_index_ >= 0 && std::size_t(selected_index_) < rows_.size();
    if (!listed) selected_index_ = -1;
    const accounts::Account* account = listed ? &rows_[std::size_t(selected_index_)].account : nullptr;
    selected_ref_ = listed ? rows_[std::size_t(selected_index_)].ref : accounts::AccountStamp{};
    selected_name_ = account ? account->name : std::string();
    user_field_->setText(account ? texts_.shown(account->name) : QString());
    user_field_->setStyleSheet({});
    password_field_->setText(account ? texts_.shown(account->password) : QString());
    forbid_box_->setChecked(account && account->forbidden);
    for (QWidget* control : {static_cast<QWidget*>(user_field_), static_cast<QWidget*>(password_field_),
                             static_cast<QWidget*>(forbid_box_), static_cast<QWidget*>(delete_button_)}) {
        control->setEnabled(account != nullptr);
    }
    loading_ = false;
}

// The list follows the server: accounts created by clients or through the
// command line appear, and the selection stays on its account. Fields of an
// account changed elsewhere show it as it is now.
void OperatorWindow::sync_accounts() {
    core::AccountList list = server_.account_list();
    int keep = -1;
    bool selected_changed = false;
    QStringList names;
    for (std::size_t i = 0; i < list.accounts.size(); ++i) {
        const core::AccountView& view = list.accounts[i];
        names << texts_.shown(view.account.name);
        if (selected_index_ >= 0 && view.ref.id == selected_ref_.id) {
            keep = int(i);
            selected_changed = view.ref.revision != selected_ref_.revision;
        }
    }
    rows_ = std::move(list.accounts);
    QStringList shown;
    for (int i = 0; i < account_list_->count(); ++i) shown << account_list_->item(i)->text();
    if (names != shown) {
        const bool was_loading = loading_;
        loading_ = true;
        QSignalBlocker block(account_list_);
        account_list_->clear();
        account_list_->addItems(names);
        account_list_->setCurrentRow(keep);
        loading_ = was_loading;
    } else if (keep == selected_index_ && !selected_changed) {
        return;
    }
    if (keep != selected_index_ || keep < 0 || selected_changed) select_account(keep);
}

// The password and the forbidden mark go into the account at each keystroke
// and click. Only the field that changed is written, so that a name or
// password stored in bytes that are not UTF-8 (from an old client) is not
// rewritten by an edit of another field.
void OperatorWindow::field_changed() {
    if (loading_ || selected_index_ < 0) return;
    if (sender() == password_field_) {
        const std::optional<std::string> text = texts_.stored(password_field_->text());
        if (text) took(server_.set_account_password(selected_ref_, *text, core::Save::later));
    } else {
        took(server_.set_account_forbidden(selected_ref_, forbid_box_->isChecked(), core::Save::later));
    }
}

// The name is stored once it is entered or the field is left, not at each
// keystroke: on the way to a name the store refuses, the account must not
// keep one that was only half typed. A refused name stays in red after
// Enter, to be corrected; leaving the field shows the stored name again.
void OperatorWindow::name_finished() {
    if (loading_ || selected_index_ < 0 || !user_field_->isModified()) return;
    const std::optional<std::string> text = texts_.stored(user_field_->text());
    if (text) {
        const core::EditResult result = server_.rename_account(selected_ref_, *text, core::Save::later);
        if (result.status != core::EditStatus::invalid_name &&
            result.status != core::EditStatus::name_taken) {
            user_field_->setModified(false);
            took(result);
            return;
        }
    }
    if (user_field_->hasFocus()) {
        user_field_->setStyleSheet(QStringLiteral("color: red"));
    } else {
        refresh_user_page();
    }
}

// Shows the selected account as the edit left it; one changed meanwhile
// (through the command line) is let go.
void OperatorWindow::took(const core::EditResult& result) {
    if (result.status == core::EditStatus::stale || !result.account) {
        sync_accounts();
        select_account(-1);
        return;
    }
    rows_[std::size_t(selected_index_)] = *result.account;
    selected_ref_ = result.account->ref;
    selected_name_ = result.account->account.name;
    account_list_->item(selected_index_)->setText(texts_.shown(selected_name_));
    user_field_->setStyleSheet({});
}

void OperatorWindow::new_account() {
    const std::string prefix = texts_.stored(texts_(entry::new_user)).value_or("New User");
    server_.add_numbered_account(prefix, core::Save::later);
    sync_accounts();
}

// Deletes the account and, at once, its storage folder; the account file
// keeps the account until the next save.
void OperatorWindow::delete_account() {
    if (selected_index_ < 0) return;
    const QString name = texts_.shown(selected_name_);
    const core::EditResult removed = server_.delete_account(selected_ref_, core::Save::later);
    select_account(-1);
    sync_accounts();
    account_list_->setCurrentRow(-1);
    // The account is gone either way; storage that stayed behind is worth
    // knowing about.
    using accounts::FolderOutcome;
    if (removed.applied() && removed.folder != FolderOutcome::deleted &&
        removed.folder != FolderOutcome::absent) {
        prompter_.error(this, texts_(entry::error),
                        name + ": " + QString::fromLatin1(accounts::describe(removed.folder)));
    }
}

void OperatorWindow::toggle_service() {
    if (service_button_->text() == texts_(entry::start_service)) {
        if (const auto error = server_.start_service()) {
            prompter_.error(this, texts_(entry::error), QString::fromStdString(error.message()));
        }
    } else {
        server_.stop_service();
    }
    refresh_status();
}

void OperatorWindow::refresh_status() {
    const core::Snapshot live = server_.snapshot();
    service_button_->setText(texts_(live.listening ? entry::stop_service : entry::start_service));
    service_lamp_->set_fill(live.listening ? lamp_colour::green : lamp_colour::grey);
    activity_lamp_->set_fill(live.transmitting         ? lamp_colour::red
                             : live.connections > 0 ? lamp_colour::blue
                                                     : lamp_colour::grey);
    activity_lamp_->setToolTip(live.connections == 0
                                   ? texts_(128)
                                   : texts_(127) + QString::number(live.connections) +
                                         (live.transmitting ? texts_(126) : QString()));
}

void OperatorWindow::bandwidth_changed(int value) {
    if (loading_) return;
    server_.change_settings({.bandwidth = std::uint16_t(value)}, core::Save::later);
}

void OperatorWindow::allow_new_users_changed(bool on) {
    if (loading_) return;
    server_.change_settings({.allow_new_users = on}, core::Save::later);
}

void OperatorWindow::serve_client_ini_changed(bool on) {
    if (loading_) return;
    server_.change_settings({.serve_client_ini = on}, core::Save::later);
}

void OperatorWindow::autostart_changed(bool on) {
    if (loading_) return;
    const auto error = on ? autostart_.entry.enable(autostart_.program) : autostart_.entry.disable();
    if (!error) return;
    prompter_.error(this, texts_(entry::error), QString::fromStdString(error.message()));
    const QSignalBlocker block(autostart_box_);
    autostart_box_->setChecked(autostart_.entry.is_enabled(autostart_.program));
}

void OperatorWindow::purge_age_changed(int index) {
    purge_days_ = index >= 0 && index < 3 ? kPurgeDays[index] : 0;
}

std::string OperatorWindow::system_password() const {
    return server_.settings().system_password;
}

bool OperatorWindow::convert_pending() const {
    return server_.convert_pending();
}

void OperatorWindow::change_password() {
    if (const auto changed = password_dialog_->change(system_password())) {
        server_.change_settings({.system_password = *changed}, core::Save::later);
    }
}

void OperatorWindow::purge() {
    if (job_.isRunning()) return;
    if (purge_days_ == 0) {
        prompter_.error(this, texts_(entry::error), texts_(123));
        return;
    }
    job_kind_ = Job::purge;
    status_label_->setText(texts_(124));
    purge_result_.reset();
    job_ = QtConcurrent::run([this, days = purge_days_] { purge_result_ = server_.purge(days); });
    follow_job();
    job_timer_.start(100);
}

void OperatorWindow::convert() {
    if (job_.isRunning()) return;
    job_kind_ = Job::conversion;
    conversion_.reset();
    status_label_->setText(conversion_text({}));
    job_ = QtConcurrent::run([this] { conversion_ = server_.convert(); });
    follow_job();
    job_timer_.start(100);
}

// Old saves wait for conversion; without it clients get no answer, so the
// operator is asked each time the window comes up.
void OperatorWindow::offer_conversion() {
    if (!isVisible() || job_.isRunning()) return;
    if (!convert_pending()) return;
    if (!prompter_.ask(this, kConvertCaption, kConvertQuestion, kConvertYes, kConvertNo)) {
        if (!close_offers_exit_) close();
        return;
    }
    pages_->setCurrentIndex(1);
    convert();
}

// Shows the job's progress while it runs and its outcome once it ended;
// the window stays responsive meanwhile.
void OperatorWindow::follow_job() {
    const bool running = job_.isRunning();
    convert_button_->setEnabled(!running);
    purge_button_->setEnabled(!running);
    if (running) {
        if (job_kind_ == Job::conversion) show_job_status(server_.status());
        return;
    }
    job_timer_.stop();
    job_.waitForFinished();  // at once; makes the job's result visible to this thread
    if (job_kind_ == Job::purge && purge_result_) {
        status_label_->setText(texts_(125));
        // What could not be deleted is not reported as deleted.
        const auto& result = *purge_result_;
        if (result.files_kept > 0 || result.slots_unreadable > 0) {
            prompter_.error(this, texts_(entry::error),
                            QStringLiteral("%1 files could not be deleted; the dates of %2 slots "
                                           "could not be read, so they were kept.")
                                .arg(result.files_kept)
                                .arg(result.slots_unreadable));
        }
    } else if (job_kind_ == Job::conversion && conversion_) {
        show_job_status(server_.status());
        const auto& outcome = *conversion_;
        QString problems;
        for (const auto& problem : outcome.result.problems) {
            problems += QString::fromStdString("\n" + problem.path + " " + problem.entry + ": " +
                                               problem.status.to_string());
        }
        if (!outcome.finish.ok())
            problems += QString::fromStdString("\n" + outcome.finish.status.to_string());
        if (!problems.isEmpty()) {
            status_label_->setText(kConvertFailed);
            prompter_.error(this, kConvertError, kConvertFailed + problems);
        }
    }
    job_kind_ = Job::none;
}

void OperatorWindow::show_job_status(const maintenance::Progress& progress) {
    const QString text = conversion_text(progress);
    if (!text.isEmpty()) status_label_->setText(text);
}

void OperatorWindow::save_if_modified() {
    const auto saved = server_.save_accounts();
    if (!saved.ok()) {
        prompter_.error(this, texts_(entry::error),
                        QString::fromStdString(saved.status.to_string()));
    }
}

void OperatorWindow::closeEvent(QCloseEvent* event) {
    bandwidth_field_->interpretText();  // a limit typed but not yet entered
    name_finished();
    save_if_modified();
    if (close_offers_exit_) {
        event->ignore();
        emit exit_offered();
        return;
    }
    event->accept();  // hides; the service, the tray and the connections stay
}

void OperatorWindow::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    load_settings();
    refresh_status();
    QTimer::singleShot(0, this, &OperatorWindow::offer_conversion);
}

}  // namespace rk::shell
