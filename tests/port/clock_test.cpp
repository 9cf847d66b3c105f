#include "port/clock.h"

#include <ctime>
#include <gtest/gtest.h>

#include "port/event_wait.h"

namespace {

int64_t system_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec);
}

// The once-a-second passes wait ms_to_next_wall_second() and then compare
// wall_seconds() with the second they last served: a wait that ends at the
// turn of a second must see the new second, at once and just after.
TEST(Clock, AWaitToTheNextSecondAlwaysSeesIt)
{
    for (int turn = 0; turn < 3; ++turn) {
        const int64_t before = wall_seconds();
        const int ms = ms_to_next_wall_second();
        ASSERT_GE(ms, 1);
        ASSERT_LE(ms, 1000);
        wait_for_any_readable(nullptr, 0, ms);
        EXPECT_GT(wall_seconds(), before) << "turn " << turn;
        // A clock that turns later than the system's lags for some
        // milliseconds after each turn.
        const uint64_t until = monotonic_ms() + 20;
        while (monotonic_ms() < until) {
            const int64_t system = system_seconds();
            ASSERT_GE(wall_seconds(), system) << "turn " << turn;
        }
    }
}

}
