// The client configuration push (214) the server sends right after a logon:
// no arguments and no acknowledgement; the payload is every line followed by
// CR LF, then one NUL, always as one zlib stream at the best level, unmarked.
#pragma once

#include <span>
#include <string>

#include "wire/packet.h"
#include "wire/zlib_codec.h"

namespace rk::wire {

CodecResult encode_client_config_push(std::span<const std::string> lines);

PacketHead client_config_push_head();

}  // namespace rk::wire
