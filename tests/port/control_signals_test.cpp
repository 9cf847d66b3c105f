// Stopping the handling of control signals waits for a handler already
// running, so that main may destroy what the handler touches once it returns.
#include "port/control_signals.h"

#include <atomic>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>
#include <unistd.h>

#include "tests/support/wait_until.h"

using support::wait_until;
using namespace std::chrono_literals;

namespace {
std::atomic<bool> entered{false};
std::atomic<bool> release{false};
std::atomic<bool> finished{false};

bool slow_handler(int)
{
    entered = true;
    wait_until([] { return release.load(); }, 10s);
    finished = true;
    return true;
}
}

TEST(ControlSignals, StoppingWaitsForAHandlerAlreadyRunning)
{
    block_control_signals();
    start_control_signal_thread(slow_handler);
    kill(getpid(), SIGTERM);
    ASSERT_TRUE(wait_until([] { return entered.load(); }));

    std::atomic<bool> stopped{false};
    std::thread stopper([&] {
        stop_control_signal_handling();
        stopped = true;
    });
    EXPECT_FALSE(wait_until([&] { return stopped.load(); }, 300ms));
    release = true;
    stopper.join();
    EXPECT_TRUE(finished);
}
