#include <cstdlib>
#include <ctime>

#include "console/status_pages.h"
#include "screen_fixture.h"

namespace {
constexpr uint8_t FRAME = 0x07;        // (7, 0)
constexpr uint8_t TABLE = 0x17;        // (7, 4)
constexpr uint8_t TABLE_VALUE = 0x1F;  // (15, 4)
constexpr uint8_t BAR = 0x16;
}

class Frames : public ScreenTest {
protected:
    void SetUp() override
    {
        ScreenTest::SetUp();
        draw_frames();
    }
    // Row of the top boxes' borders: which columns hold which byte.
    void expect_cells(int row, std::initializer_list<std::pair<int, uint8_t>> cells)
    {
        for (auto [column, byte] : cells)
            EXPECT_EQ(byte_at(column, row), byte) << "column " << column << " row " << row;
    }
};

TEST_F(Frames, TopBoxes)
{
    EXPECT_TRUE(run_has_attr(14, 0, 66, 0x30));
    EXPECT_EQ(text_at(0, 0, 14), " ORVA v1.0-32 ");
    EXPECT_TRUE(run_has_attr(0, 0, 14, 0x4F));
    EXPECT_EQ(count_of_byte(14, 0, 66, ' '), 66);

    expect_cells(1, {{0, 0xDB}, {39, 0xDB}, {40, 0xDB}, {79, 0xDB}});
    EXPECT_EQ(count_of_byte(1, 1, 38, 0xDF), 38 - 16);  // the title covers 16
    EXPECT_EQ(text_at(12, 1, 16), " System Loading ");
    EXPECT_EQ(text_at(52, 1, 16), " System Thruput ");
    EXPECT_TRUE(run_has_attr(12, 1, 16, 0x70));
    for (int row = 2; row <= 4; ++row) {
        expect_cells(row, {{0, 0xDB}, {39, 0xDB}, {40, 0xDB}, {79, 0xDB}});
        EXPECT_EQ(attr_at(0, row), FRAME);
        EXPECT_EQ(byte_at(36, row), '%');
    }
    EXPECT_EQ(text_at(3, 2, 4), "Idle");
    EXPECT_EQ(attr_at(3, 2), 0x0A);
    EXPECT_EQ(text_at(3, 3, 4), "Krnl");
    EXPECT_EQ(attr_at(3, 3), 0x0C);
    EXPECT_EQ(text_at(3, 4, 4), "User");
    EXPECT_EQ(attr_at(3, 4), 0x03);
    EXPECT_EQ(text_at(43, 2, 4), "Resp");
    EXPECT_EQ(text_at(75, 2, 2), "ms");
    EXPECT_EQ(text_at(43, 3, 4), "Inpt");
    EXPECT_EQ(text_at(75, 4, 2), "ks");
    EXPECT_EQ(count_of_byte(0, 5, 80, 0xDF), 80);
}

TEST_F(Frames, LineTable)
{
    EXPECT_EQ(text_at(0, 6, 80),
              "  #  Address                  SeqI SeqO   #  Address                  SeqI SeqO ");
    EXPECT_TRUE(run_has_attr(0, 6, 80, 0x70));
    for (int row = 7; row <= 14; ++row) {
        expect_cells(row, {{0, 0xDB}, {3, 0xDE}, {29, 0xDD}, {34, 0xDD}, {39, 0xDE}, {40, 0xDD},
                           {43, 0xDE}, {69, 0xDD}, {74, 0xDD}, {79, 0xDB}});
        EXPECT_EQ(count_of_byte(0, row, 80, ' '), 70);
        EXPECT_TRUE(run_has_attr(0, row, 80, TABLE));
    }
    EXPECT_EQ(count_of_byte(0, 15, 80, 0xDF), 80);
}

