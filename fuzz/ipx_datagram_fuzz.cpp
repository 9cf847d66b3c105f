// The IPX stack's receive path on a sequence of datagrams from the tunnel
// server or a stranger: registration answers, pings, packets for bound
// sockets, broadcasts and garbage. Between datagrams the bound sockets are
// read, so what was delivered is checked against where it was addressed.
//
// The stack is never started: no carrier socket, no thread. Its server
// address is then the zero address, which is where "the server" sends from
// here; anything it tries to send fails on the closed carrier.
//
// Record control byte: bit 0 the datagram comes from a stranger; bit 1 read
// one datagram from binding (bits 2-3) afterwards, with its header when bit
// 4 is set, into a 16-byte buffer when bit 5 is set; bit 6 flips that
// binding's broadcast reception.
#include <cstdint>
#include <cstring>
#include <vector>

#include "fuzz/fuzz_records.h"
#include "ipx/ipx_packet.h"
#include "ipx/ipx_stack.h"

namespace {
void quiet(const char*) {}

uint16_t get16(const uint8_t* p) { return uint16_t(p[0] << 8 | p[1]); }

void take_one(IpxStack& stack, IpxSocketBinding* binding, bool with_header, int size)
{
    std::vector<uint8_t> buffer(static_cast<size_t>(size));
    bool waiting = (stack.readiness(binding) & 1) != 0;
    int n = stack.take(binding, buffer.data(), size, with_header);
    FUZZ_CHECK(n >= 0 && n <= size);
    FUZZ_CHECK(waiting || n == 0);
    if (!with_header || n < int(IPX_HEADER_SIZE))
        return;
    // Only whole, well-formed packets addressed to this socket arrive.
    FUZZ_CHECK(get16(buffer.data() + 16) == binding->socket_number);
    FUZZ_CHECK(size < 65535 || get16(buffer.data() + 2) == n);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IpxStack stack;
    stack.set_notice_sink(quiet);
    IpxSocketBinding* bindings[4] = {
        stack.bind(0, false),      // a dynamic number, as a board link gets
        stack.bind(0x0452, true),  // SAP: shared, broadcasts wanted
        stack.bind(0x0452, true),
        stack.bind(0x8000, false),
    };
    for (IpxSocketBinding* b : bindings)
        FUZZ_CHECK(b != nullptr);
    stack.set_receive_broadcast(bindings[1], true);
    FUZZ_CHECK(stack.bind(0x8000, true) == nullptr);
    FUZZ_CHECK(stack.bind(IPX_TUNNEL_SOCKET, false) == nullptr);

    const UdpAddress server;                 // the unstarted stack's server
    const UdpAddress stranger{0x7F000001, 4242};
    FuzzRecords records(data, size);
    FuzzRecord r;
    bool broadcast[4] = {false, true, false, false};
    while (records.next(r)) {
        stack.handle_datagram(r.bytes, r.size, (r.control & 1) ? stranger : server);
        int which = (r.control >> 2) & 3;
        if (r.control & 2)
            take_one(stack, bindings[which], (r.control & 0x10) != 0, (r.control & 0x20) ? 16 : 65535);
        if (r.control & 0x40) {
            broadcast[which] = !broadcast[which];
            stack.set_receive_broadcast(bindings[which], broadcast[which]);
        }
        if (stack.registered()) {
            FUZZ_CHECK(!stack.local_address().zero_node());
        }
    }
    // Whatever is still queued comes out whole and then the queue is empty.
    for (IpxSocketBinding* b : bindings) {
        for (size_t i = 0; i <= IPX_RECEIVE_QUEUE_LIMIT && (stack.readiness(b) & 1); ++i)
            take_one(stack, b, true, 65535);
        FUZZ_CHECK((stack.readiness(b) & 1) == 0);
        stack.release(b);
    }
    return 0;
}
