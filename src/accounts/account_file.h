// The bytes of the account file (rkServer.cfg) and of the legacy user file
// (UserInfo.dat): settings and account records to bytes and back, no I/O.
// Pure functions: safe to call from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/zlib_codec.h"

namespace rk::accounts {

inline constexpr std::uint32_t kFileMagic = 0x22113344;
inline constexpr std::uint32_t kImageVersion = 0x00020017;
// Files older than this hold a layout we no longer read.
inline constexpr std::int32_t kOldestReadableVersion = 0x00010035;
inline constexpr std::size_t kHeaderSize = 1024;
inline constexpr std::size_t kRecordSize = 34;
// The one value of the ServeClientIni field that means "on".
inline constexpr std::uint32_t kServeClientIniOn = 0x11538999;
inline constexpr std::uint32_t kLegacyMagic = 0x1010ABCD;
inline constexpr std::size_t kLegacyRecordSize = 256;

// Names and passwords live in 16-byte fields: a length byte and at most 15
// bytes of text, code-page bytes kept as they are.
inline constexpr std::size_t kFieldTextMax = 15;

// The largest image we inflate or read: far beyond any real user count, small
// enough that a hostile file cannot make us allocate without bound.
inline constexpr std::size_t kMaxImageBytes = kHeaderSize + 65535 * 64;
inline constexpr std::size_t kMaxLegacyFileBytes = kHeaderSize + 65535 * kLegacyRecordSize;

// The form a name or password takes once stored: its first 15 bytes.
inline std::string_view stored_form(std::string_view text) { return text.substr(0, kFieldTextMax); }

struct Account {
    std::string name;      // at most kFieldTextMax bytes
    std::string password;  // at most kFieldTextMax bytes, exactly as typed
    bool forbidden = false;

    bool operator==(const Account&) const = default;
};

struct Settings {
    std::uint16_t port = 1202;
    std::string system_password;  // at most kFieldTextMax bytes once stored
    std::uint16_t bandwidth = 0;  // kByte/s, 0 = no limit
    bool allow_new_users = true;
    // Kept raw so that a value we do not understand survives a save.
    std::uint32_t serve_client_ini = 0;
    std::int32_t default_space = 0;  // megabytes

    bool serves_client_ini() const { return serve_client_ini == kServeClientIniOn; }
    bool operator==(const Settings&) const = default;
};

struct AccountImage {
    Settings settings;
    std::vector<Account> accounts;

    bool operator==(const AccountImage&) const = default;
};

enum class DecodeStatus {
    ok,
    // Written by a version whose layout we do not read: defaults, no
    // accounts. Not damage; the next save replaces the file.
    old_version,
    // Unusable bytes: `image` holds defaults and no accounts.
    damaged,
};

struct DecodedImage {
    DecodeStatus status = DecodeStatus::ok;
    AccountImage image;
    std::string problem;  // what is wrong, for the log; empty when ok
};

// The uncompressed image, as the file holds it once inflated.
std::vector<std::uint8_t> encode_account_image(const AccountImage& image);
// The whole file: the magic, then the image as one zlib stream at level 9.
wire::CodecResult encode_account_file(const AccountImage& image);

// A whole file, compressed or (without the magic) the bare image.
DecodedImage decode_account_file(std::span<const std::uint8_t> file);
DecodedImage decode_account_image(std::span<const std::uint8_t> image);

struct LegacyUsers {
    std::vector<Account> accounts;
    bool allow_new_users = true;
};

// Every byte layout gives some result, possibly no accounts; the caller caps
// the size it reads (kMaxLegacyFileBytes).
LegacyUsers decode_legacy_users(std::span<const std::uint8_t> file);

}  // namespace rk::accounts
