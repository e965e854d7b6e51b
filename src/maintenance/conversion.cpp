#include "maintenance/conversion.h"

#include <algorithm>
#include <array>
#include <optional>

#include "accounts/account_file.h"
#include "files/slot_dates.h"
#include "platform/folders.h"
#include "platform/home_files.h"
#include "platform/host_path.h"
#include "platform/names.h"
#include "platform/small_file.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"

namespace rk::maintenance {
namespace {

namespace pf = rk::platform;
namespace sp = rk::support;

constexpr std::array<std::string_view, 3> kContainerNames = {"SV1.DAT", "SV2.DAT", "SV3.DAT"};

using pf::equal_ignoring_ascii_case;
using pf::join_path;
using pf::parent_folder;

bool is_container_name(std::string_view name) {
    return std::any_of(kContainerNames.begin(), kContainerNames.end(),
                       [&](std::string_view own) { return equal_ignoring_ascii_case(name, own); });
}

struct Outcome {
    ProblemKind kind = ProblemKind::failed;
    pf::IoStatus status;  // ok: it went well
    bool ok() const { return status.ok(); }
};

Outcome failed(std::string detail, const std::error_code& ec = {}) {
    if (ec) return {ProblemKind::failed, pf::IoStatus::from_error(ec, std::move(detail))};
    return {ProblemKind::failed, {pf::IoStatus::Code::io_error, std::move(detail)}};
}

Outcome refused(std::string detail) {
    return {ProblemKind::refused, {pf::IoStatus::Code::refused_path, std::move(detail)}};
}

Outcome damaged(std::string detail) {
    return {ProblemKind::damaged, {pf::IoStatus::Code::damaged, std::move(detail)}};
}

// Puts `bytes` at `target` so that, whenever the process dies, `target` holds
// either what it held before or all of `bytes`: written and synced under a
// temporary name in the same folder, then renamed over it. The temporary
// name has the form an upload's takes, which no client may upload to, so it
// can never be a user's file.
Outcome write_whole_file(pf::Env& env, const std::string& target,
                         std::span<const std::uint8_t> bytes, std::optional<std::time_t> mtime) {
    const pf::ReplaceOptions options{
        .temporary =
            join_path(parent_folder(target), pf::upload_temp_name(pf::last_component(target))),
        .owner_only = false,
        .mtime = mtime};
    const std::error_code ec = pf::replace_file(
        env, target, {reinterpret_cast<const char*>(bytes.data()), bytes.size()}, options);
    if (ec == std::errc::file_exists)
        return refused("something other than a file stands at " + options.temporary);
    if (ec) return failed("cannot write " + target + " through " + options.temporary, ec);
    return {};
}

// The host path below the slot folder for `wire`, matching existing names
// in any letter case the way clients find them, and its folders made.
struct Placed {
    std::string path;
    Outcome outcome;
};

Placed place(pf::Env& env, const std::string& slot, const std::string& wire) {
    const auto target = pf::map_wire_path(env, slot, wire);
    if (!target) return {{}, refused("its path runs through a link or could not be checked")};
    if (platform::make_folders(env, parent_folder(*target)))
        return {{}, failed("cannot create the folder " + parent_folder(*target))};
    std::error_code ec;
    const pf::EntryType existing = env.stat(*target, ec).type;
    if (ec) return {{}, failed("cannot look at " + *target, ec)};
    if (existing == pf::EntryType::directory || existing == pf::EntryType::other)
        return {{}, refused("something other than a file stands at " + *target)};
    return {*target, {}};
}

class Converter {
public:
    Converter(pf::Env& env, const JobControl& control, const ContainerLimits& limits,
              ConversionResult& result)
        : env_(env), control_(control), limits_(limits), result_(result) {}

    std::vector<std::string> search(const std::string& home) {
        std::vector<std::string> containers;
        for (const std::string& user : folders_in(home)) {
            for (const std::string& game : folders_in(user)) {
                std::error_code ec;
                for (const pf::DirEntry& entry : env_.list(game, ec)) {
                    if (is_container_name(entry.name))
                        containers.push_back(join_path(game, entry.name));
                }
                if (ec) problem(game, failed("cannot list the folder", ec));
            }
        }
        return containers;
    }

