#include "client/connection.h"

#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "scripted_peer.h"
#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::client::test {
namespace {

using namespace std::chrono_literals;
using wire::code_of;
using wire::Kind;
using wire::Reply;
using wire::Request;


Connection::Options fast() {
    Connection::Options o;
    o.resend_interval = 10ms;
    o.ack_timeout = 2000ms;
    o.answer_timeout = 2000ms;
    o.connect_timeout = 2000ms;
    return o;
}

std::unique_ptr<Connection> connect_to(const ScriptedPeer& peer,
                                       Connection::Options options = fast()) {
    std::error_code ec;
    auto c = Connection::connect("127.0.0.1", peer.port(), ec, options);
    EXPECT_FALSE(ec) << ec.message();
    return c;
}

TEST(ToWirePath, Table) {
    const struct {
        const char* in;
        const char* out;
    } cases[] = {
        {"/1/SAVE.DAT", "\\1\\SAVE.DAT"},
        {"1/SAVE.DAT", "\\1\\SAVE.DAT"},
        {"\\1\\SAVE.DAT", "\\1\\SAVE.DAT"},
        {"a", "\\a"},
        {"/a/b/", "\\a\\b"},
        {"//a///b", "\\a\\b"},
        {"/a\\b/c", "\\a\\b\\c"},
        {"/", "\\"},
        {"", "\\"},
        {"/with space/x y.sav", "\\with space\\x y.sav"},
    };
    for (const auto& c : cases) EXPECT_EQ(to_wire_path(c.in), c.out) << "from " << c.in;
}

TEST(Connection, ConnectToAClosedPortFails) {
    std::uint16_t port = 0;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor probe(io, {asio::ip::address_v4::loopback(), 0});
        port = probe.local_endpoint().port();
    }
    std::error_code ec;
    auto c = Connection::connect("127.0.0.1", port, ec, fast());
    EXPECT_EQ(c, nullptr);
    EXPECT_TRUE(ec);
}

TEST(Connection, AcknowledgesRepliesAndDeliversAResentOneOnce) {
    std::vector<wire::Packet> acks;
    ScriptedPeer peer([&](PeerLink& link) {
        const Bytes first = link.send(Kind::reply, code_of(Reply::logon_accepted), 7);
        if (auto a = link.next()) acks.push_back(*a);
        link.send_raw(first);  // as if our ack had been lost
        if (auto a = link.next()) acks.push_back(*a);
        link.send(Kind::reply, code_of(Reply::logged_off));
        if (auto a = link.next()) acks.push_back(*a);
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);

    auto first = client->receive(2s);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->head.code, code_of(Reply::logon_accepted));
    EXPECT_EQ(first->head.arg1, 7);
    auto second = client->receive(2s);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->head.code, code_of(Reply::logged_off)) << "the resent copy came through";
    EXPECT_FALSE(client->receive(20ms));

    client->close();
    peer.join();
    ASSERT_EQ(acks.size(), 3u);
    const std::uint32_t acked[] = {0, 0, 1};
    for (std::size_t i = 0; i < acks.size(); ++i) {
        EXPECT_EQ(acks[i].head.kind, std::uint8_t(Kind::ack));
        EXPECT_EQ(std::uint32_t(acks[i].head.arg1), acked[i]) << "ack " << i;
        // Nothing sent yet: an ack carries the number before the first.
        EXPECT_EQ(acks[i].head.seq, 0xFFFFFFFFu) << "ack " << i;
    }
}

TEST(Connection, DeliversDuplicatesWhenAskedTo) {
    ScriptedPeer peer([](PeerLink& link) {
        const Bytes bytes = link.send(Kind::reply, code_of(Reply::file_deleted));
        link.send_raw(bytes);
    });
    auto options = fast();
    options.suppress_duplicates = false;
    auto client = connect_to(peer, options);
    ASSERT_TRUE(client);
    EXPECT_TRUE(client->receive(2s));
    EXPECT_TRUE(client->receive(2s));
}

