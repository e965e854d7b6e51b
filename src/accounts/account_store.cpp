#include "accounts/account_store.h"

#include <algorithm>
#include <cerrno>
#include <utility>

#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/names.h"
#include "platform/small_file.h"
#include "support/folder_removal.h"

namespace rk::accounts {
namespace {

std::span<const std::uint8_t> as_bytes(const std::string& text) {
    return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}
constexpr int kMaxDamagedCopies = 1000;

using platform::equal_ignoring_ascii_case;

bool starts_ignoring_ascii_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           equal_ignoring_ascii_case(text.substr(0, prefix.size()), prefix);
}

FolderOutcome folder_outcome(support::FolderRemoval removal) {
    switch (removal) {
        case support::FolderRemoval::removed:
            return FolderOutcome::deleted;
        case support::FolderRemoval::absent:
            return FolderOutcome::absent;
        case support::FolderRemoval::refused:
            return FolderOutcome::refused;
        case support::FolderRemoval::not_a_folder:
            return FolderOutcome::not_a_folder;
        case support::FolderRemoval::incomplete:
            return FolderOutcome::incomplete;
        case support::FolderRemoval::unreachable:
            break;
    }
    return FolderOutcome::unreachable;
}

}  // namespace

std::string_view describe(FolderOutcome outcome) {
    switch (outcome) {
        case FolderOutcome::deleted: return "its storage folder was deleted";
        case FolderOutcome::absent: return "it had no storage folder";
        case FolderOutcome::shared: return "its storage folder was kept: another account uses it";
        case FolderOutcome::refused: return "its storage folder was left alone: the name reaches outside";
        case FolderOutcome::not_a_folder: return "what has its name is no folder and was left alone";
        case FolderOutcome::incomplete: return "some of its storage could not be deleted";
        case FolderOutcome::unreachable: return "its storage folder could not be looked at";
    }
    return "";
}

bool valid_account_name(std::string_view name) {
    if (name.empty() || name == "." || name == "..") return false;
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F || c == '/' || c == '\\' || c == ':') return false;
    }
    for (const std::string_view own : platform::kHomeFileNames) {
        if (equal_ignoring_ascii_case(name, own)) return false;
    }
    return !starts_ignoring_ascii_case(name, platform::kAccountFilePrefix);
}

AccountStore::AccountStore(platform::Env& env, std::string home)
    : env_(env), home_(std::move(home)) {}

std::string AccountStore::path_of(std::string_view name) const {
    return platform::join_path(home_.empty() ? "." : home_, name);
}

std::string AccountStore::account_file_path() const { return path_of(platform::kAccountFileName); }

void AccountStore::reset() {
    settings_ = Settings{};
    accounts_.clear();
    convert_pending_ = false;
    save_refusal_ = {};
}

void AccountStore::touch(std::optional<std::size_t> index) {
    ++revision_;
    if (index) stamps_[*index].revision = revision_;
}

void AccountStore::append(std::string_view name, std::string_view password) {
    accounts_.push_back({std::string(name), std::string(stored_form(password)), false});
    stamps_.push_back({next_id_++, 0});
    touch(accounts_.size() - 1);
}

LoadReport AccountStore::load() {
    reset();
    LoadReport report = read_files();
    // Whatever was read is new to whoever looked before.
    ++revision_;
    stamps_.clear();
    for (std::size_t i = 0; i < accounts_.size(); ++i) stamps_.push_back({next_id_++, revision_});
    saved_revision_ = revision_;
    return report;
}

LoadReport AccountStore::read_files() {
    const std::string path = account_file_path();
    const platform::SmallFile read = platform::read_small_file(env_, path, kMaxImageBytes);
    if (read.error == std::errc::no_such_file_or_directory) return import_legacy();
    if (read.error) {
        save_refusal_ = platform::IoStatus::from_error(
            read.error, std::string(platform::kAccountFileName) +
                            " could not be read; it is not overwritten");
        return {LoadStatus::unreadable, "cannot read " + path + ": " + read.error.message() +
                                            "; starting with no accounts, saving disabled"};
    }
    if (read.too_large) return set_damaged_file_aside("it is larger than any account file");

    DecodedImage decoded = decode_account_file(as_bytes(read.content));
    switch (decoded.status) {
        case DecodeStatus::ok:
            settings_ = std::move(decoded.image.settings);
            accounts_ = std::move(decoded.image.accounts);
            return {LoadStatus::loaded, {}};
        case DecodeStatus::old_version:
            // Its accounts cannot be read, but they are not ours to destroy:
            // the file is kept aside before anything replaces it.
            return set_file_aside(LoadStatus::old_version, platform::kOldSuffix,
                                  path + " was written by a version this one cannot read (" +
                                      decoded.problem + "); ");
        case DecodeStatus::damaged:
            break;
    }
    return set_damaged_file_aside(decoded.problem);
}