TEST_F(Frames, StatisticsBoxesAndBottomRows)
{
    expect_cells(16, {{0, 0xDB}, {32, 0xDB}, {47, 0xDB}, {79, 0xDB}});
    EXPECT_EQ(text_at(6, 16, 20), " Connect Statistics ");
    EXPECT_EQ(text_at(55, 16, 17), " KELB Statistics ");
    for (int row = 17; row <= 21; ++row)
        expect_cells(row, {{0, 0xDB}, {32, 0xDB}, {47, 0xDB}, {79, 0xDB}});
    EXPECT_EQ(text_at(2, 17, 23), "Total # of connections:");
    EXPECT_EQ(text_at(2, 20, 23), "Number of next session:");
    EXPECT_TRUE(run_has_attr(2, 18, 23, 0x0B));
    EXPECT_EQ(text_at(49, 17, 9), "Last SAP:");
    EXPECT_EQ(text_at(49, 20, 23), "Calls lost to downtime:");
    EXPECT_EQ(count_of_byte(0, 22, 33, 0xDF), 33);
    EXPECT_EQ(count_of_byte(33, 22, 14, ' '), 14);
    EXPECT_EQ(count_of_byte(47, 22, 33, 0xDF), 33);

    EXPECT_EQ(text_at(0, 23, 10), " Overview ");
    for (int column : {10, 27, 44, 61, 78})
        EXPECT_EQ(byte_at(column, 23), 0xB3) << column;
    EXPECT_EQ(count_of_byte(0, 23, 80, 0xFA), 64);
    EXPECT_EQ(byte_at(79, 23), ' ');
    EXPECT_TRUE(run_has_attr(0, 23, 80, 0x70));

    EXPECT_EQ(byte_at(9, 24), 0xB3);
    EXPECT_EQ(byte_at(70, 24), 0xB3);
    EXPECT_EQ(text_at(1, 24, 7), "F3=Exit");
    EXPECT_EQ(attr_at(1, 24), 0x3F);
    EXPECT_EQ(text_at(72, 24, 7), "F1=Help");
    EXPECT_EQ(attr_at(72, 24), 0x38);
    EXPECT_EQ(count_of_byte(10, 24, 60, ' '), 60);
}

using Connections = Frames;

TEST_F(Connections, ConnectedAndIdleCells)
{
    StatusFigures f{};
    f.lines[2] = LineEntry{"caller.example", LINE_CONNECTED, 0x12, 0x3A4};
    f.lines[1] = LineEntry{"left behind by the last caller", LINE_IDLE, 0, 0};
    draw_connections(f);

    EXPECT_EQ(text_at(1, 8, 2), " 3");
    EXPECT_EQ(text_at(5, 8, 24), "caller.example          ");
    EXPECT_EQ(text_at(30, 8, 4), "0012");
    EXPECT_EQ(text_at(35, 8, 4), "03A4");
    EXPECT_TRUE(run_has_attr(1, 8, 2, TABLE_VALUE));
    EXPECT_TRUE(run_has_attr(30, 8, 4, TABLE_VALUE));
    EXPECT_EQ(byte_at(29, 8), 0xDD);  // the rules stay

    EXPECT_EQ(text_at(41, 7, 2), " 2");
    EXPECT_EQ(text_at(45, 7, 24), "Idle                    ");
    EXPECT_EQ(text_at(70, 7, 4), "    ");
    EXPECT_EQ(text_at(75, 7, 4), "    ");
}

TEST_F(Connections, LongAddressIsCutTo24)
{
    StatusFigures f{};
    f.lines[15] = LineEntry{"abcdefghijklmnopqrstuvwxyz0123", LINE_CONNECTED, 0, 0};
    draw_connections(f);
    EXPECT_EQ(text_at(45, 14, 24), "abcdefghijklmnopqrstuvwx");
    EXPECT_EQ(byte_at(69, 14), 0xDD);
    EXPECT_EQ(text_at(70, 14, 4), "0000");
}

TEST_F(Connections, UnknownStateLeavesTheCell)
{
    StatusFigures f{};
    f.lines[0].state = 7;
    draw_connections(f);
    EXPECT_EQ(text_at(1, 7, 2), "  ");
    EXPECT_EQ(text_at(5, 7, 4), "    ");
    EXPECT_EQ(byte_at(11, 23), 0x01);
}

TEST_F(Connections, LinesBeyond16OnlyInTheOverview)
{
    StatusFigures f{};
    for (int i = 16; i < LINE_COUNT; ++i)
        f.lines[i] = LineEntry{"far.away", LINE_CONNECTED, 0, 0};
    f.lines[0] = LineEntry{"near", LINE_CONNECTED, 0, 0};
    draw_connections(f);

    for (int row = 7; row <= 14; ++row)
        for (int column = 0; column < 72; ++column)
            ASSERT_NE(text_at(column, row, 8), "far.away") << row;
    EXPECT_EQ(text_at(5, 7, 4), "near");
    EXPECT_EQ(byte_at(11, 23), 0x01);
    EXPECT_EQ(count_of_byte(12, 23, 15, 0x18), 15);
    EXPECT_EQ(count_of_byte(28, 23, 16, 0x01), 16);
    EXPECT_EQ(count_of_byte(45, 23, 16, 0xFA), 16);
    EXPECT_EQ(count_of_byte(62, 23, 16, 0xFA), 16);
    EXPECT_TRUE(run_has_attr(11, 23, 33, 0x70));
}

