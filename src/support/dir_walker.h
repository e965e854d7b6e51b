// Depth-first walk of a folder tree that reports each item through callbacks
// and lets them steer: listing, purge and tree delete are built on it. Runs
// on whichever thread calls walk() (a pool thread, since it blocks on the
// disk); callbacks run on that thread. One walk at a time per walker.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/env.h"

namespace rk::support {

enum class WalkType { both, files, folders };
enum class ItemType { folder, file };
enum class WalkOp { proceed, skip, stop };

struct WalkSettings {
    std::string root;  // host path, a trailing '/' or not
    std::string mask = "*.*";
    bool into_subdirs = false;
    WalkType type = WalkType::both;
    // Every this many entries of a folder, progress() is told again;
    // 0 = only when a folder is entered.
    std::uint32_t progress_interval = 16;
};

// Any of them may be left empty. A path is only valid during the call.
struct WalkCallbacks {
    // Asked before an item whose name matches the mask is counted, reported
    // or (a folder) entered. skip leaves this one item out; stop ends the
    // whole walk at once.
    std::function<void(ItemType type, const std::string& path, WalkOp& op)> enquiry;
    // A matching item, folders after their contents. `size` is a file's full
    // size, or a walked folder's total (0 when not walked); whatever the
    // handler leaves in it is what the folder's total counts. `dos_time` is
    // the last write as a DOS date-time, `attributes` the platform::attr bits.
    std::function<void(ItemType type, const std::string& path, std::int64_t& size,
                       std::uint32_t dos_time, std::uint32_t attributes)>
        found;
    std::function<void(const std::string& folder)> progress;
    // Once at the end of every walk that found its root.
    std::function<void()> end;
};

// Whether a name matches a mask: "*.*" is everything; otherwise '*' is any
// run of bytes, '?' one byte, and letters compare ASCII case-insensitively.
bool mask_matches(std::string_view mask, std::string_view name);

// Symbolic links are never followed: a link is reported as a file. A folder
// that cannot be listed is walked as empty. The walk keeps its own stack, so
// tree depth costs heap, never call stack.
class DirWalker {
public:
    explicit DirWalker(platform::Env& env) : env_(env) {}

    WalkSettings settings;
    WalkCallbacks callbacks;

    // Returns the root's total: the low 32 bits of every counted size added
    // with int32 wrap-around; 0 with no events when the root is not a folder.
    std::int32_t walk();

    // -1 outside a walk, 0 while the root's own entries are handled, 1 in a
    // sub-folder of the root, and so on.
    int level() const { return level_; }

private:
    struct Frame {
        std::size_t path_length;  // of this folder's path in path_
        std::vector<platform::DirEntry> entries;
        std::size_t next = 0;
        std::uint32_t total = 0;
    };

    void enter_folder();
    void step_progress(const Frame& frame);
    void set_entry_path(const Frame& frame, const std::string& name);
    void handle_entry(const platform::DirEntry& entry);
    void finish_folder(Frame& frame, std::int64_t size);
    bool matches(const std::string& name) const;

    platform::Env& env_;
    std::vector<Frame> stack_;
    // The path of the item at hand; every frame's folder path is a prefix.
    std::string path_;
    std::uint32_t progress_count_ = 0;
    bool stopped_ = false;
    int level_ = -1;
};

}  // namespace rk::support
