#include "wire/payload.h"

#include <gtest/gtest.h>

#include "wire/path_text.h"

namespace rk::wire {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }

TEST(PayloadReader, ZeroTerminatedStrings) {
    PayloadWriter w;
    w.zstr("");
    EXPECT_EQ(w.data().size(), 1u) << "the empty string is one NUL";
    w.zstr("\\1\\SAVE.DAT");
    PayloadReader r(w.data());
    EXPECT_EQ(r.zstr(), "");
    EXPECT_EQ(r.position(), 1u);
    EXPECT_EQ(r.zstr(), "\\1\\SAVE.DAT");
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(r.zstr(), "");
    EXPECT_EQ(r.position(), w.data().size()) << "reading at the end consumes nothing";
}

TEST(PayloadReader, StringWithoutNulEndsAtTheEndOfThePayload) {
    const Bytes b = bytes_of("abc");
    PayloadReader r(b);
    EXPECT_EQ(r.zstr(), "abc");
    EXPECT_TRUE(r.at_end());
    EXPECT_EQ(zstr_at(b), "abc");
    EXPECT_EQ(zstr_at(b, 2), "c");
    EXPECT_EQ(zstr_at(b, 3), "");
    EXPECT_EQ(zstr_at(b, 1000), "");
    EXPECT_EQ(zstr_at({}), "");
}

TEST(PayloadReader, TruncatedIntegerIsMissingAndNotConsumed) {
    const Bytes b{1, 0, 0, 0, 0xFE, 0xFF, 0xFF};
    PayloadReader r(b);
    EXPECT_EQ(r.i32(), 1);
    EXPECT_EQ(r.i32(), std::nullopt);
    EXPECT_EQ(r.position(), 4u);
}

TEST(PayloadReader, BatchListWithoutFinalEmptyPathEndsAtTheEnd) {
    PayloadWriter w;
    w.zstr("\\a");
    w.i32(-5);
    w.zstr("\\b");
    w.i32(6);
    PayloadReader r(w.data());
    std::vector<std::pair<std::string, std::int32_t>> pairs;
    for (std::string name = r.zstr(); !name.empty(); name = r.zstr()) {
        auto tag = r.i32();
        if (!tag) break;
        pairs.emplace_back(name, *tag);
    }
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[0], std::make_pair(std::string("\\a"), -5));
    EXPECT_EQ(pairs[1], std::make_pair(std::string("\\b"), 6));
}

TEST(LengthPrefixedField, ReadsOnlyWhatTheBytesHold) {
    struct Case {
        const char* name;
        Bytes bytes;
        std::size_t offset;
        std::string expected;
    };
    Bytes declares_200(128, 'x');
    declares_200[0] = 200;  // more than the field can hold: cut to 127
    const Case cases[] = {
        {"plain", {3, 'b', 'o', 'b', 'z'}, 0, "bob"},
        {"length beyond the bytes", {9, 'b', 'o'}, 0, "bo"},
        {"length byte only", {5}, 0, ""},
        {"offset beyond the bytes", {3, 'a', 'b', 'c'}, 128, ""},
        {"declared length beyond the field", declares_200, 0, std::string(127, 'x')},
    };
    for (const Case& c : cases) EXPECT_EQ(field_at(c.bytes, c.offset), c.expected) << c.name;
}

TEST(LengthPrefixedField, CredentialsRoundTripAndShortPayloadsReadEmpty) {
    const Bytes payload = write_credentials("Alice", "s3cret");
    ASSERT_EQ(payload.size(), 256u);
    auto creds = read_credentials(payload);
    EXPECT_EQ(creds.name, "Alice");
    EXPECT_EQ(creds.password, "s3cret");

    creds = read_credentials(std::span(payload).first(130));
    EXPECT_EQ(creds.name, "Alice");
    EXPECT_EQ(creds.password, "s") << "a cut payload gives what is there";
    creds = read_credentials({});
    EXPECT_EQ(creds.name, "");
    EXPECT_EQ(creds.password, "");

    const Bytes long_name = write_credentials(std::string(300, 'n'), "");
    EXPECT_EQ(read_credentials(long_name).name, std::string(127, 'n'));
}

TEST(SizeArgs, FortyEightBitSizesShareArg2WithAttributes) {
    const std::uint64_t five_gib = 5ull << 30;
    const SizeArgs args = pack_size(five_gib, 0x21);
    EXPECT_EQ(args.arg1, 0x40000000);
    EXPECT_EQ(args.arg2, 0x00010021);
    EXPECT_EQ(unpack_size(args.arg1, args.arg2), five_gib);
    EXPECT_EQ(unpack_attributes(args.arg2), 0x21u);

    const SizeArgs max = pack_size(0xFFFFFFFFFFFFull, 0xFFFF);
    EXPECT_EQ(max.arg1, -1);
    EXPECT_EQ(max.arg2, -1);
    EXPECT_EQ(unpack_size(max.arg1, max.arg2), 0xFFFFFFFFFFFFull);
}

TEST(Chunks, CountRoundsUp) {
    EXPECT_EQ(chunk_count(0), 0u);
    EXPECT_EQ(chunk_count(1), 1u);
    EXPECT_EQ(chunk_count(1024), 1u);
    EXPECT_EQ(chunk_count(1025), 2u);
}

TEST(Compression, SentCompressedOnlyWhenItSavesMoreThan32Bytes) {
    struct Case {
        std::size_t plain, compressed;
        bool pays;
    };
    const Case cases[] = {
        {224, 10, false},   // too small to try
        {225, 10, true},
        {300, 270, false},  // 270 is not below 268
        {300, 268, false},
        {300, 267, true},
        {300, 260, true},
        {1024, 1030, false},
    };
    for (const Case& c : cases)
        EXPECT_EQ(compressed_pays(c.plain, c.compressed), c.pays) << c.plain << " -> " << c.compressed;
}

TEST(PathText, SlashesAndNames) {
    EXPECT_EQ(include_slash(""), "");
    EXPECT_EQ(include_slash("\\a"), "\\a\\");
    EXPECT_EQ(include_slash("\\a\\"), "\\a\\");
    EXPECT_EQ(exclude_slash("\\"), "\\");
    EXPECT_EQ(exclude_slash("\\a\\"), "\\a");
    EXPECT_EQ(exclude_slash(""), "");
    EXPECT_EQ(file_name_part("\\1\\SAVE.DAT"), "SAVE.DAT");
    EXPECT_EQ(file_name_part("SAVE.DAT"), "SAVE.DAT");
    EXPECT_EQ(file_name_part("\\1\\"), "");
    EXPECT_EQ(file_name_part(std::string(2000, 'x')).size(), 1024u);
}

}  // namespace
}  // namespace rk::wire
