// The relay's receive path on a sequence of datagrams from a handful of
// nodes: registrations, traffic between them, forged sources, broadcasts,
// garbage, with the ping and expiry pass run as time moves on.
//
// The relay is never bound, so nothing it forwards leaves the process; the
// sources are loopback addresses all the same.
//
// Record control byte: bits 0-3 pick the source (16 of them, twice the
// node limit, so that refusal is reached); bits 4-6 move the clock on by
// that many ping intervals and run the pass first.
#include <cstdint>

#include "fuzz/fuzz_records.h"
#include "ipx/ipx_relay.h"

namespace {
void quiet(const char*) {}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    IpxRelay relay;
    relay.set_event_sink(quiet);
    IpxRelayTiming timing;
    timing.ping_interval_ms = 1000;
    timing.missed_pings_limit = 3;
    timing.max_nodes = 8;
    relay.set_timing(timing);

    uint64_t now = 1000000;
    FuzzRecords records(data, size);
    FuzzRecord r;
    while (records.next(r)) {
        int steps = (r.control >> 4) & 7;
        if (steps) {
            now += uint64_t(steps) * uint64_t(timing.ping_interval_ms);
            relay.tick(now);
        }
        UdpAddress from{0x7F000001u + (r.control & 3), uint16_t(40000 + ((r.control >> 2) & 3))};
        relay.handle(r.bytes, r.size, from, now);
        FUZZ_CHECK(relay.node_count() <= timing.max_nodes);
    }
    // Long silence: every node is dropped.
    now += uint64_t(timing.ping_interval_ms) * (timing.missed_pings_limit + 2);
    relay.tick(now);
    FUZZ_CHECK(relay.node_count() == 0);
    return 0;
}
