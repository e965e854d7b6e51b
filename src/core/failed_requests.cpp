#include "core/failed_requests.h"

#include <spdlog/spdlog.h>

namespace rk::core {

namespace {

using Code = platform::IoStatus::Code;
using wire::Reply;

struct StepFailure {
    FailedStep step;
    std::string_view name;  // for the log
    std::optional<Reply> reply;
};

constexpr StepFailure kFailures[] = {
    {FailedStep::list_folder, "listing", std::nullopt},
    {FailedStep::delete_file, "delete file", Reply::delete_failed},
    {FailedStep::remove_folder, "remove folder", std::nullopt},
    {FailedStep::create_folder, "create folder", std::nullopt},
    {FailedStep::reset_slot, "reset slot date", std::nullopt},
    {FailedStep::delete_tree, "tree delete", std::nullopt},
    {FailedStep::download, "download", Reply::cannot_open},
    {FailedStep::upload_start, "upload start", Reply::cannot_create},
    {FailedStep::upload_chunk, "upload chunk", Reply::cannot_write},
    {FailedStep::upload_end, "upload end", Reply::cannot_write},
};

const StepFailure& failure_of(FailedStep step) {
    for (const auto& failure : kFailures) {
        if (failure.step == step) return failure;
    }
    return kFailures[0];  // unreachable: every step is listed
}

// Causes that come from what the client asked, not from the server's disk.
bool clients_own(Code code) {
    switch (code) {
        case Code::refused_path:
        case Code::not_found:
        case Code::exists:
        case Code::not_empty:
        case Code::not_a_folder:
        case Code::is_a_folder:
        case Code::in_use:
        case Code::too_large:
            return true;
        default:
            return false;
    }
}

}  // namespace

std::optional<wire::Reply> failure_reply(FailedStep step) { return failure_of(step).reply; }

void log_failure(std::uint64_t connection, std::string_view user, FailedStep step,
                 std::string_view wire_path, const platform::IoStatus& status) {
    spdlog::log(clients_own(status.code()) ? spdlog::level::info : spdlog::level::warn,
                "connection {}: {}: {} of {:?} failed: {}", connection, user, failure_of(step).name,
                wire_path, status.to_string());
}

}  // namespace rk::core
