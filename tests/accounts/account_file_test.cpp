#include "accounts/account_file.h"

#include <gtest/gtest.h>

#include <cctype>
#include <initializer_list>
#include <ostream>

#include "account_bytes.h"

namespace rk::accounts {
namespace {

using testing::Bytes;
using testing::put;

// The image of a store nobody has touched, spelled out byte by byte.
Bytes empty_golden() {
    Bytes b(1024, 0);
    put(b, 0, {0x17, 0x00, 0x02, 0x00});  // version
    put(b, 4, {34, 0, 0, 0});             // record size
    put(b, 8, {0xB2, 0x04});              // port 1202
    put(b, 36, {1});                      // new users allowed
    return b;
}

TEST(AccountImageBytes, EmptyStoreMatchesGolden) {
    EXPECT_EQ(encode_account_image({}), empty_golden());
}

TEST(AccountImageBytes, SettingsAndOneUserMatchGolden) {
    AccountImage image;
    image.settings = {.port = 0x1234,
                      .system_password = "Sys",
                      .bandwidth = 500,
                      .allow_new_users = false,
                      .serve_client_ini = kServeClientIniOn,
                      .default_space = -1};
    image.accounts.push_back({"Bob", "pw", true});

    Bytes expected = empty_golden();
    put(expected, 8, {0x34, 0x12});
    put(expected, 10, {3, 'S', 'y', 's'});
    put(expected, 26, {0xF4, 0x01});
    put(expected, 32, {1, 0, 0, 0});
    put(expected, 36, {0, 0x99, 0x89, 0x53, 0x11, 0xFF, 0xFF, 0xFF, 0xFF});
    expected.resize(1024 + 34, 0);
    put(expected, 1024, {3, 'B', 'o', 'b'});
    put(expected, 1040, {2, 'p', 'w'});
    put(expected, 1056, {0xFF, 0xFF});
    EXPECT_EQ(encode_account_image(image), expected);
}

TEST(AccountImageBytes, OverlongTextIsStoredAsItsFirst15Bytes) {
    AccountImage image;
    image.settings.system_password = "0123456789abcdefXYZ";
    image.accounts.push_back({"ABCDEFGHIJKLMNOP", "0123456789abcdef", false});
    const Bytes bytes = encode_account_image(image);
    const DecodedImage back = decode_account_image(bytes);
    ASSERT_EQ(back.status, DecodeStatus::ok) << back.problem;
    EXPECT_EQ(back.image.settings.system_password, "0123456789abcde");
    EXPECT_EQ(back.image.accounts.at(0).name, "ABCDEFGHIJKLMNO");
    EXPECT_EQ(back.image.accounts.at(0).password, "0123456789abcde");
    EXPECT_EQ(bytes[1024], 15);
}

TEST(AccountFileBytes, FileIsMagicThenTheImageAtLevel9) {
    AccountImage image;
    image.accounts.push_back({"Bob", "pw", false});
    const wire::CodecResult file = encode_account_file(image);
    ASSERT_TRUE(file.ok()) << file.error;
    ASSERT_GE(file.bytes.size(), 4u);
    EXPECT_EQ(Bytes(file.bytes.begin(), file.bytes.begin() + 4), (Bytes{0x44, 0x33, 0x11, 0x22}));
    const wire::CodecResult level9 =
        wire::compress(encode_account_image(image), wire::CompressLevel::max);
    EXPECT_EQ(Bytes(file.bytes.begin() + 4, file.bytes.end()), level9.bytes);
}

TEST(AccountFileBytes, RoundTripKeepsEveryFieldAndCodePageBytes) {
    AccountImage image;
    image.settings = {.port = 65535,
                      .system_password = "\x80\xFF op",
                      .bandwidth = 1,
                      .allow_new_users = false,
                      .serve_client_ini = 5,  // not "on", and kept as read
                      .default_space = 2048};
    image.accounts = {{"\xC4rger", "pass word", false}, {"x", "", true}, {"", "\x01", false}};
    const wire::CodecResult file = encode_account_file(image);
    ASSERT_TRUE(file.ok());
    const DecodedImage back = decode_account_file(file.bytes);
    ASSERT_EQ(back.status, DecodeStatus::ok) << back.problem;
    EXPECT_EQ(back.image, image);
    EXPECT_FALSE(back.image.settings.serves_client_ini());
}

TEST(AccountFileBytes, BareImageReadsLikeTheCompressedFile) {
    AccountImage image;
    image.settings.port = 4000;
    image.accounts.push_back({"Bob", "pw", false});
    const DecodedImage bare = decode_account_file(encode_account_image(image));
    const DecodedImage packed = decode_account_file(encode_account_file(image).bytes);
    ASSERT_EQ(bare.status, DecodeStatus::ok) << bare.problem;
    EXPECT_EQ(bare.image, packed.image);
    EXPECT_EQ(bare.image, image);
}

struct VersionCase {
    std::uint32_t version;
    DecodeStatus status;
};

void PrintTo(const VersionCase& c, std::ostream* os) { *os << std::hex << "0x" << c.version; }

class AccountImageVersion : public ::testing::TestWithParam<VersionCase> {};

TEST_P(AccountImageVersion, OnlyReadableVersionsGiveAccounts) {
    AccountImage image;
    image.settings.port = 9;
    image.accounts.push_back({"Bob", "pw", false});
    Bytes bytes = encode_account_image(image);
    testing::put_u32(bytes, 0, GetParam().version);

    const DecodedImage decoded = decode_account_image(bytes);
    EXPECT_EQ(decoded.status, GetParam().status) << decoded.problem;
    if (GetParam().status == DecodeStatus::ok) {
        EXPECT_EQ(decoded.image, image);
    } else {
        EXPECT_EQ(decoded.image, AccountImage{}) << "nothing is read from an old file";
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, AccountImageVersion,
                         ::testing::Values(VersionCase{0x00010034, DecodeStatus::old_version},
                                           VersionCase{0x00000000, DecodeStatus::old_version},
                                           // Compared signed: the top bit makes it older.
                                           VersionCase{0x80000000, DecodeStatus::old_version},
                                           VersionCase{0x00010035, DecodeStatus::ok},
                                           VersionCase{0x00020017, DecodeStatus::ok},
                                           VersionCase{0x00030000, DecodeStatus::ok}));

TEST(AccountImageBytes, OldVersionNeedsNoHeader) {
    const Bytes bytes{0x34, 0x00, 0x01, 0x00};
    EXPECT_EQ(decode_account_image(bytes).status, DecodeStatus::old_version);
}

// Two records of `size` bytes each, the first `size` bytes of the usual
// layout followed by 0xEE filler.
Bytes image_with_record_size(std::uint32_t size) {
    Bytes b = empty_golden();
    testing::put_u32(b, 4, size);
    testing::put_u32(b, 32, 2);
    const std::initializer_list<std::initializer_list<std::uint8_t>> fields[] = {
        {{3, 'B', 'o', 'b'}, {7, 's', 'e', 'c', 'r', 'e', 't', '!'}, {0x01, 0x00}},
        {{3, 'E', 'v', 'e'}, {2, 'p', 'w'}, {0x00, 0x00}}};
    for (const auto& record : fields) {
        Bytes full(34, 0);
        std::size_t offsets[] = {0, 16, 32};
        std::size_t i = 0;
        for (const auto& field : record) put(full, offsets[i++], field);
        full.resize(size, 0xEE);
        b.insert(b.end(), full.begin(), full.end());
    }
    return b;
}

TEST(AccountImageBytes, LargerRecordsSkipTheirTail) {
    const DecodedImage decoded = decode_account_image(image_with_record_size(40));
    ASSERT_EQ(decoded.status, DecodeStatus::ok) << decoded.problem;
    const std::vector<Account> expected{{"Bob", "secret!", true}, {"Eve", "pw", false}};
    EXPECT_EQ(decoded.image.accounts, expected);
}

TEST(AccountImageBytes, SmallerRecordsLeaveMissingBytesZero) {
    const DecodedImage decoded = decode_account_image(image_with_record_size(20));
    ASSERT_EQ(decoded.status, DecodeStatus::ok) << decoded.problem;
    // 20 bytes hold the name and the password's length byte and first three
    // bytes; the rest of the password reads as zero bytes, the mark as 0.
    const std::vector<Account> expected{{"Bob", std::string("sec\0\0\0\0", 7), false},
                                        {"Eve", "pw", false}};
    EXPECT_EQ(decoded.image.accounts, expected);
}

TEST(AccountImageBytes, LengthByteBeyondTheFieldIsCutTo15) {
    Bytes b = empty_golden();
    testing::put_u32(b, 32, 1);
    b[10] = 200;
    for (std::size_t i = 11; i < 26; ++i) b[i] = 'p';
    b.resize(1024 + 34, 'n');
    b[1024] = 200;
    b[1040] = 16;
    const DecodedImage decoded = decode_account_image(b);
    ASSERT_EQ(decoded.status, DecodeStatus::ok) << decoded.problem;
    EXPECT_EQ(decoded.image.settings.system_password, std::string(15, 'p'));
    ASSERT_EQ(decoded.image.accounts.size(), 1u);
    EXPECT_EQ(decoded.image.accounts[0].name, std::string(15, 'n'));
    EXPECT_EQ(decoded.image.accounts[0].password, std::string(15, 'n'));
    EXPECT_TRUE(decoded.image.accounts[0].forbidden) << "any nonzero mark forbids";
}

TEST(AccountImageBytes, RecordSizeZeroWithoutUsersIsFine) {
    Bytes b = empty_golden();
    testing::put_u32(b, 4, 0);
    EXPECT_EQ(decode_account_image(b).status, DecodeStatus::ok);
}

struct LegacyCase {
    const char* what;
    Bytes file;
    std::vector<Account> accounts;
    bool allow_new_users;
};

Bytes legacy_record(std::string_view name, std::string_view password) {
    Bytes r(256, 0);
    r[0] = static_cast<std::uint8_t>(name.size());
    std::copy(name.begin(), name.end(), r.begin() + 1);
    r[128] = static_cast<std::uint8_t>(password.size());
    std::copy(password.begin(), password.end(), r.begin() + 129);
    return r;
}

Bytes concat(std::initializer_list<Bytes> parts) {
    Bytes all;
    for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
    return all;
}

Bytes first_bytes(Bytes b, std::size_t n) {
    b.resize(n);
    return b;
}

Bytes legacy_header(std::uint8_t allow) {
    Bytes h(1024, 0);
    put(h, 0, {0xCD, 0xAB, 0x10, 0x10});
    h[8] = allow;
    return h;
}

void PrintTo(const LegacyCase& c, std::ostream* os) { *os << c.what; }

class LegacyUsersTable : public ::testing::TestWithParam<LegacyCase> {};

TEST_P(LegacyUsersTable, Decodes) {
    const LegacyUsers users = decode_legacy_users(GetParam().file);
    EXPECT_EQ(users.accounts, GetParam().accounts);
    EXPECT_EQ(users.allow_new_users, GetParam().allow_new_users);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, LegacyUsersTable,
    ::testing::Values(LegacyCase{"two records without magic",
                                 concat({legacy_record("Ann", "a1"), legacy_record("Ben", "b2")}),
                                 {{"Ann", "a1", false}, {"Ben", "b2", false}},
                                 true},
                      LegacyCase{"magic, new users refused",
                                 concat({legacy_header(0), legacy_record("Ann", "a1")}),
                                 {{"Ann", "a1", false}},
                                 false},
                      LegacyCase{"magic, new users allowed",
                                 concat({legacy_header(7), legacy_record("Ann", "a1")}),
                                 {{"Ann", "a1", false}},
                                 true},
                      LegacyCase{"partial last record ignored",
                                 concat({legacy_record("Ann", "a1"), Bytes(255, 3)}),
                                 {{"Ann", "a1", false}},
                                 true},
                      LegacyCase{"header cut short", first_bytes(legacy_header(0), 9), {}, false},
                      LegacyCase{"long texts cut to 15 bytes",
                                 legacy_record(std::string(100, 'n'), std::string(127, 'p')),
                                 {{std::string(15, 'n'), std::string(15, 'p'), false}},
                                 true},
                      LegacyCase{"empty file", {}, {}, true}),
    [](const auto& info) {
        std::string name;
        for (const char c : std::string_view(info.param.what))
            name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
        return name;
    });

TEST(LegacyUsers, LengthBytePastTheFieldIsCut) {
    Bytes r = legacy_record("", "");
    std::fill(r.begin(), r.end(), 'z');
    r[0] = 255;
    r[128] = 200;
    const LegacyUsers users = decode_legacy_users(r);
    ASSERT_EQ(users.accounts.size(), 1u);
    EXPECT_EQ(users.accounts[0].name, std::string(15, 'z'));
    EXPECT_EQ(users.accounts[0].password, std::string(15, 'z'));
}

}  // namespace
}  // namespace rk::accounts
