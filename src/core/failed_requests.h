// What the server does when a client's request fails: the one table of the
// reply each failing step is answered with, and the log line that keeps the
// cause. The client learns only that the step failed (the reply depends on
// the step, never on the cause); the log says why. Safe to call from any
// thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "platform/io_status.h"
#include "wire/codes.h"

namespace rk::core {

enum class FailedStep {
    list_folder,    // 105, answered as a listing of nothing
    delete_file,    // 109
    remove_folder,  // 112
    create_folder,  // 113
    reset_slot,     // 129
    delete_tree,    // 131, answered as done
    download,       // 107, and 124 naming a single file
    upload_start,   // 206
    upload_chunk,   // 208
    upload_end,     // 122, the client has sent everything once
};

// The reply a failed step is answered with; nullopt for a request that has
// no answer or whose usual answer tells the failure.
std::optional<wire::Reply> failure_reply(FailedStep step);

// Logs the failure with the connection, the user, the step, the path as the
// client sent it and the cause: at info level when the cause is the client's
// own (a missing file, a refused path), at warn level when the server's
// storage failed it.
void log_failure(std::uint64_t connection, std::string_view user, FailedStep step,
                 std::string_view wire_path, const platform::IoStatus& status);

}  // namespace rk::core
