// Byte-building helpers for the account tests: images and files laid out by
// hand, so a fault in the encoder cannot hide in the fixture.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace rk::accounts::testing {

using Bytes = std::vector<std::uint8_t>;

inline void put(Bytes& b, std::size_t at, std::initializer_list<std::uint8_t> bytes) {
    if (b.size() < at + bytes.size()) b.resize(at + bytes.size(), 0);
    for (const std::uint8_t byte : bytes) b[at++] = byte;
}

inline void put_u32(Bytes& b, std::size_t at, std::uint32_t v) {
    put(b, at,
        {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
         static_cast<std::uint8_t>(v >> 16), static_cast<std::uint8_t>(v >> 24)});
}

// One user of the old version's user file (UserInfo.dat): a 256-byte
// record, the name and the password each a length byte and the text, the
// password at offset 128.
inline std::string legacy_user_record(const std::string& name, const std::string& password) {
    std::string record(256, '\0');
    record[0] = char(name.size());
    record.replace(1, name.size(), name);
    record[128] = char(password.size());
    record.replace(129, password.size(), password);
    return record;
}

// Text for a failure message: bytes outside printable ASCII as \xNN.
inline std::string printable(std::string_view text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte < 0x7F && c != '\\' && c != '"') {
            out += c;
        } else {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            out += escaped;
        }
    }
    return out + "\"";
}

}  // namespace rk::accounts::testing
