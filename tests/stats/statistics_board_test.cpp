#include "stats/statistics_board.h"

#include <gtest/gtest.h>
#include <string>

namespace {

TEST(StatisticsBoard, LinesOutsideOneToNinetySixAreIgnored)
{
    StatisticsBoard b;
    b.set_line_state(0, LINE_CONNECTED);
    b.set_line_state(97, LINE_CONNECTED);
    b.set_line_state(96, LINE_CONNECTED);
    b.set_line_seq_in(-1, 7);
    b.begin_display();
    for (int i = 0; i < 95; ++i)
        EXPECT_EQ(b.line_state(i), LINE_IDLE) << i;
    EXPECT_EQ(b.line_state(95), LINE_CONNECTED);
    b.end_display();
}

TEST(StatisticsBoard, TextsAreCutAndTerminated)
{
    StatisticsBoard b;
    b.set_line_address(3, std::string(300, 'a').c_str());
    b.set_last_sap(std::string(48, 'K').c_str());
    b.set_line_address(4, "x");
    b.begin_display();
    EXPECT_EQ(std::string(b.line_address(2)), std::string(255, 'a'));
    EXPECT_EQ(std::string(b.last_sap()), std::string(48, 'K'));
    EXPECT_EQ(std::string(b.line_address(3)), "x");
    b.end_display();
    b.set_last_sap(std::string(100, 'Z').c_str());
    EXPECT_EQ(std::string(b.last_sap()).size(), 63u);
}

TEST(StatisticsBoard, ByteCountsAreTakenAndResetInsideTheDisplayBracket)
{
    StatisticsBoard b;
    b.add_input_bytes(1000);
    b.add_input_bytes(24);
    b.add_output_bytes(5);
    b.begin_display(); // re-entrant: take_* lock again on this thread
    EXPECT_EQ(b.take_input_bytes(), 1024u);
    EXPECT_EQ(b.take_input_bytes(), 0u);
    EXPECT_EQ(b.take_output_bytes(), 5u);
    b.end_display();
}

TEST(StatisticsBoard, ByteTotalsOutliveTheRefreshesAndThirtyTwoBits)
{
    StatisticsBoard b;
    b.add_input_bytes(1000);
    EXPECT_EQ(b.take_input_bytes(), 1000u);
    for (int i = 0; i < 3; ++i)
        b.add_input_bytes(0x7FFFFFFF);
    b.add_output_bytes(7);
    b.count_caller_refused();
    b.count_caller_refused();
    b.begin_display();
    EXPECT_EQ(b.input_bytes_total(), 1000u + 3u * 0x7FFFFFFFull);
    EXPECT_EQ(b.output_bytes_total(), 7u);
    EXPECT_EQ(b.callers_refused(), 2u);
    b.end_display();
}

TEST(StatisticsBoard, CountersWrapAtSixteenAndThirtyTwoBits)
{
    StatisticsBoard b;
    for (int i = 0; i < 65536; ++i)
        b.count_call_lost_busy();
    EXPECT_EQ(b.calls_lost_busy(), 0);
    b.count_call_lost_busy();
    EXPECT_EQ(b.calls_lost_busy(), 1);
    b.add_input_bytes(-1); // 0xFFFFFFFF
    b.add_input_bytes(2);
    EXPECT_EQ(b.take_input_bytes(), 1u);
}

TEST(StatisticsBoard, ClearZeroesEverything)
{
    StatisticsBoard b;
    b.set_total_connections(42);
    b.set_line_address(1, "host");
    b.set_line_state(1, LINE_CONNECTED);
    b.set_sap_servers(3);
    b.clear();
    EXPECT_EQ(b.total_connections(), 0);
    EXPECT_EQ(b.sap_servers(), 0);
    EXPECT_EQ(b.line_state(0), LINE_IDLE);
    EXPECT_STREQ(b.line_address(0), "");
}

}
