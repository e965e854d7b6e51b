#include "platform/io_status.h"

#include <cerrno>

namespace rk::platform {

IoStatus::Code code_of(int errno_value) {
    using Code = IoStatus::Code;
    switch (errno_value) {
        case 0:
            return Code::ok;
        case ENOENT:
            return Code::not_found;
        case EEXIST:
            return Code::exists;
        case ENOTEMPTY:
            return Code::not_empty;
        case ENOTDIR:
            return Code::not_a_folder;
        case EISDIR:
            return Code::is_a_folder;
        case EACCES:
        case EPERM:
        case EROFS:
            return Code::denied;
        case EWOULDBLOCK:
        case EBUSY:
        case ETXTBSY:
            return Code::in_use;
        case ENOSPC:
        case EDQUOT:
            return Code::no_space;
        case EFBIG:
            return Code::too_large;
        case ENAMETOOLONG:
        case ELOOP:
            return Code::refused_path;
        default:
            return Code::io_error;
    }
}

IoStatus IoStatus::from_error(std::error_code error, std::string path) {
    if (!error) return {};
    const Code code =
        error.category() == std::generic_category() || error.category() == std::system_category()
            ? code_of(error.value())
            : Code::io_error;
    return {code == Code::ok ? Code::io_error : code, std::move(path), error};
}

std::string_view describe(IoStatus::Code code) {
    using Code = IoStatus::Code;
    switch (code) {
        case Code::ok:
            return "ok";
        case Code::refused_path:
            return "path refused";
        case Code::not_found:
            return "not found";
        case Code::exists:
            return "already exists";
        case Code::not_empty:
            return "folder not empty";
        case Code::not_a_folder:
            return "not a folder";
        case Code::is_a_folder:
            return "is a folder";
        case Code::denied:
            return "access denied";
        case Code::in_use:
            return "in use";
        case Code::no_space:
            return "no space left";
        case Code::too_large:
            return "too large";
        case Code::damaged:
            return "damaged";
        case Code::io_error:
            return "input/output error";
    }
    return "?";
}

std::string IoStatus::to_string() const {
    std::string text(describe(code_));
    if (ok()) return text;
    if (!detail_.empty()) text += ": " + detail_;
    if (error_) text += " (" + error_.message() + ")";
    return text;
}

}  // namespace rk::platform
