#include "wire/listing.h"

#include <gtest/gtest.h>

#include "wire/codes.h"
#include "wire_bytes.h"

namespace rk::wire {
namespace {

using namespace testing;
using namespace std::string_literals;

// One file record as the client parses it.
Bytes file_record(const std::string& path, std::uint64_t size, std::uint32_t attributes,
                  std::uint32_t date) {
    Bytes out{0};
    put_u32(out, std::uint32_t(size));
    put_u32(out, std::uint32_t(size >> 32));
    put_u32(out, attributes);
    put_u32(out, date);
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
    return out;
}

TEST(ListingHeader, ArgumentsAndWhatIsPossible) {
    const Packet p = ListingHeader{12, 3000, 77}.encode();
    EXPECT_EQ(p.head.kind, std::uint8_t(Kind::data));
    EXPECT_EQ(p.head.code, code_of(Data::listing_header));
    EXPECT_EQ(p.head.want_ack, kWantAck);
    EXPECT_EQ(p.head.arg1, 12);
    EXPECT_EQ(p.head.arg2, 3000);
    EXPECT_EQ(p.head.arg3, 0);
    EXPECT_EQ(p.head.arg4, 77);
    EXPECT_TRUE(p.payload.empty());

    const struct {
        std::int32_t arg1, arg2;
        bool exists, possible;
    } cases[] = {
        {0, 0, true, true}, {-1, 0, false, true}, {-2, 0, true, false}, {3, -5, true, false}};
    for (const auto& c : cases) {
        PacketHead head;
        head.arg1 = c.arg1;
        head.arg2 = c.arg2;
        head.arg4 = 9;
        const ListingHeader back = ListingHeader::decode(head);
        EXPECT_EQ(back.exists(), c.exists) << c.arg1 << " " << c.arg2;
        EXPECT_EQ(back.possible(), c.possible) << c.arg1 << " " << c.arg2;
        EXPECT_EQ(back.transfer_id, 9);
    }
}

TEST(ListingWriter, LaysOutFilesThenTheFolderSection) {
    ListingWriter w;
    w.file("\\a", (1ull << 40) + 5, 0x21, 0x11223344);
    EXPECT_TRUE(w.folder("\\f", 9));
    w.file("\\f\\b", 0, 0x20, 7);
    EXPECT_TRUE(w.folder("\\g", 0xFFFFFFFF));
    EXPECT_EQ(w.file_count(), 2);

    Bytes totals;
    put_u32(totals, 9);
    put_u32(totals, 0xFFFFFFFF);
    const Bytes expected = join(join(join(file_record("\\a", (1ull << 40) + 5, 0x21, 0x11223344),
                                          file_record("\\f\\b", 0, 0x20, 7)),
                                     bytes_of("\\f\r\n\\g\r\n"s + '\0')),
                                totals);
    EXPECT_EQ(w.take(), expected);
}

TEST(ListingWriter, EdgeCases) {
    ListingWriter nothing;
    EXPECT_TRUE(nothing.take().empty()) << "nothing found is no bytes, not a lone NUL";

    ListingWriter folders_only;
    folders_only.folder("\\f", 1);
    Bytes total;
    put_u32(total, 1);
    EXPECT_EQ(folders_only.take(), join(bytes_of("\\f\r\n"s + '\0'), total));

    ListingWriter line_ends;
    EXPECT_FALSE(line_ends.folder("\\a\rb", 1));
    EXPECT_FALSE(line_ends.folder("\\a\nb", 1));
    EXPECT_TRUE(line_ends.take().empty()) << "refused folders leave nothing behind";

    ListingWriter long_paths;
    const std::string long_path = "\\" + std::string(kMaxListedPath + 10, 'x');
    long_paths.file(long_path, 1, 0, 0);
    long_paths.folder(long_path, 2);
    const Decoded<ListingContent> back = decode_listing(long_paths.take(), 1);
    ASSERT_TRUE(back.ok()) << back.error;
    EXPECT_EQ(back.value.files.at(0).path, long_path.substr(0, kMaxListedPath));
    EXPECT_EQ(back.value.folders.at(0).path, long_path.substr(0, kMaxListedPath));
}

TEST(DecodeListing, RoundTripsWhatTheWriterLaysOut) {
    ListingWriter w;
    w.file("\\1\\SAVE.DAT", 1000, 0x20, 0x5678);
    w.file("\\top.txt", (1ull << 40) + 5, 0x21, 0xFFFFFFFF);
    w.folder("\\1", 41000);
    w.folder("\\empty", 0);
    const Decoded<ListingContent> back = decode_listing(w.take(), w.file_count());
    ASSERT_TRUE(back.ok()) << back.error;
    ASSERT_EQ(back.value.files.size(), 2u);
    EXPECT_EQ(back.value.files[1].path, "\\top.txt");
    EXPECT_EQ(back.value.files[1].size, (1ull << 40) + 5);
    EXPECT_EQ(back.value.files[1].attributes, 0x21u);
    EXPECT_EQ(back.value.files[1].dos_date, 0xFFFFFFFFu);
    ASSERT_EQ(back.value.folders.size(), 2u);
    EXPECT_EQ(back.value.folders[0].path, "\\1");
    EXPECT_EQ(back.value.folders[0].total, 41000u);
    EXPECT_EQ(back.value.folders[1].path, "\\empty");
}

TEST(DecodeListing, NeverReadsPastItsBytesNorTrustsTheCount) {
    Bytes total;
    put_u32(total, 9);
    const Bytes good =
        join(join(file_record("\\a", 1, 0x20, 3), bytes_of("\\f\r\n"s + '\0')), total);
    const auto cut = [&](std::size_t n) {
        return Bytes(good.begin(), good.begin() + std::ptrdiff_t(n));
    };
    Bytes bad_type = good;
    bad_type[0] = 1;
    const struct {
        const char* what;
        Bytes bytes;
        std::int32_t count;
        bool ok;
    } cases[] = {
        {"whole", good, 1, true},
        {"empty", {}, 0, true},
        {"empty but files announced", {}, 2, false},
        {"more files announced than recorded", good, 2, false},
        {"a huge count", good, 0x7FFFFFFF, false},
        {"negative count", good, -1, false},
        {"record cut inside its fields", cut(10), 1, false},
        {"path without its NUL", cut(19), 1, false},
        {"no folder section", cut(20), 1, false},
        {"folder name without CR LF", join(file_record("\\a", 1, 0, 0), bytes_of("\\f"s + '\0')), 1,
         false},
        {"folder total cut short", cut(good.size() - 1), 1, false},
        {"unknown record type", bad_type, 1, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const Decoded<ListingContent> back = decode_listing(c.bytes, c.count);
        EXPECT_EQ(back.ok(), c.ok) << back.error;
    }
}

}  // namespace
}  // namespace rk::wire
