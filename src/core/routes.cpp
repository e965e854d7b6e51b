// Every packet the server takes, by kind and code, and how it is handled:
// the one place a code is dispatched. Packets not listed are acknowledged
// and otherwise ignored.
#include "core/session.h"
#include "wire/codes.h"

namespace rk::core {

namespace {

using wire::Data;
using wire::Kind;
using wire::Reply;
using wire::Request;

struct Entry {
    Kind kind;
    std::uint8_t code;
    Session::Route route;
};

constexpr Session::Route in_turn(asio::awaitable<void> (Session::*handler)(const wire::Packet&),
                                 bool needs_logon = true) {
    return {Session::Order::in_turn, needs_logon, handler, nullptr};
}
// Packets that steer a running transfer act as they arrive, not queued
// behind a request that may be waiting for an acknowledgement.
constexpr Session::Route immediate(void (Session::*handler)(const wire::Packet&)) {
    return {Session::Order::immediate, true, nullptr, handler};
}

}  // namespace

const Session::Route* Session::route(Kind kind, std::uint8_t code) {
    using wire::code_of;
    static const Entry table[] = {
        {Kind::request, code_of(Request::logon), in_turn(&Session::on_logon, false)},
        {Kind::request, code_of(Request::create_account),
         in_turn(&Session::on_create_account, false)},
        {Kind::request, code_of(Request::logoff), in_turn(&Session::on_logoff)},
        {Kind::request, code_of(Request::list_folder), in_turn(&Session::on_list_folder)},
        {Kind::request, code_of(Request::download_file), in_turn(&Session::on_download_file)},
        {Kind::request, code_of(Request::download_batch), in_turn(&Session::on_download_batch)},
        {Kind::request, code_of(Request::delete_file), in_turn(&Session::on_delete_file)},
        {Kind::request, code_of(Request::remove_folder), in_turn(&Session::on_remove_folder)},
        {Kind::request, code_of(Request::create_folder), in_turn(&Session::on_create_folder)},
        {Kind::request, code_of(Request::delete_tree), in_turn(&Session::on_delete_tree)},
        {Kind::request, code_of(Request::ask_slot_dates), in_turn(&Session::on_ask_slot_dates)},
        {Kind::request, code_of(Request::reset_slot_dates), in_turn(&Session::on_reset_slot_dates)},
        {Kind::request, code_of(Request::mouse_input), in_turn(&Session::on_mouse_input)},
        {Kind::request, code_of(Request::key_input), in_turn(&Session::on_key_input)},
        // The client has sent every chunk of its upload once.
        {Kind::request, code_of(Request::end_of_pass), in_turn(&Session::on_upload_end)},
        {Kind::request, code_of(Request::stop_transfer), immediate(&Session::on_stop_transfer)},
        {Kind::request, code_of(Request::resend_from), immediate(&Session::on_resend_from)},
        {Kind::request, code_of(Request::transfer_received),
         immediate(&Session::on_transfer_received)},
        // The client cannot create or write what it receives.
        {Kind::reply, code_of(Reply::cannot_create), immediate(&Session::on_client_refused)},
        {Kind::reply, code_of(Reply::cannot_write), immediate(&Session::on_client_refused)},
        {Kind::data, code_of(Data::file_header), in_turn(&Session::on_upload_start)},
        {Kind::data, code_of(Data::file_chunk), in_turn(&Session::on_upload_chunk)},
    };
    for (const Entry& entry : table) {
        if (entry.kind == kind && entry.code == code) return &entry.route;
    }
    return nullptr;
}

}  // namespace rk::core
