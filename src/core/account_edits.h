// What the operator's edits of the accounts and settings take and give
// back: copies of the accounts, each with the stamp an edit names it by,
// and results as values.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "accounts/account_store.h"

namespace rk::core {

// One account as the operator saw it. An edit names it by `ref`, and is
// refused when the account changed or went since.
struct AccountView {
    accounts::AccountStamp ref;
    accounts::Account account;
};

struct AccountList {
    std::uint64_t version = 0;  // the accounts' revision these copies show
    std::vector<AccountView> accounts;
};

// Whether an edit is written at once or left for a later save.
enum class Save {
    now,    // the call returns once the account file is written, with the result
    later,  // the change stays unsaved until save_accounts() or the exit
};

enum class EditStatus {
    done,
    stale,         // the account changed or went since it was seen: nothing was done
    invalid_name,  // the name as stored could not be a user's folder
    name_taken,    // another account has that name, ASCII letter case ignored
    not_saved,     // done, but the account file could not be written
};

struct EditResult {
    EditStatus status = EditStatus::done;
    std::string message;                 // what went wrong, for the operator; empty when done
    std::optional<AccountView> account;  // as it is now; none once deleted, or when stale
    // What a deletion did to the account's storage folder.
    accounts::FolderOutcome folder = accounts::FolderOutcome::absent;

    // The change is in force (written or not).
    bool applied() const { return status == EditStatus::done || status == EditStatus::not_saved; }
};

// The settings an operator changes; those left empty stay as they are.
struct SettingsChange {
    std::optional<std::uint16_t> bandwidth = std::nullopt;  // kByte/s, 0 = no limit
    std::optional<bool> allow_new_users = std::nullopt;
    std::optional<bool> serve_client_ini = std::nullopt;
    std::optional<std::string> system_password = std::nullopt;  // stored cut to 15 bytes
};

}  // namespace rk::core