TEST(Connection, NumbersFromZeroAndAcksCarryTheLastNumber) {
    std::vector<wire::Packet> seen;
    ScriptedPeer peer([&](PeerLink& link) {
        for (int i = 0; i < 3; ++i) {
            if (auto p = link.next()) seen.push_back(*p);
        }
        link.send(Kind::reply, code_of(Reply::logged_off));
        if (auto p = link.next()) seen.push_back(*p);
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(client->send(Kind::data, 208, {}, {}, false), std::uint32_t(i));
    }
    EXPECT_TRUE(client->receive(2s));
    client->close();
    peer.join();

    ASSERT_EQ(seen.size(), 4u);
    for (std::uint32_t i = 0; i < 3; ++i) {
        EXPECT_EQ(seen[i].head.seq, i);
        EXPECT_EQ(seen[i].head.want_ack, 0);
    }
    EXPECT_EQ(seen[3].head.kind, std::uint8_t(Kind::ack));
    EXPECT_EQ(seen[3].head.seq, 2u);
}

TEST(Connection, ManualAckWhenAutoAckIsOff) {
    std::optional<wire::Packet> first_from_client;
    ScriptedPeer peer([&](PeerLink& link) {
        link.send(Kind::reply, code_of(Reply::logged_off));
        first_from_client = link.next();
    });
    auto options = fast();
    options.auto_ack = false;
    auto client = connect_to(peer, options);
    ASSERT_TRUE(client);
    auto reply = client->receive(2s);
    ASSERT_TRUE(reply);
    client->ack(reply->head.seq);
    client->close();
    peer.join();
    ASSERT_TRUE(first_from_client);
    EXPECT_EQ(first_from_client->head.kind, std::uint8_t(Kind::ack));
    EXPECT_EQ(first_from_client->head.arg1, 0);
}

TEST(Connection, ResendsTheIdenticalBytesUntilAcknowledged) {
    std::vector<Bytes> copies;
    ScriptedPeer peer([&](PeerLink& link) {
        while (copies.size() < 3) {
            auto bytes = link.next_raw();
            if (!bytes) return;
            copies.push_back(*bytes);
        }
        link.ack(wire::decode_head(copies[0])->seq);
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    const std::string path = "\\1\\SLOT";
    wire::PayloadWriter payload;
    payload.zstr(path);
    const auto seq = client->send(Kind::request, code_of(Request::create_folder), {}, payload.data());
    EXPECT_TRUE(client->wait_ack(seq));
    EXPECT_TRUE(client->acked(seq));
    client->close();
    peer.join();

    ASSERT_EQ(copies.size(), 3u);
    EXPECT_EQ(copies[1], copies[0]);
    EXPECT_EQ(copies[2], copies[0]);
    EXPECT_TRUE(wire::checksum_ok(copies[0]));
    const auto sent = wire::decode_packet(copies[0]);
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->head.want_ack, wire::kWantAck);
    EXPECT_EQ(wire::zstr_at(sent->payload), path);
}

TEST(Connection, GivesUpOnAnAckThatNeverComes) {
    int copies = 0;
    ScriptedPeer peer([&](PeerLink& link) {
        while (link.next_raw()) ++copies;
    });
    auto options = fast();
    options.ack_timeout = 60ms;
    auto client = connect_to(peer, options);
    ASSERT_TRUE(client);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->request(Kind::request, code_of(Request::remove_folder)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
    client->close();
    peer.join();
    EXPECT_GE(copies, 2) << "never resent";
}

TEST(Connection, StopsWaitingForAnAckWhenThePeerCloses) {
    ScriptedPeer peer([](PeerLink& link) {
        link.next_raw();
        link.hang_up();
    });
    auto options = fast();
    options.ack_timeout = 5s;
    auto client = connect_to(peer, options);
    ASSERT_TRUE(client);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->request(Kind::request, code_of(Request::logoff)));
    EXPECT_LT(std::chrono::steady_clock::now() - started, 4s);
    EXPECT_TRUE(client->closed());
}

TEST(Connection, DropsACorruptPacketWithoutAnAck) {
    std::vector<std::uint32_t> acked;
    ScriptedPeer peer([&](PeerLink& link) {
        wire::PacketHead head;
        head.seq = 5;
        head.kind = std::uint8_t(Kind::reply);
        head.code = code_of(Reply::logon_accepted);
        head.want_ack = wire::kWantAck;
        Bytes bad = wire::encode_packet(head);
        bad[20] ^= 0x01;
        link.send_raw(bad);
        // Noise ending in half a magic, right before a real one.
        link.send_raw(Bytes{'n', 'o', 0x69, 0x24});
        link.send(Kind::reply, code_of(Reply::logged_off));
        while (auto p = link.next()) acked.push_back(std::uint32_t(p->head.arg1));
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    auto packet = client->receive(2s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->head.code, code_of(Reply::logged_off));
    EXPECT_FALSE(client->receive(20ms));
    EXPECT_EQ(client->corrupt_packets(), 1u);
    client->close();
    peer.join();
    EXPECT_EQ(acked, std::vector<std::uint32_t>{0});
}

TEST(Connection, AnImpossibleLengthEndsTheConnection) {
    ScriptedPeer peer([](PeerLink& link) {
        Bytes bytes(8);
        wire::store_u32(bytes.data(), wire::kMagic);
        wire::store_u32(bytes.data() + 4, 0x7FFFFFFF);
        link.send_raw(bytes);
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->receive(2s));
    EXPECT_TRUE(client->closed());
    EXPECT_EQ(client->error(), std::errc::protocol_error);
}

TEST(Connection, APacketSplitAcrossReceivesArrivesWhole) {
    ScriptedPeer peer([](PeerLink& link) {
        wire::PacketHead head;
        head.kind = std::uint8_t(Kind::data);
        head.code = std::uint8_t(wire::Data::file_chunk);
        Bytes payload(100);
        for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = std::uint8_t(i);
        const Bytes bytes = wire::encode_packet(head, payload);
        link.send_raw(std::span(bytes).first(40));
        link.next_request();  // the client has given up once
        link.send_raw(std::span(bytes).subspan(40));
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    EXPECT_FALSE(client->receive(20ms));
    client->send(Kind::request, code_of(Request::stop_transfer), {}, {}, false);
    auto packet = client->receive(2s);
    ASSERT_TRUE(packet);
    ASSERT_EQ(packet->payload.size(), 100u);
    EXPECT_EQ(packet->payload[99], 99);
}

TEST(Connection, ReceiveTimesOutWhenThePeerIsSilent) {
    ScriptedPeer peer([](PeerLink&) {});
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_FALSE(client->receive(50ms));
    const auto took = std::chrono::steady_clock::now() - started;
    EXPECT_GE(took, 50ms);
    EXPECT_LT(took, 1s);
    EXPECT_FALSE(client->closed());
}

TEST(Connection, ReceiveCodeDropsWhatComesBefore) {
    ScriptedPeer peer([](PeerLink& link) {
        link.send(Kind::data, std::uint8_t(wire::Data::client_config), 0, false);
        link.send(Kind::reply, code_of(Reply::logged_off));
        link.send(Kind::reply, code_of(Reply::file_deleted));
    });
    auto client = connect_to(peer);
    ASSERT_TRUE(client);
    auto packet = client->receive_code(code_of(Reply::file_deleted), 2s);
    ASSERT_TRUE(packet);
    EXPECT_EQ(packet->head.seq, 2u);
    EXPECT_FALSE(client->receive(20ms));
}

// What the peer does with the one request an operation sends.
struct Script {
    std::vector<Answer> answers;
    bool ack = true;
    bool hang_up = false;
};

// Runs `op` against a peer following `script`; returns what op returned
// and the request the peer saw.
template <class Op>
auto exchange(const Script& script, Op op) {
    std::optional<wire::Packet> request;
    ScriptedPeer peer([&](PeerLink& link) {
        request = link.next_request();
        if (!request) return;
        if (script.ack) link.ack(request->head.seq);
        for (const Answer& a : script.answers) {
            link.send(a.kind, a.code, a.arg1, a.kind != Kind::data);
        }
        if (script.hang_up) link.hang_up();
    });
    auto options = fast();
    // Only the cases that expect silence wait this long.
    options.ack_timeout = 300ms;
    options.answer_timeout = 300ms;
    auto client = connect_to(peer, options);
    if (!client) throw std::runtime_error("no connection to the peer");
    auto result = op(*client);
    client->close();
    peer.join();
    return std::pair{result, request};
}

TEST(Connection, LogonResults) {
    const struct {
        const char* name;
        Script script;
        Logon status;
        std::int32_t detail;
    } cases[] = {
        {"accepted", {{{code_of(Reply::logon_accepted), 64}}}, Logon::accepted, 64},
        {"accepted after unrelated packets",
         {{{std::uint8_t(wire::Data::client_config), 0, Kind::data},
           {code_of(Reply::logged_off), 0},
           {code_of(Reply::logon_accepted), 0}}},
         Logon::accepted,
         0},
        {"bad credentials", {{{code_of(Reply::logon_refused), 10}}}, Logon::bad_credentials, 0},
        {"forbidden", {{{code_of(Reply::logon_refused), 2}}}, Logon::forbidden, 0},
        {"wrong version, then close",
         {{{code_of(Reply::wrong_version), 131000}, {code_of(Reply::logon_refused), 1}}, true, true},
         Logon::wrong_version,
         131000},
        {"wrong version, closed before the refusal",
         {{{code_of(Reply::wrong_version), 131000}}, true, true},
         Logon::wrong_version,
         131000},
        {"version refusal alone", {{{code_of(Reply::logon_refused), 1}}}, Logon::wrong_version, 0},
        {"unknown reason", {{{code_of(Reply::logon_refused), 77}}}, Logon::refused, 77},
        {"acknowledged, never answered", {}, Logon::no_answer, 0},
        {"never acknowledged", {{{code_of(Reply::logon_accepted), 0}}, false}, Logon::no_answer, 0},
        {"closed after the ack", {{}, true, true}, Logon::no_answer, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [result, request] =
            exchange(c.script, [](Connection& client) { return client.logon("alice", "s3cret"); });
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.detail, c.detail);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->head.kind, std::uint8_t(Kind::request));
        EXPECT_EQ(request->head.code, code_of(Request::logon));
        EXPECT_EQ(request->head.want_ack, wire::kWantAck);
        EXPECT_EQ(request->head.arg1, wire::kProtocolVersion);
        const auto credentials = wire::read_credentials(request->payload);
        EXPECT_EQ(credentials.name, "alice");
        EXPECT_EQ(credentials.password, "s3cret");
    }
}

TEST(Connection, RequestsAndTheirAnswers) {
    using Op = std::function<int(Connection&)>;
    const Op create = [](Connection& c) { return int(c.create_account("bob", "pw")); };
    const Op remove = [](Connection& c) { return int(c.remove_file("\\1\\SAVE.DAT")); };
    const Op mkdir = [](Connection& c) { return int(c.make_folder("\\1\\A")); };
    const Op rmdir = [](Connection& c) { return int(c.remove_folder("\\1\\A")); };
    const Op logoff = [](Connection& c) { return int(c.logoff()); };
    const Answer unrelated{code_of(Reply::logged_off), 0};
    const struct {
        const char* name;
        Op op;
        Script script;
        Request sent;
        int result;
    } cases[] = {
        {"account created",
         create,
         {{{code_of(Reply::account_created)}}},
         Request::create_account,
         int(AccountResult::created)},
        {"account name taken",
         create,
         {{{code_of(Reply::name_taken)}}},
         Request::create_account,
         int(AccountResult::name_taken)},
        {"accounts closed",
         create,
         {{{code_of(Reply::accounts_closed)}}},
         Request::create_account,
         int(AccountResult::not_allowed)},
        {"account, no answer", create, {}, Request::create_account, int(AccountResult::no_answer)},
        {"file deleted",
         remove,
         {{unrelated, {code_of(Reply::file_deleted)}}},
         Request::delete_file,
         int(RemoveResult::deleted)},
        {"delete failed",
         remove,
         {{{code_of(Reply::delete_failed)}}},
         Request::delete_file,
         int(RemoveResult::failed)},
        {"delete, closed",
         remove,
         {{}, true, true},
         Request::delete_file,
         int(RemoveResult::no_answer)},
        {"folder made", mkdir, {}, Request::create_folder, 1},
        {"folder request unacknowledged", mkdir, {{}, false}, Request::create_folder, 0},
        {"folder removed", rmdir, {}, Request::remove_folder, 1},
        {"logged off", logoff, {{{code_of(Reply::logged_off)}}}, Request::logoff, 1},
        {"logoff unanswered", logoff, {}, Request::logoff, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto [result, request] = exchange(c.script, c.op);
        EXPECT_EQ(result, c.result);
        ASSERT_TRUE(request);
        EXPECT_EQ(request->head.code, code_of(c.sent));
        EXPECT_EQ(request->head.want_ack, wire::kWantAck);
        switch (c.sent) {
            case Request::create_account:
                EXPECT_EQ(wire::read_credentials(request->payload).name, "bob");
                EXPECT_EQ(wire::read_credentials(request->payload).password, "pw");
                break;
            case Request::delete_file:
                EXPECT_EQ(request->payload.back(), 0) << "the path ends with a NUL";
                EXPECT_EQ(wire::zstr_at(request->payload), "\\1\\SAVE.DAT");
                break;
            case Request::create_folder:
            case Request::remove_folder:
                EXPECT_EQ(wire::zstr_at(request->payload), "\\1\\A");
                break;
            default:
                EXPECT_TRUE(request->payload.empty());
        }
    }
}
}  // namespace
}  // namespace rk::client::test
