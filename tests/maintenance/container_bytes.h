// Builds old-version save containers byte by byte for fixtures, from the
// layout of the format rather than from the code under test.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "wire/zlib_codec.h"

namespace rk::maintenance::testing {

struct SaveFile {
    std::string name;  // as stored, e.g. "\\a\\b.sav"
    std::string content;

    bool operator==(const SaveFile&) const = default;
};

using Bytes = std::vector<std::uint8_t>;

inline void put_le(Bytes& out, std::uint64_t value, int width) {
    for (int i = 0; i < width; ++i) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

inline void put_text(Bytes& out, const std::string& text) {
    out.insert(out.end(), text.begin(), text.end());
}

inline Bytes zlib(const std::string& text,
                  wire::CompressLevel level = wire::CompressLevel::normal) {
    return wire::compress(Bytes(text.begin(), text.end()), level).bytes;
}

// The entry run of the whole-file form, before compression.
inline Bytes whole_file_run(const std::vector<SaveFile>& files) {
    Bytes run;
    for (const SaveFile& file : files) {
        put_text(run, file.name);
        run.push_back(0);
        put_le(run, file.content.size(), 8);
        put_le(run, 0xDEADBEEF, 4);
        put_text(run, file.content);
    }
    return run;
}

inline Bytes whole_file_container(const std::vector<SaveFile>& files) {
    const Bytes run = whole_file_run(files);
    return wire::compress(run, wire::CompressLevel::normal).bytes;
}

// One entry of the per-entry form, its stored length given explicitly.
inline void put_per_entry(Bytes& out, const std::string& name, const Bytes& block,
                          std::int32_t stored_length, std::uint64_t declared = 0) {
    put_text(out, name);
    out.push_back(0);
    put_le(out, declared, 8);
    put_le(out, 0x12345678, 4);
    put_le(out, static_cast<std::uint32_t>(stored_length), 4);
    out.insert(out.end(), block.begin(), block.end());
}

inline Bytes per_entry_container(const std::vector<SaveFile>& files) {
    Bytes out;
    for (const SaveFile& file : files) {
        const Bytes block = file.content.empty() ? Bytes{} : zlib(file.content);
        put_per_entry(out, file.name, block, static_cast<std::int32_t>(block.size()),
                      file.content.size());
    }
    return out;
}

}  // namespace rk::maintenance::testing
