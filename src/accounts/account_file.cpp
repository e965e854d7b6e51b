#include "accounts/account_file.h"

#include <algorithm>
#include <array>

#include "wire/packet.h"

namespace rk::accounts {
namespace {

using Bytes = std::span<const std::uint8_t>;

// Header offsets in the image.
constexpr std::size_t kVersionAt = 0;
constexpr std::size_t kRecordSizeAt = 4;
constexpr std::size_t kPortAt = 8;
constexpr std::size_t kSysPasswordAt = 10;
constexpr std::size_t kBandwidthAt = 26;
constexpr std::size_t kUserCountAt = 32;
constexpr std::size_t kAllowNewUsersAt = 36;
constexpr std::size_t kServeClientIniAt = 37;
constexpr std::size_t kDefaultSpaceAt = 41;

// Record offsets.
constexpr std::size_t kFieldSize = 16;
constexpr std::size_t kNameAt = 0;
constexpr std::size_t kPasswordAt = 16;
constexpr std::size_t kForbiddenAt = 32;
constexpr std::uint16_t kForbiddenMark = 0xFFFF;

constexpr std::size_t kLegacyFieldSize = 128;
constexpr std::size_t kLegacyAllowAt = 8;

// Readers take offsets the caller has already checked against the size.
std::uint16_t u16_at(Bytes b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

std::uint32_t u32_at(Bytes b, std::size_t at) { return wire::load_u32(b.data() + at); }

void put_u16(std::vector<std::uint8_t>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put_u32(std::vector<std::uint8_t>& out, std::size_t at, std::uint32_t v) {
    wire::store_u32(out.data() + at, v);
}

// A length byte beyond the field's room is cut, never followed.
std::string field_text(Bytes field) {
    const std::size_t length = std::min<std::size_t>(field[0], kFieldTextMax);
    return {reinterpret_cast<const char*>(field.data()) + 1, length};
}

void put_field(std::vector<std::uint8_t>& out, std::size_t at, std::string_view text) {
    text = stored_form(text);
    out[at] = static_cast<std::uint8_t>(text.size());
    std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(at) + 1);
}

DecodedImage damaged(std::string problem) {
    DecodedImage result;
    result.status = DecodeStatus::damaged;
    result.problem = std::move(problem);
    return result;
}

Account decode_record(Bytes record) {
    Account account;
    account.name = field_text(record.subspan(kNameAt, kFieldSize));
    account.password = field_text(record.subspan(kPasswordAt, kFieldSize));
    account.forbidden = u16_at(record, kForbiddenAt) != 0;
    return account;
}

}  // namespace

std::vector<std::uint8_t> encode_account_image(const AccountImage& image) {
    std::vector<std::uint8_t> out(kHeaderSize + image.accounts.size() * kRecordSize, 0);
    const Settings& s = image.settings;
    put_u32(out, kVersionAt, kImageVersion);
    put_u32(out, kRecordSizeAt, kRecordSize);
    put_u16(out, kPortAt, s.port);
    put_field(out, kSysPasswordAt, s.system_password);
    put_u16(out, kBandwidthAt, s.bandwidth);
    put_u32(out, kUserCountAt, static_cast<std::uint32_t>(image.accounts.size()));
    out[kAllowNewUsersAt] = s.allow_new_users ? 1 : 0;
    put_u32(out, kServeClientIniAt, s.serve_client_ini);
    put_u32(out, kDefaultSpaceAt, static_cast<std::uint32_t>(s.default_space));

    std::size_t at = kHeaderSize;
    for (const Account& account : image.accounts) {
        put_field(out, at + kNameAt, account.name);
        put_field(out, at + kPasswordAt, account.password);
        put_u16(out, at + kForbiddenAt, account.forbidden ? kForbiddenMark : 0);
        at += kRecordSize;
    }
    return out;
}

wire::CodecResult encode_account_file(const AccountImage& image) {
    const std::vector<std::uint8_t> plain = encode_account_image(image);
    wire::CodecResult packed = wire::compress(plain, wire::CompressLevel::max);
    if (!packed.ok()) return packed;
    std::vector<std::uint8_t> file(4, 0);
    put_u32(file, 0, kFileMagic);
    file.insert(file.end(), packed.bytes.begin(), packed.bytes.end());
    packed.bytes = std::move(file);
    return packed;
}

DecodedImage decode_account_file(std::span<const std::uint8_t> file) {
    if (file.size() >= 4 && u32_at(file, 0) == kFileMagic) {
        wire::CodecResult plain = wire::decompress(file.subspan(4), kMaxImageBytes);
        if (!plain.ok()) return damaged("the compressed image does not inflate: " + plain.error);
        return decode_account_image(plain.bytes);
    }
    return decode_account_image(file);
}

DecodedImage decode_account_image(std::span<const std::uint8_t> image) {
    if (image.size() > kMaxImageBytes) return damaged("the image is larger than any account file");
    if (image.size() < 4) return damaged("the file is too short to hold a version");

    DecodedImage result;
    if (static_cast<std::int32_t>(u32_at(image, kVersionAt)) < kOldestReadableVersion) {
        result.status = DecodeStatus::old_version;
        result.problem = "the file was written by a version too old to read";
        return result;
    }
    if (image.size() < kHeaderSize) return damaged("the image is shorter than its header");

    Settings& s = result.image.settings;
    s.port = u16_at(image, kPortAt);
    s.system_password = field_text(image.subspan(kSysPasswordAt, kFieldSize));
    s.bandwidth = u16_at(image, kBandwidthAt);
    s.allow_new_users = image[kAllowNewUsersAt] != 0;
    s.serve_client_ini = u32_at(image, kServeClientIniAt);
    s.default_space = static_cast<std::int32_t>(u32_at(image, kDefaultSpaceAt));

    const std::uint64_t record_size = u32_at(image, kRecordSizeAt);
    const std::uint64_t count = u32_at(image, kUserCountAt);
    if (count == 0) return result;
    if (record_size == 0) return damaged("the records have size 0");
    // Both factors are below 2^32, so the product cannot overflow; checking it
    // before reserving keeps a hostile count from sizing the allocation.
    if (count * record_size > image.size() - kHeaderSize) {
        return damaged("the records run past the end of the image");
    }

    result.image.accounts.reserve(static_cast<std::size_t>(count));
    // A record of another size is read through a zero-filled buffer of ours:
    // a shorter one leaves the missing fields empty, a longer one's tail is
    // skipped.
    const std::size_t kept =
        std::min<std::size_t>(static_cast<std::size_t>(record_size), kRecordSize);
    std::array<std::uint8_t, kRecordSize> record{};
    for (std::uint64_t i = 0; i < count; ++i) {
        const std::size_t at = kHeaderSize + static_cast<std::size_t>(i * record_size);
        record.fill(0);
        std::copy_n(image.begin() + static_cast<std::ptrdiff_t>(at), kept, record.begin());
        result.image.accounts.push_back(decode_record(record));
    }
    return result;
}

LegacyUsers decode_legacy_users(std::span<const std::uint8_t> file) {
    LegacyUsers users;
    std::size_t at = 0;
    if (file.size() >= 4 && u32_at(file, 0) == kLegacyMagic) {
        if (file.size() > kLegacyAllowAt) users.allow_new_users = file[kLegacyAllowAt] != 0;
        at = kHeaderSize;
    }
    // An incomplete last record is ignored: it is what a write cut short
    // leaves, and half a name or password is no account.
    for (; at < file.size() && file.size() - at >= kLegacyRecordSize; at += kLegacyRecordSize) {
        const Bytes record = file.subspan(at, kLegacyRecordSize);
        Account account;
        account.name = field_text(record.subspan(0, kLegacyFieldSize));
        account.password = field_text(record.subspan(kLegacyFieldSize, kLegacyFieldSize));
        users.accounts.push_back(std::move(account));
    }
    return users;
}

}  // namespace rk::accounts