LoadReport AccountStore::set_damaged_file_aside(const std::string& problem) {
    return set_file_aside(LoadStatus::damaged, platform::kDamagedSuffix,
                          account_file_path() + " is damaged (" + problem + "); ");
}

LoadReport AccountStore::set_file_aside(LoadStatus status, std::string_view suffix,
                                        const std::string& found) {
    const std::string path = account_file_path();
    std::string trouble = "no free name to keep it under";
    for (int n = 1; n <= kMaxDamagedCopies; ++n) {
        std::string aside = path + std::string(suffix);
        if (n > 1) aside += "-" + std::to_string(n);
        std::error_code ec;
        const platform::FileInfo info = env_.stat(aside, ec);
        if (ec) {
            trouble = "cannot look at " + aside + " (" + ec.message() + ")";
            break;
        }
        // Only this process writes the home folder (the instance lock), so the
        // name stays free between the look and the rename.
        if (info.type != platform::EntryType::none) continue;
        if (const std::error_code moved = env_.rename(path, aside)) {
            trouble = "cannot keep it as " + aside + " (" + moved.message() + ")";
            break;
        }
        return {status, found + "kept as " + aside + "; starting with default settings and no accounts"};
    }
    // Still in place: a save would destroy the only copy.
    save_refusal_ = {platform::IoStatus::Code::damaged,
                     std::string(platform::kAccountFileName) +
                         " could not be set aside; it is not overwritten"};
    return {status, found + trouble + "; starting with default settings and no accounts, saving disabled"};
}

std::optional<std::string> AccountStore::find_legacy_file(std::error_code& ec) {
    const std::vector<platform::DirEntry> entries = env_.list(home_.empty() ? "." : home_, ec);
    if (ec) return std::nullopt;
    const platform::DirEntry* match = nullptr;
    for (const platform::DirEntry& entry : entries) {
        if (entry.type != platform::EntryType::file) continue;
        if (entry.name == platform::kLegacyUsersFileName) return entry.name;
        if (match == nullptr &&
            equal_ignoring_ascii_case(entry.name, platform::kLegacyUsersFileName)) {
            match = &entry;
        }
    }
    if (match == nullptr) return std::nullopt;
    return match->name;
}

LoadReport AccountStore::import_legacy() {
    std::error_code ec;
    const std::optional<std::string> name = find_legacy_file(ec);
    if (ec) {
        // Without knowing whether old users are there, writing an account
        // file now would hide them for good.
        save_refusal_ = platform::IoStatus::from_error(
            ec, "the home folder could not be searched for " +
                    std::string(platform::kLegacyUsersFileName));
        return {LoadStatus::unreadable, "cannot list " + home_ + ": " + ec.message() +
                                            "; starting with no accounts, saving disabled"};
    }
    if (!name) return {LoadStatus::fresh, {}};

    const std::string path = path_of(*name);
    const platform::SmallFile read = platform::read_small_file(env_, path, kMaxLegacyFileBytes);
    if (read.error) {
        save_refusal_ = platform::IoStatus::from_error(
            read.error, *name + " could not be read; its users are not yet imported");
        return {LoadStatus::unreadable, "cannot read " + path + ": " + read.error.message() +
                                            "; starting with no accounts, saving disabled"};
    }
    if (read.too_large) {
        return {LoadStatus::fresh,
                path + " is larger than any user file; nothing imported from it"};
    }
    LegacyUsers legacy = decode_legacy_users(as_bytes(read.content));
    accounts_ = std::move(legacy.accounts);
    settings_.allow_new_users = legacy.allow_new_users;
    // Nothing is written yet: the conversion of the old saves decides when.
    convert_pending_ = true;
    return {LoadStatus::imported_legacy,
            "imported " + std::to_string(accounts_.size()) + " users from " + path};
}

