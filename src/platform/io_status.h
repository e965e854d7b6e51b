// Why an operation on the server's storage failed, carried as a value from
// the platform layer up to the engine: the kind of failure the server tells
// apart, the OS error when the OS gave one, and the path (or a short text)
// it concerns. A default IoStatus is ok. Plain value; no exceptions.
#pragma once

#include <string>
#include <string_view>
#include <system_error>

namespace rk::platform {

class IoStatus {
public:
    enum class Code {
        ok,
        refused_path,  // a path that would leave the user's folder, or is not allowed
        not_found,
        exists,
        not_empty,  // a folder that still holds entries
        not_a_folder,
        is_a_folder,
        denied,  // read-only file or file system, missing permission
        in_use,  // another open holds a share that forbids this one
        no_space,
        too_large,
        damaged,
        io_error,  // anything else the OS reports
    };

    IoStatus() = default;
    IoStatus(Code code, std::string detail, std::error_code error = {})
        : code_(code), error_(error), detail_(std::move(detail)) {}

    // The IoStatus of an OS error met on `path`: ok when `error` is empty,
    // otherwise the code its errno stands for (see code_of).
    static IoStatus from_error(std::error_code error, std::string path);

    bool ok() const { return code_ == Code::ok; }
    Code code() const { return code_; }
    // The OS error, empty when the failure was found by the server itself.
    std::error_code error() const { return error_; }
    const std::string& detail() const { return detail_; }

    // For logs: "no space left: /home/x/alice/.save.rkupload (No space left
    // on device)"; "ok" for ok.
    std::string to_string() const;

private:
    Code code_ = Code::ok;
    std::error_code error_;
    std::string detail_;
};

// The kind an errno value stands for; io_error for one with no kind of its
// own, ok for 0.
IoStatus::Code code_of(int errno_value);

// "no space left", "not found", ...
std::string_view describe(IoStatus::Code code);

}  // namespace rk::platform
