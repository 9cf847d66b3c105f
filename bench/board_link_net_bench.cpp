// Throughput of one board link against the simulator's board over the real
// IPX stack: two stacks joined through a tunnel relay on loopback, each side
// in its own 1 ms loop, as the adapter and the simulator run them.
#include <cstdio>

#include "bench/board_link_throughput.h"
#include "ipx/ipx_relay.h"
#include "tests/support/ipx_network.h"

int main()
{
    // The trace lines would dominate the measurement.
    std::FILE* trace = std::freopen("/dev/null", "w", stdout);
    (void)trace;
    IpxRelay relay;
    IpxStack adapter;
    IpxStack board;
    if (!support::start_network(relay, {&adapter, &board})) {
        std::fprintf(stderr, "the IPX network did not come up\n");
        return 1;
    }
    board_link_throughput::caller_to_board(&adapter, &board, 1 << 20);
    board_link_throughput::board_to_caller(&adapter, &board, 1 << 20);
    adapter.stop();
    board.stop();
    relay.stop();
    return 0;
}
