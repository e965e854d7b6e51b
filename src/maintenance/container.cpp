#include "maintenance/container.h"

#include <algorithm>

#include "wire/zlib_codec.h"

namespace rk::maintenance {
namespace {

constexpr std::size_t kMaxNameBytes = 255;

std::uint64_t read_le(std::span<const std::uint8_t> bytes, std::size_t at, std::size_t width) {
    std::uint64_t value = 0;
    for (std::size_t i = width; i-- > 0;) value = value << 8 | bytes[at + i];
    return value;
}

bool is_separator(char c) { return c == '\\' || c == '/'; }

// Walks the run of entries in `run`. In the whole-file form the entries'
// bytes are copied out of `run`; in the per-entry form each block is inflated.
class EntryReader {
public:
    EntryReader(std::span<const std::uint8_t> run, ContainerForm form,
                const ContainerLimits& limits, DecodedContainer& out)
        : run_(run), form_(form), limits_(limits), out_(out) {}

    bool read_all() {
        while (pos_ < run_.size()) {
            if (!read_one()) return false;
        }
        return true;
    }

private:
    bool fail(std::string why) {
        out_.status = {platform::IoStatus::Code::damaged,
                       "entry " + std::to_string(out_.entries.size() + 1) + ": " + std::move(why)};
        return false;
    }

    std::size_t left() const { return run_.size() - pos_; }

    bool read_one() {
        const auto begin = run_.begin() + static_cast<std::ptrdiff_t>(pos_);
        const auto nul = std::find(begin, run_.end(), std::uint8_t{0});
        if (nul == run_.end()) return fail("its name runs to the end of the container");
        ContainerEntry entry;
        entry.name.assign(begin, nul);
        pos_ += entry.name.size() + 1;

        const std::size_t header = form_ == ContainerForm::per_entry ? 16 : 12;
        if (left() < header) return fail("the container ends inside its header");
        const std::uint64_t declared = read_le(run_, pos_, 8);
        pos_ += 12;  // the size and the field nothing reads

        if (form_ == ContainerForm::whole_file) {
            if (declared > limits_.max_entry_bytes)
                return fail("it claims " + std::to_string(declared) + " bytes");
            if (declared > left()) return fail("its bytes run past the end of the container");
            const auto size = static_cast<std::size_t>(declared);
            if (!keep(entry, run_.subspan(pos_, size))) return false;
            pos_ += size;
            return true;
        }

        const auto stored = static_cast<std::int32_t>(read_le(run_, pos_, 4));
        pos_ += 4;
        // Zero or less is how an empty file was stored; a negative length
        // never moves the reader backwards.
        if (stored <= 0) return keep(entry, {});
        const auto length = static_cast<std::size_t>(stored);
        if (length > left()) return fail("its block runs past the end of the container");
        const std::size_t room =
            std::min(limits_.max_entry_bytes, limits_.max_content_bytes - out_.content.size());
        wire::CodecResult inflated = wire::decompress(run_.subspan(pos_, length), room);
        if (!inflated.ok()) return fail("its block does not inflate: " + inflated.error);
        if (!keep(entry, inflated.bytes)) return false;
        pos_ += length;
        return true;
    }

    bool keep(ContainerEntry& entry, std::span<const std::uint8_t> bytes) {
        if (bytes.size() > limits_.max_content_bytes - out_.content.size())
            return fail("the container holds more than " +
                        std::to_string(limits_.max_content_bytes) + " bytes");
        entry.offset = out_.content.size();
        entry.size = bytes.size();
        out_.content.insert(out_.content.end(), bytes.begin(), bytes.end());
        out_.entries.push_back(std::move(entry));
        return true;
    }

    std::span<const std::uint8_t> run_;
    ContainerForm form_;
    const ContainerLimits& limits_;
    DecodedContainer& out_;
    std::size_t pos_ = 0;
};

}  // namespace

DecodedContainer decode_container(std::span<const std::uint8_t> bytes,
                                  const ContainerLimits& limits) {
    DecodedContainer out;
    if (bytes.size() > limits.max_container_bytes) {
        out.status = {platform::IoStatus::Code::damaged,
                      "the container is larger than " +
                          std::to_string(limits.max_container_bytes) + " bytes"};
        return out;
    }
    // The run holds at most the content cap of entry bytes, plus names and
    // headers, which are small beside them.
    const std::size_t run_cap = limits.max_content_bytes + limits.max_content_bytes / 4 + 64 * 1024;
    wire::CodecResult whole = wire::decompress(bytes, run_cap);
    if (whole.ok()) {
        out.form = ContainerForm::whole_file;
        EntryReader(whole.bytes, out.form, limits, out).read_all();
    } else {
        out.form = ContainerForm::per_entry;
        EntryReader(bytes, out.form, limits, out).read_all();
    }
    if (!out.ok()) {
        out.entries.clear();
        out.content.clear();
    }
    return out;
}

namespace {

platform::IoStatus refused(std::string why) {
    return {platform::IoStatus::Code::refused_path, std::move(why)};
}

}  // namespace

EntryPath entry_path(std::string_view name) {
    EntryPath path;
    if (name.empty() || !is_separator(name.front())) {
        // The previous version joined such a name to the slot folder's own
        // name, which lands beside the folder rather than in it.
        path.status = refused("the name does not start with a backslash");
        return path;
    }
    if (is_separator(name.back())) {
        path.status = refused("the name ends in a separator and names no file");
        return path;
    }
    std::size_t start = 0;
    while (start < name.size()) {
        std::size_t end = start;
        while (end < name.size() && !is_separator(name[end])) ++end;
        const std::string_view part = name.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") {
            path.status = refused("the name climbs out of the slot folder");
            return path;
        }
        for (const char c : part) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == ':' || byte < 0x20 || byte == 0x7F) {
                path.status = refused("the name holds a drive, stream or control character");
                return path;
            }
        }
        if (part.size() > kMaxNameBytes) {
            path.status = refused("a component of the name is longer than a file name may be");
            return path;
        }
        path.parts.emplace_back(part);
    }
    if (path.parts.empty()) path.status = refused("the name names no file");
    return path;
}

}  // namespace rk::maintenance
