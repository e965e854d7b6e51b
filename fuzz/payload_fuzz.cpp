// Runs every payload reader over arbitrary bytes; the sanitizers catch any
// read past the end.
#include <cstdlib>

#include "wire/packet.h"
#include "wire/path_text.h"
#include "wire/payload.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);

    rk::wire::PayloadReader reader(bytes);
    while (!reader.at_end()) {
        const std::size_t before = reader.position();
        (void)reader.zstr();
        (void)reader.i32();
        if (reader.position() <= before || reader.position() > size) std::abort();
    }

    const auto creds = rk::wire::read_credentials(bytes);
    if (creds.name.size() > 127 || creds.password.size() > 127) std::abort();
    for (std::size_t offset : {std::size_t{0}, size / 2, size, size + 1}) {
        (void)rk::wire::zstr_at(bytes, offset);
        (void)rk::wire::field_at(bytes, offset);
    }
    const std::string path = rk::wire::zstr_at(bytes);
    (void)rk::wire::file_name_part(path);
    (void)rk::wire::exclude_slash(rk::wire::include_slash(path));
    (void)rk::wire::decode_packet(bytes);
    return 0;
}
