#include "testing/temp_folder.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace rk::support::testing {

TempFolder::TempFolder(platform::Env& env) : env_(env) {
    std::string base = env_.get_env("TMPDIR").value_or("/tmp");
    if (base.empty()) base = "/tmp";
    if (base.back() != '/') base += '/';
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + "rk_support_" + std::to_string(random());
        const std::error_code ec = env_.make_dir(candidate);
        if (!ec) {
            path_ = std::move(candidate);
            return;
        }
        if (ec != std::errc::file_exists) break;
    }
    ADD_FAILURE() << "cannot make a temporary folder under " << base;
}

TempFolder::~TempFolder() {
    if (!path_.empty()) remove_tree(env_, path_);
}

std::string TempFolder::at(std::string_view relative) const {
    return path_ + "/" + std::string(relative);
}

void TempFolder::make_dir(std::string_view relative) const {
    const std::error_code ec = env_.make_dir(at(relative));
    ASSERT_FALSE(ec) << relative << ": " << ec.message();
}

void TempFolder::write_file(std::string_view relative, std::string_view content) const {
    std::error_code ec;
    auto file = env_.open(at(relative), {platform::Access::write, platform::Share::none, true}, ec);
    ASSERT_TRUE(file) << relative << ": " << ec.message();
    ASSERT_FALSE(file->truncate(0));
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(content.data());
    ASSERT_EQ(file->write({bytes, content.size()}, ec), content.size()) << ec.message();
}

void TempFolder::make_sparse_file(std::string_view relative, std::uint64_t size) const {
    std::error_code ec;
    auto file = env_.open(at(relative), {platform::Access::write, platform::Share::none, true}, ec);
    ASSERT_TRUE(file) << relative << ": " << ec.message();
    ASSERT_FALSE(file->truncate(size));
}

std::string TempFolder::read_file(std::string_view relative) const {
    std::error_code ec;
    auto file =
        env_.open(at(relative), {platform::Access::read, platform::Share::read_write, false}, ec);
    if (!file) {
        ADD_FAILURE() << relative << ": " << ec.message();
        return {};
    }
    std::string content;
    std::uint8_t buffer[4096];
    for (;;) {
        const std::size_t n = file->read(buffer, ec);
        content.append(reinterpret_cast<const char*>(buffer), n);
        if (n == 0 || ec) break;
    }
    return content;
}

void remove_tree(platform::Env& env, const std::string& root) {
    struct Pending {
        std::string path;
        bool listed;
    };
    std::vector<Pending> stack{{root, false}};
    while (!stack.empty()) {
        Pending& top = stack.back();
        if (top.listed) {
            env.remove_dir(top.path);
            stack.pop_back();
            continue;
        }
        top.listed = true;
        const std::string folder = top.path;
        std::error_code ec;
        for (const auto& entry : env.list(folder, ec)) {
            const std::string path = folder + "/" + entry.name;
            if (entry.type == platform::EntryType::directory) {
                stack.push_back({path, false});
            } else {
                env.set_attributes(path, 0);
                env.remove_file(path);
            }
        }
    }
}

}  // namespace rk::support::testing
