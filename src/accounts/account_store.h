// The server's accounts and settings, held in memory and kept in rkServer.cfg
// in the home folder (read at start, written whole and atomically on save).
// REQUIRES: external synchronization; the server uses it from its event-loop
// thread only (write_account_file, which takes no store, runs anywhere).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "accounts/account_file.h"
#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::accounts {

enum class LoadStatus {
    fresh,            // no account file and no legacy file: defaults
    loaded,           // the account file was read
    old_version,      // too old to read: kept aside as rkServer.cfg.old, defaults
    imported_legacy,  // no account file; UserInfo.dat read, conversion pending
    damaged,          // set aside (or could not be); defaults and no accounts
    unreadable,       // present but not readable; saving stays refused
};

struct LoadReport {
    LoadStatus status = LoadStatus::fresh;
    std::string message;  // for the log; empty when there is nothing to tell
};

struct SaveResult {
    platform::IoStatus status;  // why the accounts are not on disk; ok on success
    bool ok() const { return status.ok(); }
};

enum class CreateOutcome { created, name_taken, invalid_name, save_failed };

// Tells one account from another while names change: `id` stays with the
// account for as long as the store holds it (renames keep it, and no other
// account ever gets it); `revision` is new after every change of it.
struct AccountStamp {
    std::uint64_t id = 0;
    std::uint64_t revision = 0;
    bool operator==(const AccountStamp&) const = default;
};

struct CreateResult {
    CreateOutcome outcome = CreateOutcome::created;
    platform::IoStatus status;  // why the save failed, for save_failed
    AccountStamp account;  // the new account's, for created
};

// The bytes of one save, taken on the store's thread and written on any.
struct PendingSave {
    std::string path;
    std::string bytes;
    platform::IoStatus status;     // why nothing may be written; ok when it may
    std::uint64_t revision = 0;  // the store's revision the bytes hold
};

// Writes a save prepared by AccountStore::prepare_save. Safe to call from
// any thread; two writes of one file must not overlap.
SaveResult write_account_file(platform::Env& env, const PendingSave& save);

// How an operator's edit of the account list went.
enum class EditOutcome {
    done,
    not_found,     // no account at that index or of that name
    invalid_name,  // the name as stored could not be a user's folder (valid_account_name)
    name_taken,    // another account has that name, ASCII letter case ignored
};

// What became of the storage folder of a removed account.
enum class FolderOutcome {
    deleted,       // the folder and everything in it are gone
    absent,        // there was none
    shared,        // another account's name folds to the same folder: kept for it
    refused,       // the name could reach beyond one folder of the home folder
    not_a_folder,  // a file or a link has that name: left alone
    incomplete,    // some items could not be deleted; they and their folders stay
    unreachable,   // the home folder could not be looked at; nothing was touched
};

// What became of the folder, in a few words for the operator.
std::string_view describe(FolderOutcome outcome);

struct RemoveResult {
    EditOutcome outcome = EditOutcome::done;  // done or not_found
    FolderOutcome folder = FolderOutcome::absent;
};

// One line of the account list as an operator sees it: no password.
struct AccountEntry {
    std::size_t index = 0;
    std::string name;
    bool forbidden = false;
};

// Whether a client may choose `name` for a new account: not empty, not "." or
// "..", no '/', '\\', ':' or control byte, and not (ignoring ASCII case) one
// of the files the program keeps in its home folder, where user folders live
// too.
bool valid_account_name(std::string_view name);

class AccountStore {
public:
    AccountStore(platform::Env& env, std::string home);

    // Replaces whatever is in memory by what the home folder holds. Never
    // fails outright: the report says what was found and what was done.
    LoadReport load();

    // Writes the whole store to a temporary file, syncs it and renames it over
    // the account file. On failure the old file is untouched and `modified`
    // stays as it was. The same as prepare_save, write_account_file and
    // finish_save in a row.
    SaveResult save();
    // A save in steps, so that the writing need not hold up the thread that
    // owns the store: the bytes as the store is now, then (anywhere) the
    // write, then the result, which clears `modified` when the write went
    // well and nothing changed meanwhile.
    PendingSave prepare_save() const;
    void finish_save(const PendingSave& save, const SaveResult& result);

    std::span<const Account> accounts() const { return accounts_; }
    // accounts()[i]'s stamp is stamps()[i].
    std::span<const AccountStamp> stamps() const { return stamps_; }
    // Where the account of `stamp` is, if it is still there unchanged.
    std::optional<std::size_t> find_unchanged(const AccountStamp& stamp) const;
    // Counts every change of the accounts and settings, a load included.
    std::uint64_t revision() const { return revision_; }
    // First account whose name equals `name` with ASCII a-z upper-cased.
    std::optional<std::size_t> find_user(std::string_view name) const;
    // First account whose name and password both equal byte for byte. The
    // forbidden mark is the caller's to judge.
    std::optional<std::size_t> find_user_pass(std::string_view name,
                                              std::string_view password) const;

