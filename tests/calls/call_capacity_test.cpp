// MaxCalls weighed against what the process may hold.
#include <gtest/gtest.h>

#include "calls/call_capacity.h"

namespace {

TEST(CallCapacity, MaxCallsIsLoweredToTheTightestLimitAndSaysWhy)
{
    struct Case {
        int configured;
        ProcessLimits limits; // descriptors, user threads, system threads
        int fitted;
        const char* why;
    };
    const Case cases[] = {
        {256, {-1, -1, -1}, 256, ""},
        {256, {1024, 100000, 200000}, 256, ""},
        {256, {512, -1, -1}, 192, "Access MaxCalls lowered from 256 to 192: 512 descriptors allowed"},
        {256, {100000, 396, -1}, 100, "Access MaxCalls lowered from 256 to 100: 396 threads allowed for the user"},
        {256, {512, 396, 300}, 68, "Access MaxCalls lowered from 256 to 68: 300 threads allowed on the system"},
        {100, {512, -1, -1}, 100, ""},
        // Nothing left past the reserve: still a limit, never none.
        {256, {64, -1, -1}, 1, "Access MaxCalls lowered from 256 to 1: 64 descriptors allowed"},
        // No limit asked for: the operator's choice stands.
        {0, {64, 10, 10}, 0, ""},
    };
    for (const Case& c : cases) {
        std::string why = "stale";
        EXPECT_EQ(fit_max_calls(c.configured, c.limits, why), c.fitted) << c.configured << " " << c.limits.descriptors;
        EXPECT_EQ(why, c.why);
    }
}

}
