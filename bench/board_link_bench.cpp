// Throughput of one board link against the simulator's board, each running
// its own 1 ms loop, on the in-memory IPX network: what the circuit protocol
// itself allows, before any socket or tunnel cost.
#include <atomic>
#include <cstdio>
#include <thread>

#include "link/board_link.h"
#include "port/clock.h"
#include "tests/support/fake_ipx_network.h"
#include "tests/support/board_thread.h"
#include "tools/board_sim/board_host.h"

namespace {

double seconds_since(uint64_t start)
{
    return static_cast<double>(performance_ticks() - start) / PERFORMANCE_TICKS_PER_SECOND;
}


void open_link(BoardLink& link, uint16_t board_socket)
{
    const uint8_t network[4] = {};
    const uint8_t node[6] = {};
    link.open(network, node, board_socket);
    link.request_connection("KELB");
    while (link.line == 0)
        sleep_ms(1);
}

int drain(BoardLink& link)
{
    MutexHold hold(link.to_caller_lock);
    const int n = link.to_caller()->size();
    link.to_caller()->clear();
    return n;
}

}

int main()
{
    // The trace lines would dominate the measurement.
    std::FILE* trace = std::freopen("/dev/null", "w", stdout);
    (void)trace;
    constexpr int BYTES = 1 << 20;

    support::fake_ipx::reset();
    {
        BoardOptions o;
        o.discard = true;
        support::BoardThread board(o);
        BoardLink link;
        open_link(link, board.host.socket_number());
        static uint8_t block[BYTES];
        const uint64_t start = performance_ticks();
        link.append_from_caller(block, BYTES);
        while (link.from_caller_size() > 0 || link.awaiting_ack)
            sleep_ms(1);
        const double s = seconds_since(start);
        std::fprintf(stderr, "caller to board: %d bytes in %.2f s = %.0f bytes/s (%.0f packets/s)\n", BYTES, s,
                     BYTES / s, BYTES / 512 / s);
        link.close();
    }
    support::fake_ipx::reset();
    {
        BoardOptions o;
        o.echo_only = true;
        o.bulk_bytes = BYTES;
        support::BoardThread board(o);
        BoardLink link;
        const uint64_t start = performance_ticks();
        open_link(link, board.host.socket_number());
        long got = -static_cast<long>(sizeof "Connected to KELB line 1\r\n" - 1);
        while (got < BYTES) {
            got += drain(link);
            sleep_ms(1);
        }
        const double s = seconds_since(start);
        std::fprintf(stderr, "board to caller: %d bytes in %.2f s = %.0f bytes/s\n", BYTES, s, BYTES / s);
        link.close();
    }
    return 0;
}
