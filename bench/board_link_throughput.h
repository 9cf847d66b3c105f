// Throughput of one board link against the simulator's board, each running
// its own loop, measured the same way whatever IPX network carries them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>

#include "ipx/ipx_stack.h"
#include "link/board_link.h"
#include "port/clock.h"
#include "tests/support/board_thread.h"
#include "tools/board_sim/board_host.h"

namespace board_link_throughput {

inline double seconds_since(uint64_t start)
{
    return static_cast<double>(performance_ticks() - start) / PERFORMANCE_TICKS_PER_SECOND;
}

// A link on adapter (the process-wide stack when null) towards the board's
// socket on board_stack (all-zero addresses when null, as on the in-memory
// network), connected to a line.
inline std::unique_ptr<BoardLink> open_link(IpxStack* adapter, IpxStack* board_stack, uint16_t board_socket)
{
    auto link = adapter ? std::make_unique<BoardLink>(*adapter) : std::make_unique<BoardLink>();
    IpxAddress board;
    if (board_stack)
        board = board_stack->local_address();
    board.socket = board_socket;
    link->open(board);
    link->request_connection("KELB");
    while (link->line == 0)
        sleep_ms(1);
    return link;
}

// Caller bytes to a board that discards them; prints the rate.
inline void caller_to_board(IpxStack* adapter, IpxStack* board_stack, int bytes)
{
    {
        BoardOptions o;
        o.discard = true;
        support::BoardThread board(o, board_stack);
        auto link = open_link(adapter, board_stack, board.host.socket_number());
        static uint8_t block[1 << 20];
        const int count = bytes < int(sizeof block) ? bytes : int(sizeof block);
        const uint64_t start = performance_ticks();
        link->append_from_caller(block, count);
        while (link->from_caller_size() > 0 || link->awaiting_ack)
            sleep_ms(1);
        const double s = seconds_since(start);
        std::fprintf(stderr, "caller to board: %d bytes in %.2f s = %.0f bytes/s (%.0f packets/s)\n", count, s,
                     count / s, count / 512 / s);
        link->close();
    }
}

// The board's bulk output drained as the dispatcher would; prints the rate.
inline void board_to_caller(IpxStack* adapter, IpxStack* board_stack, int bytes)
{
    {
        BoardOptions o;
        o.echo_only = true;
        o.bulk_bytes = bytes;
        support::BoardThread board(o, board_stack);
        const uint64_t start = performance_ticks();
        auto link = open_link(adapter, board_stack, board.host.socket_number());
        long got = -static_cast<long>(sizeof "Connected to KELB line 1\r\n" - 1);
        // Drained once a millisecond, as the dispatcher's pass does.
        while (got < bytes) {
            {
                MutexHold hold(link->to_caller_lock);
                got += link->to_caller()->size();
                link->to_caller()->clear();
            }
            sleep_ms(1);
        }
        const double s = seconds_since(start);
        std::fprintf(stderr, "board to caller: %d bytes in %.2f s = %.0f bytes/s\n", bytes, s, bytes / s);
        link->close();
    }
}

}
