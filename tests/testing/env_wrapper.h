// A base for Env doubles that change a few calls of a real Env: every call
// goes on to the wrapped Env until a double overrides it. Safe for
// concurrent use when the wrapped Env is and the overrides are.
#pragma once

#include "platform/env.h"

namespace rk::platform::testing {

class EnvWrapper : public Env {
public:
    explicit EnvWrapper(Env& target) : target_(target) {}

    Env& target() const { return target_; }

    std::unique_ptr<File> open(const std::string& path, OpenMode mode,
                               std::error_code& ec) override {
        return target_.open(path, mode, ec);
    }
    FileInfo stat(const std::string& path, std::error_code& ec) override {
        return target_.stat(path, ec);
    }
    std::vector<DirEntry> list(const std::string& path, std::error_code& ec) override {
        return target_.list(path, ec);
    }
    std::string real_path(const std::string& path, std::error_code& ec) override {
        return target_.real_path(path, ec);
    }
    std::error_code make_dir(const std::string& path) override { return target_.make_dir(path); }
    std::error_code remove_file(const std::string& path) override {
        return target_.remove_file(path);
    }
    std::error_code remove_dir(const std::string& path) override {
        return target_.remove_dir(path);
    }
    std::error_code rename(const std::string& from, const std::string& to) override {
        return target_.rename(from, to);
    }
    std::error_code set_mtime(const std::string& path, std::time_t mtime) override {
        return target_.set_mtime(path, mtime);
    }
    std::uint32_t attributes(const std::string& path, std::error_code& ec) override {
        return target_.attributes(path, ec);
    }
    std::error_code set_attributes(const std::string& path, std::uint32_t bits) override {
        return target_.set_attributes(path, bits);
    }
    std::unique_ptr<FileLock> lock(const std::string& path, std::error_code& ec) override {
        return target_.lock(path, ec);
    }
    std::time_t now() override { return target_.now(); }
    std::optional<std::string> get_env(const std::string& name) override {
        return target_.get_env(name);
    }

private:
    Env& target_;
};

}  // namespace rk::platform::testing
