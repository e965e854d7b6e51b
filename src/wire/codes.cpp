#include "wire/codes.h"

namespace rk::wire {

namespace {

std::string_view request_name(std::uint8_t code) {
    switch (Request(code)) {
        case Request::logon: return "logon";
        case Request::logoff: return "logoff";
        case Request::list_folder: return "list_folder";
        case Request::download_file: return "download_file";
        case Request::delete_file: return "delete_file";
        case Request::stop_transfer: return "stop_transfer";
        case Request::remove_folder: return "remove_folder";
        case Request::create_folder: return "create_folder";
        case Request::mouse_input: return "mouse_input";
        case Request::key_input: return "key_input";
        case Request::batch_header: return "batch_header";
        case Request::resend_from: return "resend_from";
        case Request::transfer_received: return "transfer_received";
        case Request::end_of_pass: return "end_of_pass";
        case Request::download_batch: return "download_batch";
        case Request::create_account: return "create_account";
        case Request::reset_slot_dates: return "reset_slot_dates";
        case Request::ask_slot_dates: return "ask_slot_dates";
        case Request::delete_tree: return "delete_tree";
    }
    return "?";
}

std::string_view reply_name(std::uint8_t code) {
    switch (Reply(code)) {
        case Reply::logon_accepted: return "logon_accepted";
        case Reply::logon_refused: return "logon_refused";
        case Reply::logged_off: return "logged_off";
        case Reply::wrong_version: return "wrong_version";
        case Reply::upload_complete: return "upload_complete";
        case Reply::cannot_create: return "cannot_create";
        case Reply::cannot_open: return "cannot_open";
        case Reply::delete_failed: return "delete_failed";
        case Reply::file_deleted: return "file_deleted";
        case Reply::cannot_write: return "cannot_write";
        case Reply::name_taken: return "name_taken";
        case Reply::account_created: return "account_created";
        case Reply::slot_dates: return "slot_dates";
        case Reply::tree_deleted: return "tree_deleted";
        case Reply::accounts_closed: return "accounts_closed";
    }
    return "?";
}

std::string_view data_name(std::uint8_t code) {
    switch (Data(code)) {
        case Data::listing_header: return "listing_header";
        case Data::listing_chunk: return "listing_chunk";
        case Data::file_header: return "file_header";
        case Data::file_chunk: return "file_chunk";
        case Data::batch_chunk: return "batch_chunk";
        case Data::missing_chunks: return "missing_chunks";
        case Data::client_config: return "client_config";
    }
    return "?";
}

}  // namespace

std::string_view kind_name(Kind kind) {
    switch (kind) {
        case Kind::request: return "request";
        case Kind::reply: return "reply";
        case Kind::data: return "data";
        case Kind::ack: return "ack";
    }
    return "?";
}

std::string_view code_name(Kind kind, std::uint8_t code) {
    switch (kind) {
        case Kind::request: return request_name(code);
        case Kind::reply: return reply_name(code);
        case Kind::data: return data_name(code);
        case Kind::ack: return code == 0 ? "ack" : "?";
    }
    return "?";
}

}  // namespace rk::wire