    void convert(const std::string& container) {
        const Outcome outcome = convert_one(container);
        if (!outcome.ok()) problem(container, outcome);
    }

private:
    void problem(const std::string& path, const Outcome& outcome, std::string entry = {}) {
        result_.problems.push_back({path, outcome.kind, std::move(entry), outcome.status});
    }

    // Sub-folders only, never through a link; a folder that cannot be listed
    // is reported, since a container in it would otherwise go unnoticed.
    std::vector<std::string> folders_in(const std::string& folder) {
        std::vector<std::string> folders;
        std::error_code ec;
        const std::vector<pf::DirEntry> entries = env_.list(folder, ec);
        if (ec) problem(folder, failed("cannot list the folder", ec));
        for (const pf::DirEntry& entry : entries) {
            const std::string path = join_path(folder, entry.name);
            pf::EntryType type = entry.type;
            if (type == pf::EntryType::none) {
                type = env_.stat(path, ec).type;
                if (ec) problem(path, failed("cannot look at it", ec));
            }
            if (type == pf::EntryType::directory) folders.push_back(path);
        }
        return folders;
    }

    // Reads at most the cap; the size the disk gave is only a first guess.
    Outcome read_container(const std::string& path, std::uint64_t expected,
                           std::vector<std::uint8_t>& bytes) {
        sp::OpenedStream opened = sp::FileStream::open_for_sending(env_, path);
        if (!opened) return failed("cannot open the container", opened.error);
        constexpr std::size_t kChunk = 256 * 1024;
        bytes.reserve(static_cast<std::size_t>(expected) + 1);
        for (;;) {
            const std::size_t at = bytes.size();
            // One byte past the cap tells a container that is too large.
            const std::size_t want = std::min(kChunk, limits_.max_container_bytes + 1 - at);
            bytes.resize(at + want);
            const std::size_t got = opened.stream.read(std::span(bytes).subspan(at, want));
            bytes.resize(at + got);
            if (opened.stream.error())
                return failed("cannot read the container", opened.stream.error());
            if (bytes.size() > limits_.max_container_bytes)
                return damaged("the container is larger than " +
                               std::to_string(limits_.max_container_bytes) + " bytes");
            if (got < want) return {};
        }
    }

