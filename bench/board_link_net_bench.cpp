// Throughput of one board link against the simulator's board over the real
// IPX stack: two stacks joined through a tunnel relay on loopback, each side
// in its own 1 ms loop, as the adapter and the simulator run them.
#include <atomic>
#include <cstdio>
#include <thread>

#include "link/board_link.h"
#include "port/clock.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "tests/support/board_thread.h"
#include "tools/board_sim/board_host.h"

namespace {

void quiet(const char*) {}

double seconds_since(uint64_t start)
{
    return static_cast<double>(performance_ticks() - start) / PERFORMANCE_TICKS_PER_SECOND;
}

struct Network {
    Network()
    {
        relay.set_event_sink(quiet);
        relay.bind("127.0.0.1", 0);
        relay.start();
        for (IpxStack* s : {&adapter, &board}) {
            s->set_notice_sink(quiet);
            s->start("127.0.0.1", relay.address().port);
        }
        while (!adapter.registered() || !board.registered())
            sleep_ms(1);
    }
    ~Network()
    {
        adapter.stop();
        board.stop();
        relay.stop();
    }
    IpxRelay relay;
    IpxStack adapter;
    IpxStack board;
};


void open_link(BoardLink& link, IpxStack& board_stack, uint16_t board_socket)
{
    uint8_t network[4];
    uint8_t node[6];
    board_stack.local_address(network, node);
    link.open(network, node, board_socket);
    link.request_connection("KELB");
    while (link.line == 0)
        sleep_ms(1);
}

}

int main()
{
    // The trace lines would dominate the measurement.
    std::FILE* trace = std::freopen("/dev/null", "w", stdout);
    (void)trace;
    constexpr int BYTES = 1 << 20;
    Network net;
    {
        BoardOptions o;
        o.discard = true;
        support::BoardThread board(o, &net.board);
        BoardLink link(net.adapter);
        open_link(link, net.board, board.host.socket_number());
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
    {
        BoardOptions o;
        o.echo_only = true;
        o.bulk_bytes = BYTES;
        support::BoardThread board(o, &net.board);
        BoardLink link(net.adapter);
        const uint64_t start = performance_ticks();
        open_link(link, net.board, board.host.socket_number());
        long got = -static_cast<long>(sizeof "Connected to KELB line 1\r\n" - 1);
        // Drained once a millisecond, as the dispatcher's pass does.
        while (got < BYTES) {
            {
                MutexHold hold(link.to_caller_lock);
                got += link.to_caller()->size();
                link.to_caller()->clear();
            }
            sleep_ms(1);
        }
        const double s = seconds_since(start);
        std::fprintf(stderr, "board to caller: %d bytes in %.2f s = %.0f bytes/s\n", BYTES, s, BYTES / s);
        link.close();
    }
    return 0;
}
