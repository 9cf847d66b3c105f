// The board link's KNET receive path on a sequence of datagrams from the
// board host, mixed with the caller's side: bytes to send, sends, and the
// dispatcher draining what the board sent. The link runs without thread or
// endpoint; what it would send is read from its send queue, which must
// always hold whole, well-formed packets.
//
// Record control byte: bit 0 the bytes are caller input instead of a
// datagram; bit 1 sends from the caller afterwards; bit 2 drains the bytes
// for the caller; bit 3 checks and empties the send queue; bit 4 requests a
// connection, the service name taken from the bytes as from a SAP entry.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "link/board_link.h"
#include "sap/sap_record.h"

namespace {
void check_send_queue(BoardLink& link)
{
    static std::vector<uint8_t> queued(1 << 20);
    int n = link.copy_send_queue(queued.data(), int(queued.size()));
    KnetPacketReader reader(queued.data(), n);
    KnetPacket packet;
    while (reader.next(packet)) {
        FUZZ_CHECK(packet.header.type <= knet::Data);
        FUZZ_CHECK(packet.header.length <= KNET_MAX_DATA);
        FUZZ_CHECK(packet.header.reserved == 0);
        if (packet.header.type != knet::Data)
            FUZZ_CHECK(knet_length_valid(packet.header));
    }
    FUZZ_CHECK(n < int(queued.size()) ? reader.left() == 0 : true);
    link.clear_send_queue();
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    BoardLink link;
    link.prepare_for_testing();
    FuzzRecords records(data, size);
    FuzzRecord r;
    while (records.next(r)) {
        if (r.control & 1)
            link.append_from_caller(r.bytes, int(r.size));
        else
            link.handle_datagram(r.bytes, int(r.size));
        if (r.control & 2)
            link.send_from_caller();
        if (r.control & 4) {
            MutexHold hold(link.to_caller_lock);
            link.to_caller()->clear();
        }
        if (r.control & 8)
            check_send_queue(link);
        if (r.control & 16) {
            char name[SAP_NAME_LENGTH + 1] = {};
            std::memcpy(name, r.bytes, r.size < SAP_NAME_LENGTH ? r.size : SAP_NAME_LENGTH);
            link.request_connection(name);
        }
        FUZZ_CHECK(link.from_caller_size() >= 0);
    }
    check_send_queue(link);
    return 0;
}
