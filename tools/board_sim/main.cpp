// orva-board-sim: plays a KELB board host on the IPX network.
#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "ipx/ipx_endpoint.h"
#include "port/clock.h"
#include "port/control_signals.h"
#include "port/event_wait.h"
#include "port/wake_event.h"
#include "ipx/ipx_stack.h"
#include "tools/board_sim/board_host.h"
#include "tools/board_sim/board_options.h"
#include "tools/sap_announcer/sap_announcer.h"

namespace {

std::atomic<bool> stop_requested{false};
// Ends the main loop's wait: a datagram for any host or the announcer, the
// stack joining the network, or a stop.
WakeEvent wake_main;

bool on_control_signal(int)
{
    stop_requested = true;
    wake_main.signal();
    return true;
}

// Sleeps until the event is signalled or until due (monotonic_ms).
void wait_for_work(uint64_t due)
{
    const uint64_t now = monotonic_ms();
    if (due <= now)
        return;
    const int timeout = due - now > INT_MAX ? -1 : static_cast<int>(due - now);
    const int wake = wake_main.descriptor();
    wait_for_any_readable(&wake, 1, timeout);
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
    // One board per simulated server; only the first takes --socket.
    std::vector<std::unique_ptr<BoardHost>> hosts;
    for (int n = 0; n < options.servers; ++n) {
        BoardOptions own = options;
        if (n > 0)
            own.socket_number = 0;
        hosts.push_back(std::make_unique<BoardHost>(own));
        if (hosts.back()->open() != 0) {
            std::fprintf(stderr, "orva-board-sim: cannot bind IPX socket %d\n", own.socket_number);
            stack.stop();
            return 1;
        }
        std::printf("orva-board-sim: %d lines, KNET on socket 0x%04X, tunnel %s:%d\n", options.lines,
                    hosts.back()->socket_number(), options.server_ip.c_str(), options.server_port);
    }

    stack.set_arrival_event(&wake_main);
    SapAnnouncer announcer(&stack);
    announcer.set_interval_ms(options.sap_interval_ms);
    bool announced = false;
    for (;;) {
        // Taken back before the pass: whatever arrives during it, a stop
        // included, wakes the wait that follows.
        wake_main.clear();
        if (stop_requested)
            break;
        if (!announced && hosts.front()->joined()) {
            for (size_t n = 0; n < hosts.size(); ++n) {
                IpxAddress self = stack.local_address();
                self.socket = hosts[n]->socket_number();
                std::string name = n == 0 ? options.server_name : options.server_name + "-" + std::to_string(n + 1);
                std::printf("IPX address: %s (%s)\n", self.text().c_str(), name.c_str());
                announcer.add_server(name, self);
            }
            if (options.sap && announcer.start() != 0)
                std::fprintf(stderr, "orva-board-sim: SAP announcements are off\n");
            announced = true;
        }
        const uint64_t now = monotonic_ms();
        uint64_t due = BOARD_NOTHING_DUE;
        for (auto& host : hosts)
            due = std::min(due, host->poll(now));
        if (announced && options.sap)
            due = std::min(due, announcer.poll());
        wait_for_work(due);
    }
    std::printf("orva-board-sim: stopping\n");
    // Tell the network first that the servers are going down.
    announcer.stop();
    for (auto& host : hosts)
        host->close();
    stack.stop();
    stack.set_arrival_event(nullptr);
    stop_control_signal_handling();
    return 0;
}
