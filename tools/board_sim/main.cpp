// orva-board-sim: plays a KELB board host on the IPX network.
#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "link/ipx_endpoint.h"
#include "port/clock.h"
#include "port/control_signals.h"
#include "port/ipx_stack.h"
#include "tools/board_sim/board_host.h"
#include "tools/board_sim/board_options.h"

namespace {

std::atomic<bool> stop_requested{false};

bool on_control_signal(int)
{
    stop_requested = true;
    return true;
}

uint64_t now_ms()
{
    return performance_ticks() / 1000000u;
}

}

int main(int argc, char** argv)
{
    block_control_signals();
    // Tests and operators read the trace as it happens.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    BoardOptions options;
    std::string error;
    if (parse_board_options(std::vector<std::string>(argv + 1, argv + argc), options, error) != 0) {
        std::fprintf(stderr, "orva-board-sim: %s\n%s", error.c_str(), board_usage().c_str());
        return 2;
    }
    if (options.help) {
        std::fputs(board_usage().c_str(), stdout);
        return 0;
    }
    start_control_signal_thread(on_control_signal);

    IpxStack& stack = ipx_stack();
    if (stack.start(options.server_ip.c_str(), options.server_port) != 0) {
        std::fprintf(stderr, "orva-board-sim: cannot use the IPX tunnel at %s:%d: %s\n",
                     options.server_ip.c_str(), options.server_port, stack.last_error().c_str());
        return 1;
    }
    BoardHost host(options);
    if (host.open() != 0) {
        std::fprintf(stderr, "orva-board-sim: cannot bind IPX socket %d\n", options.socket_number);
        stack.stop();
        return 1;
    }
    std::printf("orva-board-sim: %d lines, KNET on socket 0x%04X, tunnel %s:%d\n", options.lines,
                host.socket_number(), options.server_ip.c_str(), options.server_port);

    bool announced = false;
    while (!stop_requested) {
        if (!announced && host.joined()) {
            uint8_t network[4];
            uint8_t node[6];
            stack.local_address(network, node);
            IpxPeer self;
            std::copy(network, network + 4, self.network);
            std::copy(node, node + 6, self.node);
            self.socket = host.socket_number();
            std::printf("IPX address: %s\n", self.text().c_str());
            announced = true;
        }
        host.poll(now_ms());
        sleep_ms(1);
    }
    std::printf("orva-board-sim: stopping\n");
    host.close();
    stack.stop();
    stop_control_signal_handling();
    return 0;
}
