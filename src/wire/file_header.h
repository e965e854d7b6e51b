// The file header (206): the download header the server sends before a
// file's chunks, and the upload start a client sends before its own. Arg1
// holds the low 32 bits of the size, Arg2 the attributes in bits 0-15 and
// size bits 32-47 in bits 16-31, Arg3 the DOS date-time, Arg4 the transfer
// id; the payload is the path, NUL-terminated.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/packet.h"

namespace rk::wire {

// The largest size the header can carry.
inline constexpr std::uint64_t kMaxFileSize = (std::uint64_t{1} << 48) - 1;
// The longest path a download header may carry: clients read the header into
// a buffer of fixed size.
inline constexpr std::size_t kMaxFileHeaderName = 4063;

struct FileHeader {
    std::uint64_t size = 0;        // bits above kMaxFileSize do not travel
    std::uint32_t attributes = 0;  // bits above 15 do not travel
    std::int32_t dos_date = -1;
    std::int32_t transfer_id = 0;
    std::string name;

    // Asks for an acknowledgement, in both directions.
    Packet encode() const;
    // Every header decodes; the name ends at the first NUL or at the end of
    // the payload.
    static FileHeader decode(const Packet& packet);
};

}  // namespace rk::wire
