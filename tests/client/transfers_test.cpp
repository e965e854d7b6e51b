#include "client/transfers.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "platform/dos_time.h"
#include "scripted_peer.h"
#include "wire/codes.h"
#include "wire/payload.h"
#include "wire/zlib_codec.h"

namespace rk::client::test {
namespace {

using namespace std::chrono_literals;
using wire::Data;
using wire::code_of;
using wire::Kind;
using wire::Reply;
using wire::Request;


// 2023-06-15 14:30:20 in DOS form.
constexpr std::uint32_t kDate =
    (43u << 25) | (6u << 21) | (15u << 16) | (14u << 11) | (30u << 5) | 10u;

Connection::Options fast() {
    Connection::Options o;
    o.resend_interval = 10ms;
    o.ack_timeout = 500ms;
    o.answer_timeout = 500ms;
    o.connect_timeout = 1000ms;
    return o;
}

// Runs `op` on a connection to a peer running `script`; what the script
// records is there once this returns.
template <class Op>
auto against(ScriptedPeer::Script script, Op op) {
    ScriptedPeer peer(std::move(script));
    std::error_code ec;
    auto client = Connection::connect("127.0.0.1", peer.port(), ec, fast());
    if (!client) throw std::runtime_error("no connection: " + ec.message());
    auto result = op(*client);
    client->close();
    peer.join();
    return result;
}

// The next request, acknowledged when it asks.
std::optional<wire::Packet> take(PeerLink& link) {
    auto p = link.next_request();
    if (p && p->head.want_ack != 0) link.ack(p->head.seq);
    return p;
}

Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
    Bytes b(n);
    // Not compressible by much, so chunks travel plain unless a test asks.
    std::uint32_t x = 2463534242u + seed;
    for (auto& v : b) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        v = std::uint8_t(x);
    }
    return b;
}

// A listing laid out as the server writes it.
struct ListingBuilder {
    Bytes bytes;
    std::int32_t files = 0;
    std::vector<std::pair<std::string, std::uint32_t>> folders;

    ListingBuilder& file(const std::string& path, std::uint64_t size, std::uint32_t attr,
                         std::uint32_t date) {
        bytes.push_back(0);
        for (int i = 0; i < 8; ++i) bytes.push_back(std::uint8_t(size >> (8 * i)));
        for (std::uint32_t v : {attr, date}) {
            for (int i = 0; i < 4; ++i) bytes.push_back(std::uint8_t(v >> (8 * i)));
        }
        bytes.insert(bytes.end(), path.begin(), path.end());
        bytes.push_back(0);
        ++files;
        return *this;
    }
    ListingBuilder& folder(const std::string& path, std::uint32_t total) {
        folders.emplace_back(path, total);
        return *this;
    }
    Bytes build() const {
        Bytes out = bytes;
        for (const auto& [path, total] : folders) {
            out.insert(out.end(), path.begin(), path.end());
            out.push_back('\r');
            out.push_back('\n');
        }
        out.push_back(0);
        for (const auto& [path, total] : folders) {
            for (int i = 0; i < 4; ++i) out.push_back(std::uint8_t(total >> (8 * i)));
        }
        if (out.size() == 1) out.clear();
        return out;
    }
};

// A listing big enough for two chunks, compressible, with a folder.
ListingBuilder big_listing() {
    ListingBuilder b;
    for (int i = 0; i < 40; ++i) {
        b.file("\\1\\SAVE" + std::to_string(i) + ".DAT", 1000u + unsigned(i), 0x20, kDate);
    }
    b.file("\\top.txt", (std::uint64_t(1) << 40) + 5, 0x21, kDate);
    b.folder("\\1", 41000);
    b.folder("\\empty", 0);
    return b;
}

