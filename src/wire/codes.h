// Every code that travels in a packet's Code field, grouped by the packet kind
// it travels in. One number can mean different things in different kinds.
#pragma once

#include <cstdint>
#include <string_view>

#include "wire/packet.h"

namespace rk::wire {

// Kind 10. Most go from client to server; 119 and 122 also go the other way.
enum class Request : std::uint8_t {
    logon = 101,
    logoff = 102,
    list_folder = 105,
    download_file = 107,
    delete_file = 109,
    stop_transfer = 111,
    remove_folder = 112,
    create_folder = 113,
    mouse_input = 116,
    key_input = 117,
    batch_header = 119,     // server to client
    resend_from = 120,
    transfer_received = 121,
    end_of_pass = 122,      // server: stream sent once over; client: upload data sent
    download_batch = 124,
    create_account = 128,
    reset_slot_dates = 129,
    ask_slot_dates = 130,
    delete_tree = 131,
};

// Kind 11. 160 and 165 also come from the client, meaning it cannot store
// what it receives.
enum class Reply : std::uint8_t {
    logon_accepted = 151,
    logon_refused = 152,
    logged_off = 153,
    wrong_version = 158,
    upload_complete = 159,
    cannot_create = 160,
    cannot_open = 162,
    delete_failed = 163,
    file_deleted = 164,
    cannot_write = 165,
    name_taken = 167,
    account_created = 168,
    slot_dates = 169,
    tree_deleted = 170,
    accounts_closed = 171,
};

// Kind 12: transfer headers and content, both directions.
enum class Data : std::uint8_t {
    listing_header = 203,
    listing_chunk = 205,
    file_header = 206,  // upload start from the client, download header from the server
    file_chunk = 208,
    batch_chunk = 212,
    missing_chunks = 213,
    client_config = 214,
};

// The number a code travels as.
constexpr std::uint8_t code_of(Request r) { return std::uint8_t(r); }
constexpr std::uint8_t code_of(Reply r) { return std::uint8_t(r); }
constexpr std::uint8_t code_of(Data d) { return std::uint8_t(d); }

// A header for a packet of `code`, in the kind that code travels in; Seq and
// the arguments are left for the sender to fill.
constexpr PacketHead packet_head(Request code, bool want_ack) {
    return {.code = code_of(code),
            .kind = std::uint8_t(Kind::request),
            .want_ack = want_ack ? kWantAck : std::uint8_t{0}};
}
constexpr PacketHead packet_head(Reply code, bool want_ack) {
    return {.code = code_of(code),
            .kind = std::uint8_t(Kind::reply),
            .want_ack = want_ack ? kWantAck : std::uint8_t{0}};
}
constexpr PacketHead packet_head(Data code, bool want_ack) {
    return {.code = code_of(code),
            .kind = std::uint8_t(Kind::data),
            .want_ack = want_ack ? kWantAck : std::uint8_t{0}};
}

// Reasons carried by a refused logon (152).
enum class LogonRefusal : std::int32_t { wrong_version = 1, forbidden = 2, bad_credentials = 10 };

// A readable name for logs and test output ("logon"); "?" for a code the
// kind does not have.
std::string_view code_name(Kind kind, std::uint8_t code);
std::string_view kind_name(Kind kind);

}  // namespace rk::wire
