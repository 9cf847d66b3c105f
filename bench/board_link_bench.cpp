// Throughput of one board link against the simulator's board, each running
// its own 1 ms loop, on the in-memory IPX network: what the circuit protocol
// itself allows, before any socket or tunnel cost.
#include <cstdio>

#include "bench/board_link_throughput.h"
#include "tests/support/fake_ipx_network.h"

int main()
{
    // The trace lines would dominate the measurement.
    std::FILE* trace = std::freopen("/dev/null", "w", stdout);
    (void)trace;
    support::fake_ipx::reset();
    board_link_throughput::caller_to_board(nullptr, nullptr, 1 << 20);
    support::fake_ipx::reset();
    board_link_throughput::board_to_caller(nullptr, nullptr, 1 << 20);
    return 0;
}
