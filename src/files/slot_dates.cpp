#include "files/slot_dates.h"

#include "files/last_write.h"
#include "platform/dos_time.h"
#include "platform/wire_path.h"
#include "support/file_stream.h"

namespace rk::files {

namespace pf = rk::platform;

std::array<std::int32_t, 3> slot_dates(pf::Env& env, const std::string& user_root,
                                       std::string_view folder) {
    std::array<std::int32_t, 3> dates{};
    for (std::size_t slot = 0; slot < dates.size(); ++slot) {
        // The separator is added whether or not the folder ends with one:
        // empty components are skipped by the mapping.
        std::string wire_path(folder);
        wire_path += '\\';
        wire_path += char('1' + slot);
        wire_path += '\\';
        wire_path += kSlotRecordName;
        const auto path = pf::map_wire_path(env, user_root, wire_path);
        const auto written = path ? last_write(env, *path) : std::nullopt;
        dates[slot] = std::int32_t(written ? pf::to_dos_time(*written) : pf::kMissingDosTime);
    }
    return dates;
}

pf::IoStatus reset_slot(pf::Env& env, const std::string& user_root, std::string_view slot_folder) {
    std::string wire_path(slot_folder);
    wire_path += '\\';
    wire_path += kSlotRecordName;
    pf::IoStatus why;
    const auto path = pf::map_wire_path(env, user_root, wire_path, &why);
    if (!path) return why;
    // Opening creates no folder, so a missing slot folder makes this fail.
    auto opened = support::FileStream::create_for_receiving(env, *path);
    if (!opened) return pf::IoStatus::from_error(opened.error, *path);
    // The record means only its date: stamp it from the server's clock rather
    // than count on the truncation of an already empty file to touch it.
    return pf::IoStatus::from_error(opened.stream.set_mtime(env.now()), *path);
}

}  // namespace rk::files