// Shares of the elapsed time and the bars drawn for them, idle taking what
// is left of both.
TEST(LoadingFigures, KernelUserAndIdleShares)
{
    struct Case {
        uint64_t elapsed, kernel, user;
        int kernel_percent, user_percent, idle_percent, kernel_bar, user_bar, idle_bar;
    };
    const Case cases[] = {
        {10000000, 1000000, 2500000, 10, 25, 65, 2, 5, 14},
        // Several threads can use more CPU time than the wall clock shows.
        {1000, 800, 900, 80, 90, 0, 17, 19, 0},
        {1, 1000, 0, 999, 0, 0, BAR_WIDTH, 0, 0},
        // No time elapsed: no division by zero, nothing used.
        {0, 5, 5, 0, 0, 100, 0, 0, BAR_WIDTH},
    };
    for (const Case& c : cases) {
        const LoadingFigures f = loading_figures(c.elapsed, c.kernel, c.user);
        const std::vector<int> got = {f.kernel_percent, f.user_percent, f.idle_percent,
                                      f.kernel_bar,     f.user_bar,     f.idle_bar};
        EXPECT_EQ(got, (std::vector<int>{c.kernel_percent, c.user_percent, c.idle_percent, c.kernel_bar,
                                         c.user_bar, c.idle_bar}))
            << c.elapsed << " " << c.kernel << " " << c.user;
    }
}

using Loading = Frames;

TEST_F(Loading, DrawsPercentsAndBars)
{
    LoadingFigures f = loading_figures(10000000, 1000000, 2500000);
    draw_loading_figures(&f);
    EXPECT_EQ(text_at(33, 2, 4), " 65%");
    EXPECT_EQ(text_at(33, 3, 4), " 10%");
    EXPECT_EQ(text_at(33, 4, 4), " 25%");
    EXPECT_EQ(count_of_byte(9, 2, 21, BAR), 14);
    EXPECT_EQ(count_of_byte(9, 2, 14, BAR), 14);
    EXPECT_EQ(count_of_byte(9, 3, 2, BAR), 2);
    EXPECT_EQ(count_of_byte(11, 3, 19, ' '), 19);
    EXPECT_EQ(count_of_byte(9, 4, 5, BAR), 5);
    EXPECT_TRUE(run_has_attr(9, 3, 21, 0x0C));
    EXPECT_TRUE(run_has_attr(9, 4, 21, 0x03));
    EXPECT_EQ(byte_at(30, 2), ' ');
}

TEST_F(Loading, NotAvailableWithoutProcessTimes)
{
    // The host was never described, so it does not count as NT-family.
    draw_loading();
    EXPECT_EQ(text_at(34, 2, 3), "N/A");
    EXPECT_EQ(text_at(34, 3, 3), "N/A");
    EXPECT_EQ(text_at(34, 4, 3), "N/A");
    EXPECT_EQ(attr_at(34, 3), 0x0C);
    EXPECT_EQ(count_of_byte(9, 2, 21, BAR) + count_of_byte(9, 3, 21, BAR) + count_of_byte(9, 4, 21, BAR), 0);
}

TEST(ThroughputFigures, ResponseAndBars)
{
    EXPECT_EQ(response_ms(250000000, 1000000, 5), 50);
    EXPECT_EQ(response_ms(250000000, 0, 5), 0);
    EXPECT_EQ(response_ms(250000000, 1000000, 0), 0);
    EXPECT_EQ(response_bar(100), 20);
    EXPECT_EQ(response_bar(101), 21);
    EXPECT_EQ(response_bar(5000), 21);
    EXPECT_EQ(response_bar(-3), 0);
    EXPECT_EQ(kilobyte_bar(63), 20);
    EXPECT_EQ(kilobyte_bar(64), 21);
    EXPECT_EQ(kilobyte_bar(70), 21);
    EXPECT_EQ(kilobyte_bar(0), 0);
}

using Throughput = Frames;