SaveResult write_account_file(platform::Env& env, const PendingSave& save) {
    if (!save.status.ok()) return {save.status};
    // Written beside the old file as rkServer.cfg.tmp, owner-only, synced
    // and renamed over it: a crash leaves one of the two whole. The name
    // falls under valid_account_name's "rkServer.cfg." prefix, so no user
    // folder can take it and block every save.
    if (const std::error_code ec = platform::replace_file(env, save.path, save.bytes)) {
        return {platform::IoStatus::from_error(ec, save.path)};
    }
    return {};
}

PendingSave AccountStore::prepare_save() const {
    PendingSave save;
    save.revision = revision_;
    if (!save_refusal_.ok()) {
        save.status = save_refusal_;
        return save;
    }
    const wire::CodecResult encoded = encode_account_file({settings_, accounts_});
    if (!encoded.ok()) {
        save.status = {platform::IoStatus::Code::io_error,
                       "cannot compress the accounts: " + encoded.error};
        return save;
    }
    save.path = account_file_path();
    save.bytes.assign(encoded.bytes.begin(), encoded.bytes.end());
    return save;
}

void AccountStore::finish_save(const PendingSave& save, const SaveResult& result) {
    if (result.ok() && saved_revision_ < save.revision) saved_revision_ = save.revision;
}

SaveResult AccountStore::save() {
    const PendingSave pending = prepare_save();
    SaveResult result = write_account_file(env_, pending);
    finish_save(pending, result);
    return result;
}

std::optional<std::size_t> AccountStore::find_user(std::string_view name) const {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (equal_ignoring_ascii_case(accounts_[i].name, name)) return i;
    }
    return std::nullopt;
}

std::optional<std::size_t> AccountStore::find_user_pass(std::string_view name,
                                                        std::string_view password) const {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].name == name && accounts_[i].password == password) return i;
    }
    return std::nullopt;
}

CreateResult AccountStore::add_client_user(std::string_view name, std::string_view password) {
    // Everything is judged on the stored form: a 16-byte name must not slip
    // past the lookup and then collide with a 15-byte one once cut.
    const std::string_view stored = stored_form(name);
    if (!valid_account_name(stored)) return {CreateOutcome::invalid_name, {}, {}};
    if (find_user(stored)) return {CreateOutcome::name_taken, {}, {}};
    append(stored, password);
    return {CreateOutcome::created, {}, stamps_.back()};
}

void AccountStore::take_back(const AccountStamp& created) {
    const auto index = find_unchanged(created);
    if (!index) return;
    const bool saved_before = saved_revision_ == created.revision - 1 && revision_ == created.revision;
    accounts_.erase(accounts_.begin() + static_cast<std::ptrdiff_t>(*index));
    stamps_.erase(stamps_.begin() + static_cast<std::ptrdiff_t>(*index));
    touch();
    // The file still holds what the store holds again.
    if (saved_before) saved_revision_ = revision_;
}

CreateResult AccountStore::create_client_user(std::string_view name, std::string_view password) {
    CreateResult result = add_client_user(name, password);
    if (result.outcome != CreateOutcome::created) return result;
    SaveResult saved = save();
    if (!saved.ok()) {
        take_back(result.account);
        return {CreateOutcome::save_failed, std::move(saved.status), {}};
    }
    return result;
}

std::optional<std::size_t> AccountStore::find_unchanged(const AccountStamp& stamp) const {
    for (std::size_t i = 0; i < stamps_.size(); ++i) {
        if (stamps_[i].id == stamp.id) {
            if (stamps_[i].revision != stamp.revision) return std::nullopt;
            return i;
        }
    }
    return std::nullopt;
}

std::optional<std::size_t> AccountStore::locate(std::string_view name) const {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (accounts_[i].name == name) return i;
    }
    return find_user(name);
}

bool AccountStore::name_taken_by_other(std::string_view name,
                                       std::optional<std::size_t> self) const {
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        if (i != self && equal_ignoring_ascii_case(accounts_[i].name, name)) return true;
    }
    return false;
}

EditOutcome AccountStore::add(std::string_view name, std::string_view password) {
    const std::string_view stored = stored_form(name);
    if (!valid_account_name(stored)) return EditOutcome::invalid_name;
    if (name_taken_by_other(stored, std::nullopt)) return EditOutcome::name_taken;
    append(stored, password);
    return EditOutcome::done;
}

