#include "maintenance/purge.h"

#include <cstdint>

#include "files/slot_dates.h"
#include "platform/dos_time.h"
#include "platform/host_path.h"
#include "platform/names.h"
#include "support/dir_walker.h"

namespace rk::maintenance {
namespace {

namespace pf = rk::platform;
namespace sp = rk::support;

constexpr std::int64_t kSecondsPerDay = 86400;

// Days from 1970-01-01 to a date of the proleptic Gregorian calendar.
std::int64_t days_from_civil(std::int64_t year, unsigned month, unsigned day) {
    year -= month <= 2 ? 1 : 0;
    const std::int64_t era = (year >= 0 ? year : year - 399) / 400;
    const auto year_of_era = static_cast<unsigned>(year - era * 400);
    const unsigned day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const unsigned day_of_era =
        year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
    return era * 146097 + static_cast<std::int64_t>(day_of_era) - 719468;
}

// Seconds on a local wall clock that runs without daylight-saving jumps, so
// that "30 days" means 30 calendar days in every season. The local fields
// come from the platform's DOS date-time, which holds even seconds; the odd
// second it drops is added back.
std::int64_t local_wall_seconds(std::time_t time) {
    const std::uint32_t dos = pf::to_dos_time(time);
    const std::int64_t days =
        days_from_civil(1980 + (dos >> 25), (dos >> 21) & 0x0F, (dos >> 16) & 0x1F);
    std::int64_t seconds = days * kSecondsPerDay + ((dos >> 11) & 0x1F) * 3600 +
                           ((dos >> 5) & 0x3F) * 60 + (dos & 0x1F) * 2;
    if (const auto rounded = pf::from_dos_time(dos);
        rounded && time > *rounded && time - *rounded < 2)
        seconds += time - *rounded;
    return seconds;
}

enum class RecordState { dated, missing, unreadable };

struct Record {
    RecordState state = RecordState::missing;
    std::time_t time = 0;
};

Record read_record(pf::Env& env, const std::string& slot) {
    const pf::EntryLookup found = pf::find_entry_ignoring_case(env, slot, files::kSlotRecordName);
    if (found.stat_error || found.list_error) return {RecordState::unreadable};
    if (!found.entry) return {RecordState::missing};
    pf::FileInfo info = found.exact;
    if (info.type == pf::EntryType::none) {
        // Found under another spelling: its date is still to be read.
        std::error_code ec;
        info = env.stat(pf::join_path(slot, found.entry->name), ec);
        if (ec) return {RecordState::unreadable};
    }
    // Only a file carries a date; anything else under that name is as good
    // as no record at all.
    if (info.type != pf::EntryType::file) return {RecordState::missing};
    return {RecordState::dated, info.mtime};
}

}  // namespace

bool is_slot_folder_name(const std::string& name) { return name >= "1" && name <= "3"; }

bool slot_is_recent(std::optional<std::time_t> record, int days, std::time_t now) {
    // No record dates the slot at the dawn of the calendar: always old.
    if (!record) return false;
    return local_wall_seconds(*record) + std::int64_t{days} * kSecondsPerDay >=
           local_wall_seconds(now);
}

PurgeResult purge_old_slots(pf::Env& env, const std::string& home, const PurgeRequest& request,
                            const JobControl& control) {
    PurgeResult result;
    if (request.days <= 0) {
        result.refused = true;
        return result;
    }
    control.report(Step::searching, "Searching...");

    sp::DirWalker walker(env);
    walker.settings.root = home;
    walker.settings.into_subdirs = true;
    walker.settings.progress_interval = 0;
    // The old slot being emptied, with a trailing '/': the walker enters a
    // folder right after asking about it, so this always names the slot the
    // files being reported lie in, if any.
    std::string purge_prefix;

    walker.callbacks.enquiry = [&](sp::ItemType type, const std::string& path, sp::WalkOp& op) {
        if (control.stopping()) {
            result.stopped = true;
            op = sp::WalkOp::stop;
            return;
        }
        if (type != sp::ItemType::folder || walker.level() != 2) return;
        if (!is_slot_folder_name(std::string(pf::last_component(path)))) return;
        const Record record = read_record(env, path);
        if (record.state == RecordState::unreadable) {
            ++result.slots_unreadable;
            op = sp::WalkOp::skip;
            return;
        }
        const auto time =
            record.state == RecordState::dated ? std::optional(record.time) : std::nullopt;
        if (slot_is_recent(time, request.days, request.now)) {
            op = sp::WalkOp::skip;
            return;
        }
        purge_prefix = path + "/";
        ++result.slots_purged;
        control.report(Step::deleting, "Deleting old saves: " + path, path, result.slots_purged);
    };

    walker.callbacks.found = [&](sp::ItemType type, const std::string& path, std::int64_t&,
                                 std::uint32_t, std::uint32_t) {
        if (type == sp::ItemType::folder) {
            // Fails, harmlessly, for every folder still holding something.
            if (!env.remove_dir(path)) ++result.folders_removed;
            return;
        }
        if (purge_prefix.empty() || path.compare(0, purge_prefix.size(), purge_prefix) != 0) return;
        // Unlinking needs no write permission on the file itself here, so the
        // read-only attribute need not be cleared first; clearing it would
        // follow a link to its target.
        if (env.remove_file(path)) {
            ++result.files_kept;
        } else {
            ++result.files_deleted;
        }
    };

    walker.walk();
    control.report(result.stopped ? Step::stopped : Step::finished,
                   result.stopped ? "Stopped." : "Deleted!", {}, result.slots_purged);
    return result;
}

}  // namespace rk::maintenance
