#include "wire/client_config_push.h"

#include "wire/codes.h"

namespace rk::wire {

CodecResult encode_client_config_push(std::span<const std::string> lines) {
    std::string text;
    for (const std::string& line : lines) text += line + "\r\n";
    text += '\0';
    return compress(std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()),
                    CompressLevel::max);
}

PacketHead client_config_push_head() { return packet_head(Data::client_config, false); }

}  // namespace rk::wire
