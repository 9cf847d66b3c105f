// The refusal lines' throttle, on a clock the test sets.
#include <gtest/gtest.h>

#include <vector>

#include "calls/refusal_log.h"

namespace {

using R = RefusalReason;

// count callers refused for reason at at_ms.
struct Burst {
    int count;
    R reason;
    uint64_t at_ms;
};

TEST(RefusalLog, TenLinesASecondThenOneSummaryOfTheRest)
{
    // The bursts, the lines they may write, and the summary taken at
    // summary_at_ms.
    struct Case {
        const char* what;
        std::vector<Burst> bursts;
        int lines;
        uint64_t summary_at_ms;
        std::string summary;
    };
    const Case cases[] = {
        {"under the bound: no summary", {{10, R::Denied, 0}}, 10, 5000, ""},
        {"past it: the rest summed up", {{4100, R::Banned, 0}, {111, R::AtTheLimit, 500}}, 10, 1000,
         "Refused 4201 more callers in the last second: 4090 banned, 111 at the limit"},
        {"one more is one caller", {{11, R::TooFast, 0}}, 10, 1000, "Refused 1 more caller in the last second: 1 too fast"},
        {"not before the second is over", {{12, R::Banned, 0}}, 10, 999, ""},
        {"every reason, in one order",
         {{10, R::Banned, 0}, {1, R::NotStarted, 1}, {1, R::TooManyCallers, 2}, {1, R::NotAllowed, 3},
          {1, R::Denied, 4}, {1, R::TooFast, 5}, {1, R::AtTheLimit, 6}, {1, R::Banned, 7}},
         10, 1000,
         "Refused 7 more callers in the last second: 1 banned, 1 at the limit, 1 too fast, 1 denied, 1 not allowed, "
         "1 too many callers, 1 not started"},
        // A second begins with the first refusal after the last one ended.
        {"each second has its own lines", {{15, R::Denied, 0}, {3, R::Denied, 1000}}, 13, 1000,
         "Refused 5 more callers in the last second: 5 denied"},
    };
    for (const Case& c : cases) {
        RefusalLog log;
        int lines = 0;
        for (const Burst& b : c.bursts)
            for (int i = 0; i < b.count; ++i)
                lines += log.record(b.reason, b.at_ms);
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(log.take_summary(c.summary_at_ms), c.summary) << c.what;
    }
}

TEST(RefusalLog, SummaryIsDueWhenTheSecondEndsAndTakenOnce)
{
    RefusalLog log;
    EXPECT_EQ(log.ms_until_summary(0), -1);
    for (int i = 0; i < 10; ++i)
        log.record(R::Banned, 100);
    EXPECT_EQ(log.ms_until_summary(200), -1) << "nothing held back";
    EXPECT_FALSE(log.record(R::Banned, 300));
    EXPECT_EQ(log.ms_until_summary(300), 800);
    EXPECT_EQ(log.ms_until_summary(1100), 0);

    // A refusal in the next second does not lose the last one's summary.
    EXPECT_TRUE(log.record(R::Denied, 1200));
    EXPECT_EQ(log.ms_until_summary(1200), 0);
    EXPECT_EQ(log.take_summary(1200), "Refused 1 more caller in the last second: 1 banned");
    EXPECT_EQ(log.take_summary(1200), "");
    EXPECT_EQ(log.ms_until_summary(1200), -1);
}

}
