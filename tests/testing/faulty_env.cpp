#include "testing/faulty_env.h"

namespace rk::platform::testing {
namespace {

class FaultyFile final : public File {
public:
    FaultyFile(FaultyEnv& env, std::unique_ptr<File> base) : env_(env), base_(std::move(base)) {}

    std::size_t read(std::span<std::uint8_t> buffer, std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kRead))) return 0;
        return base_->read(buffer, ec);
    }
    std::size_t write(std::span<const std::uint8_t> buffer, std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kWrite))) return 0;
        return base_->write(buffer, ec);
    }
    std::uint64_t seek(std::int64_t offset, SeekOrigin origin, std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kInspect))) return 0;
        return base_->seek(offset, origin, ec);
    }
    std::uint64_t size(std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kInspect))) return 0;
        return base_->size(ec);
    }
    FileInfo info(std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kInspect))) return {};
        return base_->info(ec);
    }
    std::uint32_t attributes(std::error_code& ec) override {
        if ((ec = env_.count(FaultyEnv::kInspect))) return 0;
        return base_->attributes(ec);
    }
    std::error_code truncate(std::uint64_t length) override {
        if (auto ec = env_.count(FaultyEnv::kTruncate)) return ec;
        return base_->truncate(length);
    }
    std::error_code sync() override {
        if (auto ec = env_.count(FaultyEnv::kSync)) return ec;
        return base_->sync();
    }
    std::error_code set_mtime(std::time_t mtime) override {
        if (auto ec = env_.count(FaultyEnv::kSetMeta)) return ec;
        return base_->set_mtime(mtime);
    }

private:
    FaultyEnv& env_;
    std::unique_ptr<File> base_;
};

}  // namespace

void FaultyEnv::fail_at(std::uint64_t n, int errno_value, Mode mode, std::uint32_t kinds) {
    std::lock_guard lock(mutex_);
    armed_ = true;
    fail_at_ = n;
    matched_ = 0;
    errno_ = errno_value;
    mode_ = mode;
    kinds_ = kinds;
}

void FaultyEnv::clear_faults() {
    std::lock_guard lock(mutex_);
    armed_ = false;
}

std::uint64_t FaultyEnv::operations() const {
    std::lock_guard lock(mutex_);
    return operations_;
}

std::uint64_t FaultyEnv::failures() const {
    std::lock_guard lock(mutex_);
    return failures_;
}

std::error_code FaultyEnv::count(Kind kind) {
    std::lock_guard lock(mutex_);
    ++operations_;
    if (!armed_ || (kinds_ & kind) == 0) return {};
    ++matched_;
    bool fails = mode_ == Mode::once ? matched_ == fail_at_ : matched_ >= fail_at_;
    if (!fails) return {};
    ++failures_;
    return {errno_, std::generic_category()};
}

std::unique_ptr<File> FaultyEnv::open(const std::string& path, OpenMode mode, std::error_code& ec) {
    if ((ec = count(kOpen))) return nullptr;
    auto file = target().open(path, mode, ec);
    if (!file) return nullptr;
    return std::make_unique<FaultyFile>(*this, std::move(file));
}

FileInfo FaultyEnv::stat(const std::string& path, std::error_code& ec) {
    if ((ec = count(kInspect))) return {};
    return target().stat(path, ec);
}

std::vector<DirEntry> FaultyEnv::list(const std::string& path, std::error_code& ec) {
    if ((ec = count(kInspect))) return {};
    return target().list(path, ec);
}

std::string FaultyEnv::real_path(const std::string& path, std::error_code& ec) {
    if ((ec = count(kInspect))) return {};
    return target().real_path(path, ec);
}

std::error_code FaultyEnv::make_dir(const std::string& path) {
    if (auto ec = count(kMakeDir)) return ec;
    return target().make_dir(path);
}

std::error_code FaultyEnv::remove_file(const std::string& path) {
    if (auto ec = count(kRemove)) return ec;
    return target().remove_file(path);
}

std::error_code FaultyEnv::remove_dir(const std::string& path) {
    if (auto ec = count(kRemove)) return ec;
    return target().remove_dir(path);
}

std::error_code FaultyEnv::rename(const std::string& from, const std::string& to) {
    if (auto ec = count(kRename)) return ec;
    return target().rename(from, to);
}

std::error_code FaultyEnv::set_mtime(const std::string& path, std::time_t mtime) {
    if (auto ec = count(kSetMeta)) return ec;
    return target().set_mtime(path, mtime);
}

std::uint32_t FaultyEnv::attributes(const std::string& path, std::error_code& ec) {
    if ((ec = count(kInspect))) return 0;
    return target().attributes(path, ec);
}

std::error_code FaultyEnv::set_attributes(const std::string& path, std::uint32_t bits) {
    if (auto ec = count(kSetMeta)) return ec;
    return target().set_attributes(path, bits);
}

std::unique_ptr<FileLock> FaultyEnv::lock(const std::string& path, std::error_code& ec) {
    if ((ec = count(kLock))) return nullptr;
    return target().lock(path, ec);
}

}  // namespace rk::platform::testing
