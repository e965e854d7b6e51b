// A base for Env doubles that answer a few calls from memory: every call
// fails with ENOSYS (now() is 0, no variable is set) until a double
// overrides it.
#pragma once

#include <cerrno>
#include <system_error>

#include "platform/env.h"

namespace rk::platform::testing {

class UnsupportedEnv : public Env {
public:
    std::unique_ptr<File> open(const std::string&, OpenMode, std::error_code& ec) override {
        ec = unsupported();
        return nullptr;
    }
    FileInfo stat(const std::string&, std::error_code& ec) override {
        ec = unsupported();
        return {};
    }
    std::vector<DirEntry> list(const std::string&, std::error_code& ec) override {
        ec = unsupported();
        return {};
    }
    std::string real_path(const std::string&, std::error_code& ec) override {
        ec = unsupported();
        return {};
    }
    std::error_code make_dir(const std::string&) override { return unsupported(); }
    std::error_code remove_file(const std::string&) override { return unsupported(); }
    std::error_code remove_dir(const std::string&) override { return unsupported(); }
    std::error_code rename(const std::string&, const std::string&) override {
        return unsupported();
    }
    std::error_code set_mtime(const std::string&, std::time_t) override { return unsupported(); }
    std::uint32_t attributes(const std::string&, std::error_code& ec) override {
        ec = unsupported();
        return 0;
    }
    std::error_code set_attributes(const std::string&, std::uint32_t) override {
        return unsupported();
    }
    std::unique_ptr<FileLock> lock(const std::string&, std::error_code& ec) override {
        ec = unsupported();
        return nullptr;
    }
    std::time_t now() override { return 0; }
    std::optional<std::string> get_env(const std::string&) override { return std::nullopt; }

protected:
    static std::error_code unsupported() { return {ENOSYS, std::generic_category()}; }
};

}  // namespace rk::platform::testing
