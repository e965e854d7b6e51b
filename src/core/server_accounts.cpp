// The operator's side of Server: copies of the accounts, edits of them and
// of the settings, each checked against the account as the operator saw it.
#include "core/engine.h"
#include "core/server.h"

namespace rk::core {
namespace {

AccountView view_of(const accounts::AccountStore& store, std::size_t index) {
    return {store.stamps()[index], store.accounts()[index]};
}

EditResult refused(EditStatus status) {
    switch (status) {
        case EditStatus::stale:
            return {
                status, "the account was changed or deleted meanwhile; nothing was done", {}, {}};
        case EditStatus::invalid_name:
            return {status, "that name cannot be an account's folder", {}, {}};
        case EditStatus::name_taken:
            return {status, "another account has that name", {}, {}};
        case EditStatus::done:
        case EditStatus::not_saved:
            break;
    }
    return {status, {}, {}, {}};
}

// The result of an edit of the account at `index`.
EditResult outcome(const accounts::AccountStore& store, accounts::EditOutcome edit,
                   std::optional<std::size_t> index) {
    switch (edit) {
        case accounts::EditOutcome::done:
            return {EditStatus::done,
                    {},
                    index ? std::optional(view_of(store, *index)) : std::nullopt,
                    {}};
        case accounts::EditOutcome::not_found:
            return refused(EditStatus::stale);
        case accounts::EditOutcome::invalid_name:
            return refused(EditStatus::invalid_name);
        case accounts::EditOutcome::name_taken:
            return refused(EditStatus::name_taken);
    }
    return refused(EditStatus::stale);
}

// The result of appending an account.
EditResult appended(const accounts::AccountStore& store, accounts::EditOutcome added) {
    const bool done = added == accounts::EditOutcome::done;
    return outcome(store, added, done ? std::optional(store.accounts().size() - 1) : std::nullopt);
}

}  // namespace

AccountList Server::account_list() {
    return run_on_io([this] {
        AccountList list{accounts_->revision(), {}};
        list.accounts.reserve(accounts_->accounts().size());
        for (std::size_t i = 0; i < accounts_->accounts().size(); ++i) {
            list.accounts.push_back(view_of(*accounts_, i));
        }
        return list;
    });
}

std::optional<AccountView> Server::find_account(std::string_view name) {
    return run_on_io([&]() -> std::optional<AccountView> {
        const auto index = accounts_->locate(name);
        if (!index) return std::nullopt;
        return view_of(*accounts_, *index);
    });
}

std::uint64_t Server::add_accounts_listener(std::function<void()> listener) {
    return run_on_io([&] { return engine_->add_accounts_listener(std::move(listener)); });
}

void Server::remove_accounts_listener(std::uint64_t id) {
    run_on_io([&] { engine_->remove_accounts_listener(id); });
}

EditResult Server::edit_account(
    const std::optional<accounts::AccountStamp>& ref, Save save,
    const std::function<EditResult(accounts::AccountStore&, std::optional<std::size_t>)>& edit) {
    std::future<accounts::SaveResult> saved;
    EditResult result = run_on_io([&] {
        std::optional<std::size_t> index;
        if (ref) {
            index = accounts_->find_unchanged(*ref);
            if (!index) return refused(EditStatus::stale);
        }
        EditResult edited = edit(*accounts_, index);
        if (edited.applied() && save == Save::now && accounts_->modified()) saved = request_save();
        return edited;
    });
    if (saved.valid()) {
        if (const auto written = saved.get(); !written.ok()) {
            result.status = EditStatus::not_saved;
            result.message = "the account file could not be saved: " + written.status.to_string();
        }
    }
    return result;
}

EditResult Server::add_account(std::string_view name, std::string_view password, Save save) {
    return edit_account(std::nullopt, save, [&](accounts::AccountStore& store, auto) {
        return appended(store, store.add(name, password));
    });
}

EditResult Server::add_numbered_account(std::string_view prefix, Save save) {
    return edit_account(std::nullopt, save, [&](accounts::AccountStore& store, auto) {
        return appended(store, store.add(store.new_user_name(prefix), ""));
    });
}

EditResult Server::rename_account(const accounts::AccountStamp& ref, std::string_view new_name,
                                  Save save) {
    return edit_account(ref, save,
                        [&](accounts::AccountStore& store, std::optional<std::size_t> index) {
                            return outcome(store, store.rename(*index, new_name), index);
                        });
}

EditResult Server::set_account_password(const accounts::AccountStamp& ref,
                                        std::string_view password, Save save) {
    return edit_account(ref, save,
                        [&](accounts::AccountStore& store, std::optional<std::size_t> index) {
                            return outcome(store, store.set_password(*index, password), index);
                        });
}

EditResult Server::set_account_forbidden(const accounts::AccountStamp& ref, bool forbidden,
                                         Save save) {
    return edit_account(ref, save,
                        [&](accounts::AccountStore& store, std::optional<std::size_t> index) {
                            return outcome(store, store.set_forbidden(*index, forbidden), index);
                        });
}

EditResult Server::delete_account(const accounts::AccountStamp& ref, Save save) {
    return edit_account(ref, save,
                        [&](accounts::AccountStore& store, std::optional<std::size_t> index) {
                            const auto removed = store.remove(*index);
                            EditResult result = outcome(store, removed.outcome, std::nullopt);
                            result.folder = removed.folder;
                            return result;
                        });
}

accounts::Settings Server::settings() {
    return run_on_io([this] { return accounts_->settings(); });
}

accounts::SaveResult Server::change_settings(const SettingsChange& change, Save save) {
    std::future<accounts::SaveResult> saved;
    run_on_io([&] {
        if (change.bandwidth) accounts_->set_bandwidth(*change.bandwidth);
        if (change.allow_new_users) accounts_->set_allow_new_users(*change.allow_new_users);
        if (change.serve_client_ini) accounts_->set_serve_client_ini(*change.serve_client_ini);
        if (change.system_password) accounts_->set_system_password(*change.system_password);
        if (save == Save::now && accounts_->modified()) saved = request_save();
    });
    return saved.valid() ? saved.get() : accounts::SaveResult{};
}

accounts::SaveResult Server::save_accounts() { return change_settings({}, Save::now); }

bool Server::unsaved_changes() {
    return run_on_io([this] { return accounts_->modified(); });
}

bool Server::convert_pending() {
    return run_on_io([this] { return accounts_->convert_pending(); });
}

}  // namespace rk::core