    Outcome convert_one(const std::string& path) {
        std::error_code ec;
        const pf::FileInfo info = env_.stat(path, ec);
        if (ec) return failed("cannot look at the container", ec);
        if (info.type == pf::EntryType::none) return {};  // gone since the search
        if (info.type != pf::EntryType::file)
            return refused("not a regular file; links and folders are not unpacked");
        if (info.size > limits_.max_container_bytes)
            return damaged("the container is larger than " +
                           std::to_string(limits_.max_container_bytes) + " bytes");

        control_.report(Step::unpacking, "Unpacking save: " + path, path, result_.containers_converted,
                        result_.containers_found);
        std::vector<std::uint8_t> bytes;
        if (Outcome read = read_container(path, info.size, bytes); !read.ok()) return read;
        const DecodedContainer decoded = decode_container(bytes, limits_);
        bytes = {};
        if (!decoded.ok()) return {ProblemKind::damaged, decoded.status};

        const std::string_view name = pf::last_component(path);
        const std::string slot = join_path(parent_folder(path), name.substr(2, 1));
        const pf::FileInfo slot_info = env_.stat(slot, ec);
        if (ec) return failed("cannot look at the slot folder " + slot, ec);
        bool slot_exists = slot_info.type == pf::EntryType::directory;
        if (slot_info.type != pf::EntryType::none && !slot_exists)
            return refused("the slot folder " + slot + " is not a folder");

        bool entries_refused = false;
        for (const ContainerEntry& entry : decoded.entries) {
            if (control_.stopping()) {
                result_.stopped = true;
                return {};
            }
            const EntryPath where = entry_path(entry.name);
            if (!where.ok()) {
                problem(path, {ProblemKind::refused, where.status}, entry.name);
                entries_refused = true;
                continue;
            }
            control_.report(Step::extracting, "Extracting file: " + entry.name, entry.name,
                            result_.containers_converted,
                            result_.containers_found);
            if (!slot_exists) {
                if (const std::error_code made = env_.make_dir(slot))
                    return failed("cannot create the slot folder " + slot, made);
                slot_exists = true;
            }
            std::string wire;
            for (const std::string& part : where.parts) wire += (wire.empty() ? "" : "/") + part;
            const Placed placed = place(env_, slot, wire);
            Outcome written = placed.outcome.ok()
                                  ? write_whole_file(env_, placed.path, decoded.bytes_of(entry), {})
                                  : placed.outcome;
            if (written.kind == ProblemKind::refused && !written.ok()) {
                problem(path, written, entry.name);
                entries_refused = true;
                continue;
            }
            if (!written.ok()) return written;
            ++result_.files_written;
        }

        // A container without entries makes no slot folder, so it gets no
        // record either unless the folder was there already.
        if (slot_exists) {
            const Placed record = place(env_, slot, std::string(files::kSlotRecordName));
            if (!record.outcome.ok()) return record.outcome;
            if (Outcome dated = write_whole_file(env_, record.path, {}, info.mtime); !dated.ok())
                return dated;
        }
        // What was refused exists nowhere else.
        if (entries_refused) return {};
        if (const std::error_code removed = env_.remove_file(path))
            return failed("cannot delete the container", removed);
        ++result_.containers_converted;
        return {};
    }

    pf::Env& env_;
    const JobControl& control_;
    const ContainerLimits& limits_;
    ConversionResult& result_;
};

}  // namespace

ConversionResult convert_old_saves(pf::Env& env, const std::string& home, const JobControl& control,
                                   const ContainerLimits& limits) {
    ConversionResult result;
    control.report(Step::searching, "Searching saves...");
    Converter converter(env, control, limits, result);
    const std::vector<std::string> containers = converter.search(home);
    result.containers_found = containers.size();
    for (const std::string& container : containers) {
        if (control.stopping()) result.stopped = true;
        if (result.stopped) break;
        converter.convert(container);
    }
    control.report(result.complete() ? Step::finished : Step::failed,
                   result.complete() ? "Conversion finished!" : "Conversion failed!", {},
                   result.containers_converted, result.containers_found);
    return result;
}

FinishResult finish_conversion(pf::Env& env, const std::string& home,
                               accounts::AccountStore& store) {
    FinishResult result;
    const bool was_pending = store.convert_pending();
    store.set_convert_pending(false);
    if (const accounts::SaveResult saved = store.save(); !saved.ok()) {
        store.set_convert_pending(was_pending);
        result.status = saved.status;
        return result;
    }
    remove_legacy_users(env, home, result);
    return result;
}

void remove_legacy_users(pf::Env& env, const std::string& home, FinishResult& result) {
    std::string legacy = join_path(home, pf::kLegacyUsersFileName);
    const pf::EntryLookup found = pf::find_entry_ignoring_case(env, home, pf::kLegacyUsersFileName);
    const std::error_code ec = found.stat_error ? found.stat_error : found.list_error;
    pf::EntryType type = pf::EntryType::none;
    if (found.entry) {
        legacy = join_path(home, found.entry->name);
        type = found.entry->type;
    }
    if (ec) {
        result.legacy_status = pf::IoStatus::from_error(ec, legacy);
    } else if (type == pf::EntryType::none) {
        result.legacy_removed = true;
    } else if (const std::error_code removed = env.remove_file(legacy)) {
        result.legacy_status = pf::IoStatus::from_error(removed, legacy);
    } else {
        result.legacy_removed = true;
    }
}

}  // namespace rk::maintenance
