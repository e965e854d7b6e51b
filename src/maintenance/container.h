// The save containers of the previous version (SV1.DAT, SV2.DAT, SV3.DAT):
// their bytes decoded into entries, and entry names judged as paths inside a
// slot folder. No I/O. Pure functions: safe to call from any thread.
//
// A container is a run of entries, each a NUL-terminated name, an 8-byte
// little-endian size and 4 ignored bytes; then either
//   - whole-file form: the whole file is one zlib stream holding that run,
//     and each entry's bytes follow it raw (size bytes), or
//   - per-entry form: a signed 32-bit stored length L follows, then L bytes
//     of one zlib stream holding the entry's bytes (L <= 0: an empty file).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/io_status.h"

namespace rk::maintenance {

inline constexpr std::size_t kMiB = std::size_t{1} << 20;

// Bounds on what one container may make us read and hold. A container that
// claims more is treated as damaged, never trusted.
struct ContainerLimits {
    std::size_t max_container_bytes = 128 * kMiB;  // the file on disk
    std::size_t max_entry_bytes = 64 * kMiB;       // one entry, inflated
    std::size_t max_content_bytes = 128 * kMiB;    // all entries, inflated
};

enum class ContainerForm { whole_file, per_entry };

struct ContainerEntry {
    std::string name;        // as stored: code-page bytes, '\' separated
    std::size_t offset = 0;  // of the entry's bytes in DecodedContainer::content
    std::size_t size = 0;
};

struct DecodedContainer {
    ContainerForm form = ContainerForm::whole_file;
    std::vector<std::uint8_t> content;  // every entry's bytes, back to back
    std::vector<ContainerEntry> entries;
    platform::IoStatus status;  // what is damaged; ok when the whole container decoded

    bool ok() const { return status.ok(); }
    std::span<const std::uint8_t> bytes_of(const ContainerEntry& entry) const {
        return std::span<const std::uint8_t>(content).subspan(entry.offset, entry.size);
    }
};

// Tries the whole-file form first and falls back to the per-entry form, the
// way the previous version told them apart. Damage (a truncated entry, a
// length running past the end, a block that does not inflate, anything past
// the limits) is reported as a whole: a container is converted completely or
// not at all.
DecodedContainer decode_container(std::span<const std::uint8_t> bytes,
                                  const ContainerLimits& limits);

// The components of an entry name below the slot folder, or why it is
// refused. A name must start with a separator ('\' or '/'); it is refused when
// it has no component, ends in a separator, or has a component that is "..",
// holds ':' or a control byte, or is longer than a file name may be. Empty and
// "." components are dropped.
struct EntryPath {
    std::vector<std::string> parts;
    platform::IoStatus status;  // why the name is refused; ok when accepted

    bool ok() const { return status.ok(); }
};
EntryPath entry_path(std::string_view name);

}  // namespace rk::maintenance
