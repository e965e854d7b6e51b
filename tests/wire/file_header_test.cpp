#include "wire/file_header.h"

#include <gtest/gtest.h>

#include "wire/codes.h"
#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;

TEST(FileHeader, PacksSizeAndAttributesIntoTheArguments) {
    struct Case {
        const char* what;
        FileHeader header;
        std::int32_t arg1, arg2;
        std::uint64_t size_read;
        std::uint32_t attributes_read;
    };
    const Case cases[] = {
        {"small", {5, 0x20, 0, 0, "a"}, 5, 0x20, 5, 0x20},
        {"five GiB", {5ull << 30, 0x21, 0, 0, "a"}, 0x40000000, 0x00010021, 5ull << 30, 0x21},
        {"largest", {kMaxFileSize, 0xFFFF, 0, 0, "a"}, -1, -1, kMaxFileSize, 0xFFFF},
        {"bits past 48 and 16 do not travel",
         {kMaxFileSize + 2, 0x10021, 0, 0, "a"},
         1,
         0x21,
         1,
         0x21},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Packet p = c.header.encode();
        EXPECT_EQ(p.head.arg1, c.arg1);
        EXPECT_EQ(p.head.arg2, c.arg2);
        const FileHeader back = FileHeader::decode(p);
        EXPECT_EQ(back.size, c.size_read);
        EXPECT_EQ(back.attributes, c.attributes_read);
    }
}

TEST(FileHeader, CarriesDateIdAndNameAndAsksForAnAcknowledgement) {
    const Packet p = FileHeader{1, 0x20, 0x5678ABCD, 42, "\\1\\SAVE.DAT"}.encode();
    EXPECT_EQ(p.head.kind, std::uint8_t(Kind::data));
    EXPECT_EQ(p.head.code, code_of(Data::file_header));
    EXPECT_EQ(p.head.want_ack, kWantAck);
    EXPECT_EQ(p.head.arg3, 0x5678ABCD);
    EXPECT_EQ(p.head.arg4, 42);
    EXPECT_EQ(p.payload, bytes_of(std::string_view("\\1\\SAVE.DAT\0", 12)));
    const FileHeader back = FileHeader::decode(p);
    EXPECT_EQ(back.dos_date, 0x5678ABCD);
    EXPECT_EQ(back.transfer_id, 42);
    EXPECT_EQ(back.name, "\\1\\SAVE.DAT");
}

TEST(FileHeader, NameEndsAtTheFirstNulOrTheEndOfThePayload) {
    const struct {
        const char* what;
        Bytes payload;
        std::string name;
    } cases[] = {
        {"no payload", {}, ""},
        {"no NUL", bytes_of("\\a"), "\\a"},
        {"bytes after the NUL", bytes_of(std::string_view("\\a\0\\b", 5)), "\\a"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Packet p{packet_head(Data::file_header, true), c.payload};
        EXPECT_EQ(FileHeader::decode(p).name, c.name);
    }
}

}  // namespace
}  // namespace rk::wire
