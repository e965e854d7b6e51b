// The server machine's mouse (116) and keyboard (117) driven by a client.
// Without a display the requests are ignored; none is ever answered.
#include "core/engine.h"
#include "core/session.h"
#include "wire/payload.h"

namespace rk::core {

asio::awaitable<void> Session::on_mouse_input(const wire::Packet& packet) {
    auto* input = engine_.input();
    if (!input) co_return;
    // x at 0, y at 4, the wheel amount at 16; what a short payload lacks is 0.
    wire::PayloadReader reader(packet.payload);
    const std::int32_t x = reader.i32().value_or(0);
    const std::int32_t y = reader.i32().value_or(0);
    reader.i32();
    reader.i32();
    const std::int32_t wheel = reader.i32().value_or(0);
    input->mouse(packet.head.arg1, x, y, wheel);
}

asio::awaitable<void> Session::on_key_input(const wire::Packet& packet) {
    if (auto* input = engine_.input()) {
        input->key(platform::key_stroke(packet.head.arg1, packet.head.arg2));
    }
    co_return;
}

}  // namespace rk::core