TEST(List, DecodesCompressedChunksAndAsksAgainForADroppedOne) {
    const ListingBuilder source = big_listing();
    const Bytes content = source.build();
    ASSERT_GT(content.size(), 1024u);
    std::vector<std::int32_t> answers;
    std::optional<wire::Packet> request;
    const Listing listing = against(
        [&](PeerLink& link) {
            request = take(link);
            link.send_args(Kind::data, code_of(Data::listing_header),
                           {source.files, std::int32_t(content.size()), 0, 77}, true);
            serve_stream(link, content, {code_of(Data::listing_chunk), 77, true, {1}, 4}, &answers);
        },
        [](Connection& c) { return list(c, "\\games"); });

    ASSERT_EQ(listing.status, Transfer::done) << listing.detail;
    ASSERT_TRUE(request);
    EXPECT_EQ(request->head.code, code_of(Request::list_folder));
    EXPECT_EQ(wire::zstr_at(request->payload), "\\games");
    EXPECT_EQ(answers, (std::vector<std::int32_t>{1, -1})) << "resend from 1, then received";
    ASSERT_EQ(listing.files.size(), 41u);
    EXPECT_EQ(listing.files[3].path, "\\1\\SAVE3.DAT");
    EXPECT_EQ(listing.files[3].size, 1003u);
    EXPECT_EQ(listing.files[40].size, (std::uint64_t(1) << 40) + 5);
    EXPECT_EQ(listing.files[40].attributes, 0x21u);
    EXPECT_EQ(listing.files[40].dos_date, kDate);
    ASSERT_EQ(listing.folders.size(), 2u);
    EXPECT_EQ(listing.folders[0].path, "\\1");
    EXPECT_EQ(listing.folders[0].total, 41000u);
    EXPECT_EQ(listing.folders[1].path, "\\empty");
}

