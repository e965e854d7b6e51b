// Save-slot date records: a game folder holds slot folders "1", "2" and "3",
// each with an empty DOCDATE.SYN whose last-write time says when the slot was
// last saved. Safe to call from any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/env.h"
#include "platform/io_status.h"

namespace rk::files {

// The name of a slot's date record, in the letter case the server writes.
inline constexpr std::string_view kSlotRecordName = "DOCDATE.SYN";

// The DOS date-times of the records of slots 1, 2 and 3 below the game
// folder `folder`; -1 for a record that is missing or a path refused. The
// record is found whatever the letter case of its name.
std::array<std::int32_t, 3> slot_dates(platform::Env& env, const std::string& user_root,
                                       std::string_view folder);

// Creates the record of the slot folder `slot_folder` anew, empty and dated
// now. Fails, and nothing happens, when the folder does not exist (it is not
// created) or the path is refused.
platform::IoStatus reset_slot(platform::Env& env, const std::string& user_root,
                            std::string_view slot_folder);

}  // namespace rk::files
