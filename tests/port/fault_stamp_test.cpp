// The fault banner's timestamps follow the local zone's offset changes, as
// the log's own do, though they are made without asking for local time.
#include <ctime>
#include <cstdlib>
#include <gtest/gtest.h>
#include <string>

#include "port/fault_guard.h"

TEST(FaultStamp, FollowsDaylightSavingChangesAfterArming)
{
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    const long long now = (long long)time(nullptr);
    arm_fault_guard(-1, -1);
    disarm_fault_guard();
    int mismatches = 0;
    // Two years, each hour and the seconds either side of it.
    for (long long t = now - now % 3600 + 3600; t < now + 2 * 366 * 86400LL; t += 3600) {
        for (long long moment : {t - 1, t}) {
            char ours[32] = {};
            char wanted[32] = {};
            time_t m = time_t(moment);
            tm local{};
            localtime_r(&m, &local);
            strftime(wanted, sizeof wanted, "%b %d %H:%M:%S ", &local);
            ASSERT_EQ(fault_stamp(moment, ours), 16u);
            if (std::string(ours) != wanted && ++mismatches < 5)
                ADD_FAILURE() << "at " << moment << ": " << ours << " instead of " << wanted;
        }
    }
    EXPECT_EQ(mismatches, 0);
}