TEST(List, HeaderOnlyAnswers) {
    const struct {
        const char* name;
        std::int32_t arg1, arg2;
        Transfer status;
        bool stop_sent;
    } cases[] = {
        {"empty folder", 0, 0, Transfer::done, false},
        {"missing folder", -1, 0, Transfer::missing, false},
        {"over the size limit", 3, std::int32_t(kMaxListingSize + 1), Transfer::too_large, true},
        {"negative size", 3, -5, Transfer::malformed, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        bool stop_sent = false;
        const Listing listing = against(
            [&](PeerLink& link) {
                take(link);
                link.send_args(Kind::data, code_of(Data::listing_header), {c.arg1, c.arg2, 0, 5},
                               true);
                while (auto p = take(link)) {
                    if (p->head.code == code_of(Request::stop_transfer)) stop_sent = true;
                }
            },
            [](Connection& c) { return list(c, "\\"); });
        EXPECT_EQ(listing.status, c.status);
        EXPECT_TRUE(listing.files.empty());
        EXPECT_EQ(stop_sent, c.stop_sent);
    }
}

TEST(DecodeListing, RefusesWhatDoesNotAddUp) {
    const Bytes good = ListingBuilder().file("\\a", 1, 0x20, kDate).folder("\\f", 9).build();
    const auto cut = [&](std::size_t n) {
        return Bytes(good.begin(), good.begin() + std::ptrdiff_t(n));
    };
    Bytes bad_type = good;
    bad_type[0] = 1;
    Bytes no_crlf = ListingBuilder().file("\\a", 1, 0x20, kDate).build();
    no_crlf.back() = 'x';
    no_crlf.push_back(0);
    const struct {
        const char* name;
        Bytes bytes;
        std::int32_t count;
        Transfer status;
    } cases[] = {
        {"whole", good, 1, Transfer::done},
        {"empty", {}, 0, Transfer::done},
        {"empty but files announced", {}, 2, Transfer::malformed},
        {"more files announced than recorded", good, 2, Transfer::malformed},
        {"record cut inside its fields", cut(10), 1, Transfer::malformed},
        {"path without its NUL", cut(19), 1, Transfer::malformed},
        {"no folder section", cut(20), 1, Transfer::malformed},
        {"folder total cut short", cut(good.size() - 1), 1, Transfer::malformed},
        {"unknown record type", bad_type, 1, Transfer::malformed},
        {"folder name without CR LF", no_crlf, 1, Transfer::malformed},
        {"negative count", good, -3, Transfer::malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Listing listing = decode_listing(c.bytes, c.count);
        EXPECT_EQ(listing.status, c.status) << listing.detail;
        if (c.status == Transfer::done && !c.bytes.empty()) {
            ASSERT_EQ(listing.folders.size(), 1u);
            EXPECT_EQ(listing.folders[0].total, 9u);
        }
    }
}

std::filesystem::path scratch(const std::string& name) {
    const auto dir = std::filesystem::path(::testing::TempDir()) / "rk_transfers";
    std::filesystem::create_directories(dir);
    const auto path = dir / name;
    std::filesystem::remove(path);
    return path;
}

Bytes read_file(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
}

TEST(Download, WritesTheFileByteForByteWithItsDate) {
    const struct {
        std::size_t size;
        std::vector<std::uint64_t> drop;
    } cases[] = {{0, {}}, {1, {}}, {1024, {}}, {1025, {}}, {5000, {2}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.size);
        const Bytes content = pattern(c.size, std::uint8_t(c.size));
        const auto local = scratch("download.bin");
        std::optional<wire::Packet> request;
        std::vector<std::uint64_t> progress;
        const Download result = against(
            [&](PeerLink& link) {
                request = take(link);
                const auto size = wire::pack_size(c.size, 0x21);
                wire::PayloadWriter name;
                name.zstr("\\1\\SAVE.DAT");
                link.send_args(Kind::data, code_of(Data::file_header),
                               {size.arg1, size.arg2, std::int32_t(kDate), 9}, true, name.data());
                if (c.size > 0)
                    serve_stream(link, content, {code_of(Data::file_chunk), 9, false, c.drop, 4});
            },
            [&](Connection& conn) {
                return download(conn, "\\1\\SAVE.DAT", local,
                                [&](std::uint64_t done, std::uint64_t total) {
                                    EXPECT_EQ(total, c.size);
                                    progress.push_back(done);
                                });
            });
        ASSERT_EQ(result.status, Transfer::done) << result.detail;
        EXPECT_EQ(request->head.code, code_of(Request::download_file));
        EXPECT_EQ(wire::zstr_at(request->payload), "\\1\\SAVE.DAT");
        EXPECT_EQ(result.attributes, 0x21u);
        EXPECT_EQ(read_file(local), content);
        if (c.size > 0) {
            ASSERT_FALSE(progress.empty());
            EXPECT_EQ(progress.back(), c.size);
        }
        const auto stamp = std::chrono::file_clock::to_sys(std::filesystem::last_write_time(local));
        EXPECT_EQ(platform::to_dos_time(std::chrono::system_clock::to_time_t(
                      std::chrono::time_point_cast<std::chrono::system_clock::duration>(stamp))),
                  kDate);
    }
}

TEST(Download, RefusedOrHostileLeavesNoFile) {
    const auto local = scratch("refused.bin");
    std::ofstream(local) << "old";
    const struct {
        const char* name;
        std::function<void(PeerLink&)> answer;
        Transfer status;
    } cases[] = {
        {"cannot open", [](PeerLink& l) { l.send(Kind::reply, code_of(Reply::cannot_open)); },
         Transfer::missing},
        {"more chunks than an index can name",
         [](PeerLink& l) {
             const auto size = wire::pack_size(std::uint64_t(1) << 47, 0);
             l.send_args(Kind::data, code_of(Data::file_header), {size.arg1, size.arg2, 0, 3}, true);
         },
         Transfer::too_large},
        {"chunk index past the end",
         [](PeerLink& l) {
             l.send_args(Kind::data, code_of(Data::file_header), {100, 0, 0, 3}, true);
             const Bytes data(100, 1);
             l.send_args(Kind::data, code_of(Data::file_chunk), {3, 1, 0, 0}, false, data);
         },
         Transfer::malformed},
        {"short chunk",
         [](PeerLink& l) {
             l.send_args(Kind::data, code_of(Data::file_header), {2000, 0, 0, 3}, true);
             const Bytes data(1000, 1);
             l.send_args(Kind::data, code_of(Data::file_chunk), {3, 0, 0, 0}, false, data);
         },
         Transfer::malformed},
        {"compressed chunk that inflates past a chunk",
         [](PeerLink& l) {
             l.send_args(Kind::data, code_of(Data::file_header), {5000, 0, 0, 3}, true);
             const Bytes plain(4096, 0);
             const auto packed = wire::compress(plain, wire::CompressLevel::normal);
             l.send_args(Kind::data, code_of(Data::file_chunk), {3, 0, 0, 1}, false, packed.bytes);
         },
         Transfer::malformed},
        {"chunk marked compressed that is not",
         [](PeerLink& l) {
             l.send_args(Kind::data, code_of(Data::file_header), {5000, 0, 0, 3}, true);
             const Bytes junk(300, 7);
             l.send_args(Kind::data, code_of(Data::file_chunk), {3, 0, 0, 1}, false, junk);
         },
         Transfer::malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Download result = against(
            [&](PeerLink& link) {
                take(link);
                c.answer(link);
                while (take(link)) {
                }
            },
            [&](Connection& conn) { return download(conn, "\\x", local); });
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(read_file(local), (Bytes{'o', 'l', 'd'})) << "the old file is untouched";
        EXPECT_FALSE(std::filesystem::exists(local.parent_path() / ".refused.bin.rkpart"));
    }
}

// Batch stream entries as the server packs them.
void add_entry(Bytes& stream, std::int32_t tag, const Bytes* data) {
    wire::PayloadWriter w;
    w.i32(tag);
    w.i32(data ? std::int32_t(data->size()) : -1);
    w.i32(data ? 0x20 : 0);
    w.i32(data ? std::int32_t(kDate) : 0);
    if (data) w.bytes(*data);
    const Bytes head = w.take();
    stream.insert(stream.end(), head.begin(), head.end());
}

struct BatchRequest {
    std::vector<std::pair<std::string, std::int32_t>> pairs;
    bool compressed = false;
};

BatchRequest read_batch_request(const wire::Packet& p) {
    BatchRequest r;
    r.compressed = p.head.arg4 == 1;
    Bytes plain = p.payload;
    if (r.compressed) plain = wire::decompress(p.payload, 1 << 20).bytes;
    wire::PayloadReader reader(plain);
    for (;;) {
        const std::string name = reader.zstr();
        if (name.empty()) break;
        r.pairs.emplace_back(name, reader.i32().value_or(-99));
    }
    return r;
}

TEST(DownloadBatch, EntriesByTagWithAMissingFile) {
    const Bytes first = pattern(1500, 1);
    Bytes stream;
    add_entry(stream, 0, &first);
    add_entry(stream, 1, nullptr);
    BatchRequest seen;
    const Batch batch = against(
        [&](PeerLink& link) {
            seen = read_batch_request(*take(link));
            link.send_args(Kind::request, code_of(Request::batch_header),
                           {0, 3, std::int32_t(stream.size()), 12}, true);
            serve_stream(link, stream, {code_of(Data::batch_chunk), 12, false, {0}, 4});
        },
        [](Connection& c) {
            return download_batch(c, {"\\1\\A.DAT", "\\1\\GONE.DAT"});
        });
    ASSERT_EQ(batch.status, Transfer::done) << batch.detail;
    EXPECT_EQ(seen.pairs, (std::vector<std::pair<std::string, std::int32_t>>{
                              {"\\1\\A.DAT", 0}, {"\\1\\GONE.DAT", 1}}));
    EXPECT_FALSE(seen.compressed);
    ASSERT_EQ(batch.entries.size(), 2u);
    EXPECT_EQ(batch.entries[0].bytes, first);
    EXPECT_EQ(batch.entries[0].dos_date, std::int32_t(kDate));
    EXPECT_EQ(batch.entries[1].tag, 1);
    EXPECT_EQ(batch.entries[1].length, -1);
}

TEST(DownloadBatch, ALongNameListTravelsCompressedAndAnEmptyBatchIsConfirmed) {
    std::vector<std::string> names;
    for (int i = 0; i < 30; ++i) names.push_back("\\game\\1\\PART" + std::to_string(i) + ".DAT");
    BatchRequest seen;
    std::vector<std::int32_t> answers;
    const Batch batch = against(
        [&](PeerLink& link) {
            seen = read_batch_request(*take(link));
            link.send_args(Kind::request, code_of(Request::batch_header), {0, 3, 0, 4}, true);
            serve_stream(link, {}, {code_of(Data::batch_chunk), 4, false, {}, 2}, &answers);
        },
        [&](Connection& c) { return download_batch(c, names); });
    EXPECT_EQ(batch.status, Transfer::done);
    EXPECT_TRUE(batch.entries.empty());
    EXPECT_TRUE(seen.compressed);
    ASSERT_EQ(seen.pairs.size(), names.size());
    EXPECT_EQ(seen.pairs[29], (std::pair<std::string, std::int32_t>{names[29], 29}));
    EXPECT_EQ(answers, std::vector<std::int32_t>{-1});
}

TEST(DownloadBatch, OneNameAnsweredAsADownload) {
    const Bytes content = pattern(1025, 3);
    const Batch found = against(
        [&](PeerLink& link) {
            take(link);
            link.send_args(Kind::data, code_of(Data::file_header),
                           {1025, 0x20, std::int32_t(kDate), 8}, true);
            serve_stream(link, content, {code_of(Data::file_chunk), 8, false, {}, 4});
        },
        [](Connection& c) { return download_batch(c, {"\\one"}); });
    ASSERT_EQ(found.status, Transfer::done) << found.detail;
    ASSERT_EQ(found.entries.size(), 1u);
    EXPECT_EQ(found.entries[0].tag, 0);
    EXPECT_EQ(found.entries[0].length, 1025);
    EXPECT_EQ(found.entries[0].bytes, content);

    const Batch refused = against(
        [](PeerLink& link) {
            take(link);
            link.send(Kind::reply, code_of(Reply::cannot_open));
        },
        [](Connection& c) { return download_batch(c, {"\\gone"}); });
    ASSERT_EQ(refused.status, Transfer::done);
    ASSERT_EQ(refused.entries.size(), 1u);
    EXPECT_EQ(refused.entries[0].length, -1);
}

TEST(DownloadBatch, RefusesHostileShapes) {
    Bytes overlong;
    const Bytes data(10, 1);
    add_entry(overlong, 0, &data);
    wire::store_u32(overlong.data() + 4, 11);
    Bytes cut;
    add_entry(cut, 0, nullptr);
    cut.pop_back();
    const struct {
        const char* name;
        Bytes stream;
        std::int32_t declared;
        Transfer status;
    } cases[] = {
        {"entry longer than the batch", overlong, std::int32_t(overlong.size()),
         Transfer::malformed},
        {"entry header cut", cut, std::int32_t(cut.size()), Transfer::malformed},
        {"batch over the limit", {}, std::int32_t(kMaxBatchSize + 1), Transfer::too_large},
        {"negative size", {}, -1, Transfer::malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const Batch batch = against(
            [&](PeerLink& link) {
                take(link);
                link.send_args(Kind::request, code_of(Request::batch_header), {0, 3, c.declared, 2},
                               true);
                if (c.declared == std::int32_t(c.stream.size())) {
                    serve_stream(link, c.stream, {code_of(Data::batch_chunk), 2, false, {}, 2});
                }
                while (take(link)) {
                }
            },
            [](Connection& conn) {
                return download_batch(conn, {"\\a", "\\b"});
            });
        EXPECT_EQ(batch.status, c.status);
    }
}

// What the fake server saw of an upload.
struct Received {
    std::optional<wire::Packet> start;
    Bytes content;
    std::vector<std::int32_t> chunk_order;
    int ends_of_pass = 0;
    bool stopped = false;
};

// Takes an upload like the server: chunks into place, then per 122 the
// answer `on_end` gives (it gets the round number and what is missing).
using EndAnswer =
    std::function<void(PeerLink&, int round, const std::vector<std::int32_t>& missing)>;

ScriptedPeer::Script receive_upload(Received& got, EndAnswer on_end) {
    return [&got, on_end](PeerLink& link) {
        got.start = take(link);
        if (!got.start) return;
        const std::uint64_t size = wire::unpack_size(got.start->head.arg1, got.start->head.arg2);
        const std::int32_t tid = got.start->head.arg4;
        got.content.assign(size, 0);
        std::vector<bool> have(wire::chunk_count(size), false);
        if (size == 0) {
            on_end(link, 0, {});
            return;
        }
        while (auto p = take(link)) {
            if (p->head.code == code_of(Request::stop_transfer)) got.stopped = true;
            if (p->head.kind == std::uint8_t(Kind::data) &&
                p->head.code == code_of(Data::file_chunk)) {
                Bytes data = p->payload;
                if (p->head.arg4 == 1) data = wire::decompress(data, 1024).bytes;
                std::copy(data.begin(), data.end(),
                          got.content.begin() + std::ptrdiff_t(p->head.arg2) * 1024);
                have[std::size_t(p->head.arg2)] = true;
                got.chunk_order.push_back(p->head.arg2);
                EXPECT_EQ(p->head.want_ack, 0) << "chunks are not acknowledged";
                EXPECT_EQ(p->head.arg1, tid);
            }
            if (p->head.kind == std::uint8_t(Kind::request) &&
                p->head.code == code_of(Request::end_of_pass)) {
                EXPECT_EQ(p->head.arg1, tid);
                std::vector<std::int32_t> missing;
                for (std::size_t k = 0; k < have.size(); ++k) {
                    if (!have[k]) missing.push_back(std::int32_t(k));
                }
                on_end(link, got.ends_of_pass++, missing);
            }
        }
    };
}

// Answers like the server: 213 (compressed when it pays) or 159. The
// client's first transfer id is 1.
EndAnswer honest() {
    return [](PeerLink& link, int, const std::vector<std::int32_t>& missing) {
        if (missing.empty()) {
            link.send(Kind::reply, code_of(Reply::upload_complete), 1);
            return;
        }
        wire::PayloadWriter w;
        for (std::size_t i = 0; i < std::min<std::size_t>(missing.size(), 1024); ++i)
            w.i32(missing[i]);
        Bytes payload = w.take();
        std::int32_t compressed = 0;
        auto packed = wire::compress(payload, wire::CompressLevel::normal);
        if (wire::compressed_pays(payload.size(), packed.bytes.size())) {
            payload = packed.bytes;
            compressed = 1;
        }
        link.send_args(Kind::data, code_of(Data::missing_chunks),
                       {1, std::int32_t(missing.size()), 0, compressed}, false, payload);
    };
}

std::filesystem::path local_file(const std::string& name, const Bytes& content) {
    const auto path = scratch(name);
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(content.data()), std::streamsize(content.size()));
    return path;
}

TEST(Upload, RepairsTheChunksTheServerMissed) {
    const struct {
        const char* name;
        std::size_t size;
        std::function<bool(std::uint64_t)> skip;
        std::uint64_t resent;
    } cases[] = {
        {"two missing", 5000, [](std::uint64_t k) { return k == 1 || k == 3; }, 2},
        // 101 indices, 404 bytes: the list travels compressed.
        {"a compressed list", 300 * 1024 + 7, [](std::uint64_t k) { return k % 3 == 0; }, 101},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes content = pattern(c.size, 9);
        // Compressible chunks too, so that both forms travel.
        std::fill(content.begin(), content.begin() + 1024, std::uint8_t('z'));
        const auto local = local_file("upload.bin", content);
        std::filesystem::last_write_time(
            local, std::chrono::file_clock::from_sys(
                       std::chrono::system_clock::from_time_t(*platform::from_dos_time(kDate))));
        Received got;
        const Upload result = against(receive_upload(got, honest()), [&](Connection& conn) {
            UploadOptions options;
            options.skip_on_first_pass = c.skip;
            return upload(conn, local, "\\1\\UP.DAT", options);
        });
        ASSERT_EQ(result.status, Transfer::done) << result.detail;
        EXPECT_EQ(result.chunks_resent, c.resent);
        EXPECT_EQ(got.content, content);
        EXPECT_EQ(got.ends_of_pass, 2);
        ASSERT_TRUE(got.start);
        EXPECT_EQ(got.start->head.kind, std::uint8_t(Kind::data));
        EXPECT_EQ(wire::unpack_attributes(got.start->head.arg2), 0x20u);
        EXPECT_EQ(wire::zstr_at(got.start->payload), "\\1\\UP.DAT");
        EXPECT_EQ(got.start->head.arg3, std::int32_t(kDate));
    }
}

TEST(Upload, Answers) {
    const auto tid = [](PeerLink& l, std::uint8_t c) { l.send(Kind::reply, c, 1); };
    const struct {
        const char* name;
        std::size_t size;
        EndAnswer answer;
        Transfer status;
    } cases[] = {
        {"empty file complete at once", 0,
         [&](PeerLink& l, int, const auto&) { tid(l, code_of(Reply::upload_complete)); },
         Transfer::done},
        {"refused", 0,
         [](PeerLink& l, int, const auto&) { l.send(Kind::reply, code_of(Reply::cannot_create)); },
         Transfer::refused},
        {"write failed", 2000,
         [&](PeerLink& l, int, const auto&) { tid(l, code_of(Reply::cannot_write)); },
         Transfer::server_failed},
        {"completion for another transfer", 2000,
         [](PeerLink& l, int, const auto&) {
             l.send(Kind::reply, code_of(Reply::upload_complete), 999);
         },
         Transfer::no_answer},
        {"missing index past the end", 2000,
         [](PeerLink& l, int, const auto&) {
             wire::PayloadWriter w;
             w.i32(2);
             l.send_args(Kind::data, code_of(Data::missing_chunks), {1, 1, 0, 0}, false, w.data());
         },
         Transfer::malformed},
        {"missing list of odd length", 2000,
         [](PeerLink& l, int, const auto&) {
             const Bytes three(3, 0);
             l.send_args(Kind::data, code_of(Data::missing_chunks), {1, 1, 0, 0}, false, three);
         },
         Transfer::malformed},
        {"missing list that does not inflate", 2000,
         [](PeerLink& l, int, const auto&) {
             const Bytes junk(40, 9);
             l.send_args(Kind::data, code_of(Data::missing_chunks), {1, 10, 0, 1}, false, junk);
         },
         Transfer::malformed},
        {"a server that never settles", 2000,
         [](PeerLink& l, int, const auto&) {
             wire::PayloadWriter w;
             w.i32(0);
             l.send_args(Kind::data, code_of(Data::missing_chunks), {1, 1, 0, 0}, false, w.data());
         },
         Transfer::malformed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto local = local_file("answers.bin", pattern(c.size));
        Received got;
        const Upload result = against(receive_upload(got, c.answer),
                                      [&](Connection& conn) { return upload(conn, local, "\\x"); });
        EXPECT_EQ(result.status, c.status) << result.detail;
        EXPECT_EQ(result.transfer_id, 1);
        if (c.status == Transfer::malformed) {
            EXPECT_TRUE(got.stopped) << "the server was told to stop";
        }
    }
}

TEST(Upload, AMissingLocalFileSendsNothing) {
    Received got;
    const Upload result = against(receive_upload(got, honest()), [](Connection& conn) {
        return upload(conn, scratch("absent.bin"), "\\x");
    });
    EXPECT_EQ(result.status, Transfer::local_failed);
    EXPECT_FALSE(got.start);
}

TEST(Housekeeping, TreeSlotsAndReset) {
    std::vector<wire::Packet> seen;
    const auto [tree, slots, reset] = against(
        [&](PeerLink& link) {
            while (auto p = take(link)) {
                seen.push_back(*p);
                if (p->head.code == code_of(Request::delete_tree))
                    link.send(Kind::reply, code_of(Reply::tree_deleted));
                if (p->head.code == code_of(Request::ask_slot_dates)) {
                    // A stale answer first: its echo must not be taken.
                    link.send_args(Kind::reply, code_of(Reply::slot_dates),
                                   {p->head.arg1 + 1, 1, 1, 1}, false);
                    link.send_args(Kind::reply, code_of(Reply::slot_dates),
                                   {p->head.arg1, std::int32_t(kDate), -1, 5}, false);
                }
            }
        },
        [](Connection& c) {
            const bool t = c.remove_tree("\\game");
            const SlotDates s = c.slot_dates("\\game");
            const bool r = c.reset_slot("\\game\\2");
            return std::tuple{t, s, r};
        });
    EXPECT_TRUE(tree);
    EXPECT_TRUE(reset);
    ASSERT_TRUE(slots.answered);
    EXPECT_EQ(slots.dates, (std::array<std::int32_t, 3>{std::int32_t(kDate), -1, 5}));
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(wire::zstr_at(seen[2].payload), "\\game\\2");
    EXPECT_EQ(seen[2].head.code, code_of(Request::reset_slot_dates));
}

}  // namespace
}  // namespace rk::client::test