TEST_F(Throughput, KilobytesPerRefresh)
{
    console_screen.counter_present = true;
    console_screen.ticks_per_ms = 1000000;
    console_screen.poll_count = 1;
    stats_board.update([](StatusFigures& f) { f.poll_ticks = 101000000; });
    stats_board.add_input_bytes(70 * 1024 + 1023);
    stats_board.add_output_bytes(3000);
    draw_throughput(stats_board.take_refresh());
    EXPECT_EQ(text_at(70, 2, 4), " 101");
    EXPECT_EQ(count_of_byte(49, 2, 21, BAR), 21);
    EXPECT_EQ(text_at(70, 3, 4), "  70");
    EXPECT_EQ(count_of_byte(49, 3, 21, BAR), 21);
    EXPECT_EQ(text_at(70, 4, 4), "   2");
    EXPECT_EQ(count_of_byte(49, 4, 21, BAR), 0);
    EXPECT_TRUE(run_has_attr(70, 3, 4, 0x0C));

    // The counts restart at each refresh; the response divides by the polls.
    stats_board.update([](StatusFigures& f) { f.poll_ticks = 100000000; });
    console_screen.poll_count = 4;
    draw_throughput(stats_board.take_refresh());
    EXPECT_EQ(text_at(70, 2, 4), "  25");
    EXPECT_EQ(count_of_byte(49, 2, 21, BAR), 5);
    EXPECT_EQ(text_at(70, 3, 4), "   0");
    EXPECT_EQ(count_of_byte(49, 3, 21, BAR), 0);
}

TEST_F(Throughput, NoCounter)
{
    StatusFigures f{};
    f.poll_ticks = 100000000;
    draw_throughput(f);
    EXPECT_EQ(text_at(70, 2, 4), " N/A");
    EXPECT_EQ(count_of_byte(49, 2, 21, BAR), 0);
}

using Statistics = Frames;

TEST_F(Statistics, ConnectBox)
{
    StatusFigures f{};
    f.total_connections = 65535;
    f.last_session = 12;
    f.threads_used = -4;
    f.next_session = 13;
    draw_connect_stats(f);
    EXPECT_EQ(text_at(26, 17, 5), "65535");
    EXPECT_EQ(text_at(26, 18, 5), "   12");
    EXPECT_EQ(text_at(26, 19, 5), "   -4");
    EXPECT_EQ(text_at(26, 20, 5), "   13");
    EXPECT_TRUE(run_has_attr(26, 17, 5, 0x0B));
    EXPECT_EQ(byte_at(32, 17), 0xDB);
}

TEST_F(Statistics, NoServerHeardShowsNoneInBrightRed)
{
    draw_board_stats(StatusFigures{});
    EXPECT_EQ(text_at(59, 17, 6), "[None]");
    EXPECT_TRUE(run_has_attr(59, 17, 6, 0x0C));
    EXPECT_EQ(text_at(73, 18, 5), "    0");
    EXPECT_TRUE(run_has_attr(73, 18, 5, 0x0B));
}

TEST_F(Statistics, BoardBox)
{
    StatusFigures f{};
    copy_text(f.last_sap, "KELB-MAIN-BOARD-HOST-NUMBER-ONE");
    f.sap_servers = 3;
    f.calls_lost_busy = 2;
    f.calls_lost_downtime = 40000;
    draw_board_stats(f);
    EXPECT_EQ(text_at(59, 17, 19), "KELB-MAIN-BOARD-HOS");
    EXPECT_EQ(text_at(78, 17, 2), " \xdb");
    EXPECT_TRUE(run_has_attr(59, 17, 19, 0x0B));
    EXPECT_EQ(text_at(73, 18, 5), "    3");
    EXPECT_EQ(text_at(73, 19, 5), "    2");
    EXPECT_EQ(text_at(73, 20, 5), "40000");
}

TEST_F(Statistics, ShutdownNoticeOnlyWhenStopping)
{
    draw_shutdown_notice();
    EXPECT_EQ(count_of_byte(10, 24, 60, ' '), 60);
    running_flag.set(false);
    draw_shutdown_notice();
    EXPECT_EQ(text_at(10, 24, 60),
              std::string(17, ' ') + "ORVA is shutting down ..." + std::string(18, ' '));
    EXPECT_TRUE(run_has_attr(10, 24, 60, 0x3F));
    EXPECT_EQ(byte_at(70, 24), 0xB3);
}

TEST_F(Statistics, DateAndTime)
{
    const char* saved = std::getenv("TZ");
    std::string old = saved ? saved : "";
    setenv("TZ", "UTC", 1);
    tzset();
    console_screen.last_refresh_time = 1700000000;  // 14 Nov 2023 22:13:20 UTC
    draw_date_time();
    if (saved)
        setenv("TZ", old.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
    EXPECT_EQ(text_at(35, 18, 10), "14 Nov '23");
    EXPECT_EQ(text_at(36, 20, 8), "22:13:20");
    EXPECT_TRUE(run_has_attr(36, 20, 8, 0x0F));
}
