#include "platform/io_status.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>

namespace rk::platform {
namespace {

using Code = IoStatus::Code;

struct ErrnoCase {
    int value;
    Code code;
};

TEST(IoStatusTest, MapsEachErrnoToTheKindItStandsFor) {
    const ErrnoCase cases[] = {
        {ENOENT, Code::not_found},
        {EEXIST, Code::exists},
        {ENOTEMPTY, Code::not_empty},
        {ENOTDIR, Code::not_a_folder},
        {EISDIR, Code::is_a_folder},
        {EACCES, Code::denied},
        {EPERM, Code::denied},
        {EROFS, Code::denied},
        {EWOULDBLOCK, Code::in_use},
        {EBUSY, Code::in_use},
        {ETXTBSY, Code::in_use},
        {ENOSPC, Code::no_space},
        {EDQUOT, Code::no_space},
        {EFBIG, Code::too_large},
        {ENAMETOOLONG, Code::refused_path},
        {ELOOP, Code::refused_path},
        {EIO, Code::io_error},
        {EINVAL, Code::io_error},
        {ENOSYS, Code::io_error},
    };
    for (const auto& c : cases) {
        const IoStatus status =
            IoStatus::from_error({c.value, std::generic_category()}, "/home/x/alice/a.sav");
        EXPECT_EQ(status.code(), c.code) << std::generic_category().message(c.value);
        EXPECT_EQ(status.error().value(), c.value);
        EXPECT_FALSE(status.ok());
    }
}

TEST(IoStatusTest, NoErrorIsOk) {
    const IoStatus status = IoStatus::from_error({}, "/home/x/alice/a.sav");
    EXPECT_TRUE(status.ok());
    EXPECT_EQ(status.to_string(), "ok");
    EXPECT_TRUE(IoStatus().ok());
}

TEST(IoStatusTest, TextNamesTheKindThePathAndTheOsError) {
    const IoStatus full =
        IoStatus::from_error({ENOSPC, std::generic_category()}, "/home/x/alice/.save.rkupload");
    EXPECT_EQ(full.to_string(), "no space left: /home/x/alice/.save.rkupload (" +
                                    std::generic_category().message(ENOSPC) + ")");
    // Found by the server itself: no OS error to name.
    EXPECT_EQ(IoStatus(Code::refused_path, "\\..\\bob\\a.sav").to_string(),
              "path refused: \\..\\bob\\a.sav");
    EXPECT_EQ(IoStatus(Code::damaged, "").to_string(), "damaged");
}

}  // namespace
}  // namespace rk::platform
