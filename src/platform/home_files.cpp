#include "platform/home_files.h"

#include "platform/names.h"

namespace rk::platform {
namespace {

// The longest name most Linux file systems take.
constexpr std::size_t kMaxNameBytes = 255;

}  // namespace

bool is_upload_temp_name(std::string_view name) {
    if (name.size() <= kUploadSuffix.size() || name.front() != '.') return false;
    return equal_ignoring_ascii_case(name.substr(name.size() - kUploadSuffix.size()),
                                     kUploadSuffix);
}

std::string upload_temp_name(std::string_view name) {
    const std::size_t room = kMaxNameBytes - 1 - kUploadSuffix.size();
    std::string temp = ".";
    temp += name.substr(0, room);
    temp += kUploadSuffix;
    return temp;
}

}  // namespace rk::platform
