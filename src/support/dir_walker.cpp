#include "support/dir_walker.h"

#include <utility>

#include "platform/dos_time.h"
#include "platform/host_path.h"
#include "platform/names.h"

namespace rk::support {
namespace {

using platform::ascii_lower;

// Two-pointer matching with one backtrack point: on a mismatch the last '*'
// swallows one more byte and matching resumes after it. Linear in practice,
// quadratic at worst, never exponential.
bool glob_matches(std::string_view mask, std::string_view name) {
    std::size_t m = 0;
    std::size_t n = 0;
    std::size_t star = std::string_view::npos;
    std::size_t resume = 0;
    while (n < name.size()) {
        if (m < mask.size() && mask[m] == '*') {
            star = m++;
            resume = n;
        } else if (m < mask.size() &&
                   (mask[m] == '?' || ascii_lower(mask[m]) == ascii_lower(name[n]))) {
            ++m;
            ++n;
        } else if (star != std::string_view::npos) {
            m = star + 1;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (m < mask.size() && mask[m] == '*') ++m;
    return m == mask.size();
}

}  // namespace

bool mask_matches(std::string_view mask, std::string_view name) {
    return mask == "*.*" || glob_matches(mask, name);
}

bool DirWalker::matches(const std::string& name) const { return mask_matches(settings.mask, name); }

std::int32_t DirWalker::walk() {
    stack_.clear();
    stopped_ = false;
    level_ = -1;

    path_ = platform::without_trailing_slashes(settings.root);
    if (path_.empty()) return 0;
    std::error_code ec;
    if (env_.stat(path_, ec).type != platform::EntryType::directory) return 0;

    std::uint32_t root_total = 0;
    enter_folder();
    while (!stopped_) {
        Frame& frame = stack_.back();
        if (frame.next == frame.entries.size()) {
            const std::uint32_t total = frame.total;
            stack_.pop_back();
            --level_;
            if (stack_.empty()) {
                root_total = total;
                break;
            }
            // The folder's total as a signed 32-bit count, widened with its sign.
            finish_folder(stack_.back(), static_cast<std::int32_t>(total));
            continue;
        }
        if (frame.next > 0) step_progress(frame);
        const platform::DirEntry entry = frame.entries[frame.next++];
        set_entry_path(frame, entry.name);
        handle_entry(entry);
    }
    if (stopped_) {
        root_total = stack_.front().total;
        stack_.clear();
        level_ = -1;
    }
    if (callbacks.end) callbacks.end();
    return static_cast<std::int32_t>(root_total);
}

void DirWalker::enter_folder() {
    if (callbacks.progress) callbacks.progress(path_);
    progress_count_ = 0;
    ++level_;
    std::error_code ec;
    auto entries = env_.list(path_, ec);
    if (ec) entries.clear();
    stack_.push_back(Frame{.path_length = path_.size(), .entries = std::move(entries)});
}

void DirWalker::step_progress(const Frame& frame) {
    if (settings.progress_interval == 0) return;
    progress_count_ = (progress_count_ + 1) % settings.progress_interval;
    if (progress_count_ == 0 && callbacks.progress) {
        path_.resize(frame.path_length);
        callbacks.progress(path_);
    }
}

void DirWalker::set_entry_path(const Frame& frame, const std::string& name) {
    path_.resize(frame.path_length);
    if (path_.back() != '/') path_ += '/';
    path_ += name;
}

void DirWalker::handle_entry(const platform::DirEntry& entry) {
    std::error_code ec;
    platform::EntryType type = entry.type;
    if (type == platform::EntryType::none) type = env_.stat(path_, ec).type;
    if (type == platform::EntryType::none) return;  // gone since the listing
    const bool folder = type == platform::EntryType::directory;
    if (!folder && settings.type == WalkType::folders) return;

    const bool match = matches(entry.name);
    WalkOp op = WalkOp::proceed;
    if (match && callbacks.enquiry) {
        callbacks.enquiry(folder ? ItemType::folder : ItemType::file, path_, op);
    }
    if (op == WalkOp::stop) {
        stopped_ = true;
        return;
    }
    if (op == WalkOp::skip) return;

    if (folder) {
        // The folder is finished (reported and counted) once its frame is
        // popped, after everything inside it.
        if (settings.into_subdirs) {
            enter_folder();
        } else {
            finish_folder(stack_.back(), 0);
        }
        return;
    }

    const platform::Env::Described described = env_.describe(path_, ec);
    const platform::FileInfo& info = described.info;
    if (ec || info.type == platform::EntryType::none) return;
    auto size = static_cast<std::int64_t>(info.size);
    if (match && callbacks.found) {
        // A link is a file here whatever its target is; the attributes must
        // not say folder and send a client after contents that are not walked.
        std::uint32_t attributes = described.attributes;
        if (described.attributes_error) attributes = platform::attr::kArchive;
        attributes &= ~platform::attr::kDirectory;
        if (attributes == 0) attributes = platform::attr::kNormal;
        callbacks.found(ItemType::file, path_, size, platform::to_dos_time(info.mtime), attributes);
    }
    stack_.back().total += static_cast<std::uint32_t>(size);
}

void DirWalker::finish_folder(Frame& frame, std::int64_t size) {
    const std::string& name = frame.entries[frame.next - 1].name;
    if (settings.type != WalkType::files && callbacks.found && matches(name)) {
        set_entry_path(frame, name);
        std::error_code ec;
        const platform::Env::Described described = env_.describe(path_, ec);
        std::uint32_t attributes = described.attributes;
        if (ec || described.attributes_error) attributes = platform::attr::kDirectory;
        callbacks.found(ItemType::folder, path_, size, platform::to_dos_time(described.info.mtime),
                        attributes);
    }
    frame.total += static_cast<std::uint32_t>(size);
}

}  // namespace rk::support
