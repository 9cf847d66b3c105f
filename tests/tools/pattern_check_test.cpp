// The test pattern check shared by the simulator and the benchmark.
#include <gtest/gtest.h>

#include <string>

#include "tests/support/adapter_texts.h"
#include "tools/board_sim/pattern_check.h"

namespace {

using support::bulk_pattern;

std::string feed(PatternCheck& check, const std::string& bytes)
{
    return check.take(reinterpret_cast<const uint8_t*>(bytes.data()), static_cast<int>(bytes.size()));
}

}

TEST(PatternCheck, ReportsCompletionOnceAcrossPieces)
{
    PatternCheck check(130);
    EXPECT_EQ(feed(check, bulk_pattern(64, 0)), "");
    EXPECT_EQ(feed(check, bulk_pattern(65, 64)), "");
    EXPECT_FALSE(check.complete());
    EXPECT_EQ(feed(check, bulk_pattern(1, 129)), "Verified 130 bytes in order.\r\n");
    EXPECT_TRUE(check.complete());
    EXPECT_EQ(check.in_order(), 130);
}

TEST(PatternCheck, LossDuplicationAndStraysAreCaught)
{
    // A byte missing: the next one is out of place.
    PatternCheck lost(100);
    EXPECT_EQ(feed(lost, bulk_pattern(10, 0) + bulk_pattern(89, 11)), "Byte 11 is 0x3B, expected 0x3A.\r\n");
    EXPECT_TRUE(lost.broken());
    EXPECT_EQ(feed(lost, bulk_pattern(100, 0)), "");  // nothing more once broken
    EXPECT_FALSE(lost.complete());

    // A repeated piece whose length is not a multiple of the period.
    PatternCheck repeated(100);
    EXPECT_EQ(feed(repeated, bulk_pattern(30, 0) + bulk_pattern(10, 20)), "Byte 31 is 0x44, expected 0x4E.\r\n");

    // A whole period repeated at the end only shows as too many bytes.
    PatternCheck extra(64);
    EXPECT_EQ(feed(extra, bulk_pattern(64, 0) + bulk_pattern(64, 0)),
              "Verified 64 bytes in order.\r\nMore than 64 bytes.\r\n");
    EXPECT_EQ(extra.extra(), 64);
    EXPECT_FALSE(extra.complete());
    EXPECT_EQ(feed(extra, "x"), "");
}
