// The log line of a failed request: who, what, where and why, at info level
// for the client's own mistakes and at warn level for the server's storage.
#include "core/failed_requests.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <system_error>

#include "testing/log_capture.h"

namespace rk::core {
namespace {

using platform::IoStatus;
using Code = IoStatus::Code;

struct LevelCase {
    IoStatus status;
    const char* level;
};

TEST(FailedRequestsTest, LogsTheCauseAtTheLevelOfWhoseFaultItIs) {
    const auto os = [](int value) {
        return IoStatus::from_error({value, std::generic_category()}, "/h/alice/a.sav");
    };
    const LevelCase cases[] = {
        {{Code::refused_path, "\\..\\bob"}, "info"},
        {os(ENOENT), "info"},
        {os(ENOTEMPTY), "info"},
        {os(EISDIR), "info"},
        {os(EWOULDBLOCK), "info"},
        {{Code::too_large, "\\a.sav of 9 bytes"}, "info"},
        {os(ENOSPC), "warning"},
        {os(EACCES), "warning"},
        {os(EIO), "warning"},
        {{Code::damaged, "chunk 3"}, "warning"},
    };
    for (const auto& c : cases) {
        rk::testing::LogCapture log;
        log_failure(7, "alice", FailedStep::delete_file, "\\a.sav", c.status);
        EXPECT_EQ(log.text(), std::string(c.level) +
                                  " connection 7: alice: delete file of \"\\\\a.sav\" failed: " +
                                  c.status.to_string() + "\n");
    }
}

}  // namespace
}  // namespace rk::core
