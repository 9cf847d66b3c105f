// The refusal lines' throttle, on a clock the test sets.
#include <gtest/gtest.h>

#include <vector>

#include "telnet/refusal_log.h"

namespace {

using R = RefusalReason;

struct Refusal {
    uint64_t at_ms;
    R reason;
};

// Refusals at these times; the lines written, and the summary taken at
// summary_at_ms.
struct Case {
    const char* what;
    std::vector<Refusal> refusals;
    int lines;
    uint64_t summary_at_ms;
    std::string summary;
};

std::vector<Refusal> many(int count, R reason, uint64_t at_ms = 0)
{
    return std::vector<Refusal>(size_t(count), Refusal{at_ms, reason});
}

std::vector<Refusal> operator+(std::vector<Refusal> a, const std::vector<Refusal>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

TEST(RefusalLog, TenLinesASecondThenOneSummaryOfTheRest)
{
    const Case cases[] = {
        {"under the bound: no summary", many(10, R::Denied), 10, 5000, ""},
        {"past it: the rest summed up", many(4100, R::Banned) + many(111, R::AtTheLimit, 500), 10, 1000,
         "Refused 4201 more callers in the last second: 4090 banned, 111 at the limit"},
        {"one more is one caller", many(11, R::TooFast), 10, 1000, "Refused 1 more caller in the last second: 1 too fast"},
        {"not before the second is over", many(12, R::Banned), 10, 999, ""},
        {"every reason, in one order",
         many(10, R::Banned) +
             std::vector<Refusal>{{1, R::NotStarted}, {2, R::TooManyCallers}, {3, R::NotAllowed}, {4, R::Denied},
                                  {5, R::TooFast}, {6, R::AtTheLimit}, {7, R::Banned}},
         10, 1000,
         "Refused 7 more callers in the last second: 1 banned, 1 at the limit, 1 too fast, 1 denied, 1 not allowed, "
         "1 too many callers, 1 not started"},
        // A second begins with the first refusal after the last one ended.
        {"each second has its own lines", many(15, R::Denied) + many(3, R::Denied, 1000), 13, 1000,
         "Refused 5 more callers in the last second: 5 denied"},
    };
    for (const Case& c : cases) {
        RefusalLog log;
        int lines = 0;
        for (const Refusal& r : c.refusals)
            lines += log.record(r.reason, r.at_ms);
        EXPECT_EQ(lines, c.lines) << c.what;
        EXPECT_EQ(log.take_summary(c.summary_at_ms), c.summary) << c.what;
    }
}

TEST(RefusalLog, SummaryIsDueWhenTheSecondEndsAndTakenOnce)
{
    RefusalLog log;
    EXPECT_EQ(log.ms_until_summary(0), -1);
    for (const Refusal& r : many(10, R::Banned, 100))
        log.record(r.reason, r.at_ms);
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
