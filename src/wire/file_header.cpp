#include "wire/file_header.h"

#include "wire/codes.h"
#include "wire/payload.h"

namespace rk::wire {

Packet FileHeader::encode() const {
    Packet packet{packet_head(Data::file_header, true), {}};
    const SizeArgs args = pack_size(size, attributes);
    packet.head.arg1 = args.arg1;
    packet.head.arg2 = args.arg2;
    packet.head.arg3 = dos_date;
    packet.head.arg4 = transfer_id;
    packet.payload = path_payload(name);
    return packet;
}

FileHeader FileHeader::decode(const Packet& packet) {
    const PacketHead& h = packet.head;
    return {unpack_size(h.arg1, h.arg2), unpack_attributes(h.arg2), h.arg3, h.arg4,
            zstr_at(packet.payload)};
}

}  // namespace rk::wire