std::string AccountStore::new_user_name(std::string_view prefix) const {
    constexpr int kLastNumber = 10000;
    std::string name;
    for (int n = 1; n <= kLastNumber; ++n) {
        name = std::string(stored_form(std::string(prefix) + std::to_string(n)));
        if (!find_user(name)) break;
    }
    return name;
}

EditOutcome AccountStore::rename(std::size_t index, std::string_view new_name) {
    if (index >= accounts_.size()) return EditOutcome::not_found;
    const std::string_view stored = stored_form(new_name);
    if (!valid_account_name(stored)) return EditOutcome::invalid_name;
    if (name_taken_by_other(stored, index)) return EditOutcome::name_taken;
    if (accounts_[index].name != stored) {
        accounts_[index].name = std::string(stored);
        touch(index);
    }
    return EditOutcome::done;
}

EditOutcome AccountStore::rename(std::string_view old_name, std::string_view new_name) {
    const auto index = locate(old_name);
    return index ? rename(*index, new_name) : EditOutcome::not_found;
}

EditOutcome AccountStore::set_password(std::size_t index, std::string_view password) {
    if (index >= accounts_.size()) return EditOutcome::not_found;
    const std::string_view stored = stored_form(password);
    if (accounts_[index].password != stored) {
        accounts_[index].password = std::string(stored);
        touch(index);
    }
    return EditOutcome::done;
}

EditOutcome AccountStore::set_password(std::string_view name, std::string_view password) {
    const auto index = locate(name);
    return index ? set_password(*index, password) : EditOutcome::not_found;
}

EditOutcome AccountStore::set_forbidden(std::size_t index, bool forbidden) {
    if (index >= accounts_.size()) return EditOutcome::not_found;
    if (accounts_[index].forbidden != forbidden) {
        accounts_[index].forbidden = forbidden;
        touch(index);
    }
    return EditOutcome::done;
}

EditOutcome AccountStore::set_forbidden(std::string_view name, bool forbidden) {
    const auto index = locate(name);
    return index ? set_forbidden(*index, forbidden) : EditOutcome::not_found;
}

RemoveResult AccountStore::remove(std::size_t index) {
    if (index >= accounts_.size()) return {EditOutcome::not_found, FolderOutcome::absent};
    const std::string name = std::move(accounts_[index].name);
    accounts_.erase(accounts_.begin() + static_cast<std::ptrdiff_t>(index));
    stamps_.erase(stamps_.begin() + static_cast<std::ptrdiff_t>(index));
    touch();

    // Accounts read from older files may share a name in another letter case,
    // and a logon of either finds the same folder.
    if (name_taken_by_other(name, std::nullopt)) return {EditOutcome::done, FolderOutcome::shared};
    return {EditOutcome::done, folder_outcome(support::remove_child_folder(env_, home_, name))};
}

RemoveResult AccountStore::remove(std::string_view name) {
    const auto index = locate(name);
    return index ? remove(*index) : RemoveResult{EditOutcome::not_found, FolderOutcome::absent};
}

std::vector<AccountEntry> AccountStore::list() const {
    std::vector<AccountEntry> entries;
    entries.reserve(accounts_.size());
    for (std::size_t i = 0; i < accounts_.size(); ++i) {
        entries.push_back({i, accounts_[i].name, accounts_[i].forbidden});
    }
    return entries;
}

void AccountStore::set_port(std::uint16_t port) {
    settings_.port = port;
    touch();
}

void AccountStore::set_system_password(std::string_view password) {
    settings_.system_password = std::string(stored_form(password));
    touch();
}

void AccountStore::set_bandwidth(std::uint16_t kbytes_per_second) {
    settings_.bandwidth = kbytes_per_second;
    touch();
}

void AccountStore::set_allow_new_users(bool allow) {
    settings_.allow_new_users = allow;
    touch();
}

void AccountStore::set_serve_client_ini(bool serve) {
    settings_.serve_client_ini = serve ? kServeClientIniOn : 0;
    touch();
}

void AccountStore::set_default_space(std::int32_t megabytes) {
    settings_.default_space = megabytes;
    touch();
}

}  // namespace rk::accounts
