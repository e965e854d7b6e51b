// Deletes the save slots nobody has written for a chosen number of days, and
// every folder of the storage tree left empty. Knows no connection and no
// window; runs on a pool thread and touches nothing global.
#pragma once

#include <cstddef>
#include <ctime>
#include <optional>
#include <string>

#include "maintenance/job.h"
#include "platform/env.h"

namespace rk::maintenance {

struct PurgeRequest {
    int days = 0;         // 180, 90 or 30 from the operator; anything <= 0 purges nothing
    std::time_t now = 0;  // the moment ages are measured against
};

struct PurgeResult {
    bool refused = false;          // no age chosen: nothing was looked at
    bool stopped = false;          // ended early on request
    std::size_t slots_purged = 0;  // slot folders found too old, their files deleted
    std::size_t files_deleted = 0;
    std::size_t files_kept = 0;       // in an old slot, but could not be deleted
    std::size_t folders_removed = 0;  // empty afterwards, old slots among them
    // Slots whose date record could not be read (not merely missing); left
    // alone rather than guessed old.
    std::size_t slots_unreadable = 0;
};

// Whether a folder name is taken for a slot: between "1" and "3" in byte
// order, which "1", "2", "3" are, and so is any name starting with "1" or "2".
bool is_slot_folder_name(const std::string& name);

// Whether a slot whose record was last written at `record` (nullopt: no
// record) is kept when purging `days` at `now`. Dates compare as local
// wall-clock times, so a slot exactly `days` calendar days old is kept.
bool slot_is_recent(std::optional<std::time_t> record, int days, std::time_t now);

// Walks the whole tree below `home` without following links. A slot is a
// folder two levels down (home/user/game/slot) whose DOCDATE.SYN (any letter
// case) is older than `days`, or missing; everything inside it is deleted.
// Then every folder found empty is removed, wherever it is; `home` itself
// stays. Files are deleted only inside old slots, so nothing directly in
// `home` (the program's own files) is ever touched, and a symbolic link is
// removed as a link, its target never reached.
PurgeResult purge_old_slots(platform::Env& env, const std::string& home,
                            const PurgeRequest& request, const JobControl& control);

}  // namespace rk::maintenance
