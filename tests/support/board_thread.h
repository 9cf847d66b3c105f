// A simulated board host polled on a thread of its own, for tests and
// benchmarks that run it inside their process.
#pragma once

#include <atomic>
#include <thread>

#include "port/clock.h"
#include "tools/board_sim/board_host.h"

namespace support {

struct BoardThread {
    // The process-wide IPX stack unless another is given.
    explicit BoardThread(const BoardOptions& o, IpxStack* stack = nullptr) : host(o, stack)
    {
        host.open();
        thread = std::thread([this] {
            while (!stop) {
                host.poll(performance_ticks() / 1000000u);
                sleep_ms(1);
            }
        });
    }
    ~BoardThread()
    {
        stop = true;
        thread.join();
    }
    BoardHost host;
    std::atomic<bool> stop{false};
    std::thread thread;
};

}