    // Checks the name as it will be stored (its first 15 bytes) for validity
    // and uniqueness, appends the account and saves at once, so that it is on
    // disk before the client hears of it. A failed save takes the account back
    // out. Whether new users are allowed at all is the caller's to check.
    CreateResult create_client_user(std::string_view name, std::string_view password);
    // The same in steps, for a caller that saves on another thread: checks
    // and appends without saving, and takes the account back out once its
    // save failed. The take-back leaves an account that was changed
    // meanwhile alone; when nothing else changed since the last save, the
    // store counts as unmodified again.
    CreateResult add_client_user(std::string_view name, std::string_view password);
    void take_back(const AccountStamp& created);

    // Operator edits. Each that changes something marks the store modified
    // and leaves writing the file to the caller (when the operator window
    // closes, at exit, or after each command of the command line).
    // Names are judged as stored: their first 15 bytes, valid_account_name,
    // unique with ASCII letter case ignored. An account named in a call is
    // looked up exactly first, then ignoring case.
    //
    // Appends an account, forbidden mark clear; the password may be empty.
    EditOutcome add(std::string_view name, std::string_view password);
    // The account an operator means by `name`: the one of exactly that
    // name, else the first of that name ignoring ASCII letter case.
    std::optional<std::size_t> locate(std::string_view name) const;
    // The first of prefix+"1" .. prefix+"10000" (each as stored) no account
    // has, letter case ignored; prefix+"10000" when all are taken.
    std::string new_user_name(std::string_view prefix) const;
    // The storage folder keeps its old name: from the next logon the account
    // uses the folder of its new name, and the old one stays on disk. The
    // account's own name in another letter case is allowed.
    EditOutcome rename(std::size_t index, std::string_view new_name);
    EditOutcome rename(std::string_view old_name, std::string_view new_name);
    EditOutcome set_password(std::size_t index, std::string_view password);  // cut to 15 bytes
    EditOutcome set_password(std::string_view name, std::string_view password);
    EditOutcome set_forbidden(std::size_t index, bool forbidden);
    EditOutcome set_forbidden(std::string_view name, bool forbidden);
    // Takes the account out, then deletes its storage folder home/<name>
    // (found as a logon finds it) at once, without following links; the file
    // keeps the account until the next save. Blocks on the disk for as long
    // as the folder takes. Sessions already logged on are not closed.
    RemoveResult remove(std::size_t index);
    RemoveResult remove(std::string_view name);
    std::vector<AccountEntry> list() const;

    const Settings& settings() const { return settings_; }
    void set_port(std::uint16_t port);
    void set_system_password(std::string_view password);  // stored cut to 15 bytes
    void set_bandwidth(std::uint16_t kbytes_per_second);
    void set_allow_new_users(bool allow);
    void set_serve_client_ini(bool serve);
    void set_default_space(std::int32_t megabytes);

    // Changed since the last successful load or save.
    bool modified() const { return revision_ != saved_revision_; }
    // Users were imported from UserInfo.dat and their saves await conversion.
    bool convert_pending() const { return convert_pending_; }
    void set_convert_pending(bool pending) { convert_pending_ = pending; }

    std::string account_file_path() const;

private:
    std::string path_of(std::string_view name) const;
    LoadReport read_files();
    void append(std::string_view name, std::string_view password);
    // Marks the account at `index` (or, without one, the store as a whole) changed.
    void touch(std::optional<std::size_t> index = std::nullopt);
    bool name_taken_by_other(std::string_view name, std::optional<std::size_t> self) const;
    void reset();
    LoadReport set_damaged_file_aside(const std::string& problem);
    // Renames the account file to a free name ending in `suffix` (then -2,
    // -3 ...); when it cannot, saving is refused so the file is never lost.
    LoadReport set_file_aside(LoadStatus status, std::string_view suffix, const std::string& found);
    LoadReport import_legacy();
    std::optional<std::string> find_legacy_file(std::error_code& ec);

    platform::Env& env_;
    std::string home_;
    Settings settings_;
    std::vector<Account> accounts_;
    std::vector<AccountStamp> stamps_;
    std::uint64_t next_id_ = 1;
    std::uint64_t revision_ = 0;
    std::uint64_t saved_revision_ = 0;
    bool convert_pending_ = false;
    // Why saving would destroy an account file we could not read or set
    // aside; empty when saving is safe.
    // Why no save may be written; ok when saves may go ahead.
    platform::IoStatus save_refusal_;
};

}  // namespace rk::accounts
