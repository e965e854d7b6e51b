// Converts the previous version's saves: every container SV1.DAT, SV2.DAT,
// SV3.DAT (any letter case) found two levels below the home folder
// (home/user/game/SVn.DAT) is unpacked into its slot folder home/user/game/n,
// the slot's DOCDATE.SYN is dated with the container's last write, and only
// then is the container deleted. Knows no connection and no window.
//
// convert_old_saves runs on a pool thread and touches nothing global.
// finish_conversion runs on the thread that owns the AccountStore;
// remove_legacy_users on any.
//
// Crash safety: each file is written under a temporary name, synced and
// renamed into place; the date record comes after the slot's files and the
// container's deletion after that. A run cut short anywhere (a crash, a full
// disk, a stop) leaves every save either still in its container or complete
// in its slot, and the next run picks up every container still there and
// writes its slot again with the same content.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "accounts/account_store.h"
#include "maintenance/container.h"
#include "maintenance/job.h"
#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::maintenance {

enum class ProblemKind {
    // A disk operation failed (reading, listing, creating, writing, syncing,
    // renaming, deleting); a later run may well succeed.
    failed,
    // The container's bytes cannot be read as a container, or claim more than
    // the limits allow. It is kept as it is.
    damaged,
    // An entry names a place outside the slot folder, or its way there is
    // blocked (a link, a file where a folder belongs). The entry is skipped,
    // the rest of the container converted, and the container kept: it holds
    // the only copy of what was skipped.
    refused,
};

struct ConversionProblem {
    std::string path;  // the container, or the folder that could not be listed
    ProblemKind kind = ProblemKind::failed;
    std::string entry;  // the entry concerned, as stored; empty for the container
    platform::IoStatus status;  // what went wrong
};

struct ConversionResult {
    std::size_t containers_found = 0;
    std::size_t containers_converted = 0;  // unpacked and deleted
    std::size_t files_written = 0;
    bool stopped = false;
    std::vector<ConversionProblem> problems;

    // Every container found was converted and deleted: the old version's data
    // is gone from the tree and the conversion may be declared done.
    bool complete() const { return !stopped && problems.empty(); }
};

ConversionResult convert_old_saves(platform::Env& env, const std::string& home,
                                   const JobControl& control, const ContainerLimits& limits = {});

struct FinishResult {
    platform::IoStatus status;         // why the account file was not saved; nothing changed
    bool legacy_removed = false;     // UserInfo.dat was deleted (or was not there)
    platform::IoStatus legacy_status;  // why it could not be deleted; harmless, see below

    bool ok() const { return status.ok(); }
};

// Declares the conversion done: clears the store's pending mark, saves the
// account file, and only once that is on disk deletes UserInfo.dat (found in
// any letter case) from `home`. A failed save restores the mark and keeps the
// legacy file, so a crash or a full disk never leaves the accounts nowhere.
// A legacy file that outlives a good save is never imported again, since the
// account file now exists.
FinishResult finish_conversion(platform::Env& env, const std::string& home,
                               accounts::AccountStore& store);
// finish_conversion's last step, for a caller that saves the account file
// itself: deletes UserInfo.dat once the accounts are on disk, and says so in
// `result` (legacy_removed, legacy_status).
void remove_legacy_users(platform::Env& env, const std::string& home, FinishResult& result);

}  // namespace rk::maintenance
