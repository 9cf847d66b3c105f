#include "stats/statistics_board.h"

#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

TEST(StatisticsBoard, LinesOutsideOneToNinetySixAreIgnored)
{
    StatisticsBoard b;
    for (int line : {0, 97, 96, -1})
        b.update_line(line, [](LineEntry& e) { e.state = LINE_CONNECTED; });
    StatusFigures f = b.figures();
    for (int i = 0; i < 95; ++i)
        EXPECT_EQ(f.lines[i].state, LINE_IDLE) << i;
    EXPECT_EQ(f.lines[95].state, LINE_CONNECTED);
    EXPECT_EQ(f.lines_connected(), 1);
}

TEST(StatisticsBoard, TextsAreCutAndTerminated)
{
    StatusFigures f{};
    copy_text(f.lines[2].address, std::string(300, 'a').c_str());
    copy_text(f.last_sap, std::string(48, 'K').c_str());
    EXPECT_EQ(std::string(f.lines[2].address), std::string(255, 'a'));
    EXPECT_EQ(std::string(f.last_sap), std::string(48, 'K'));
    copy_text(f.last_sap, std::string(100, 'Z').c_str());
    EXPECT_EQ(std::string(f.last_sap), std::string(63, 'Z'));
    copy_text(f.last_sap, nullptr);
    EXPECT_STREQ(f.last_sap, "");
}

// The console's refresh takes the bytes since the last one; the totals that
// /status.json and /metrics show are never reset, and outgrow 32 bits.
TEST(StatisticsBoard, RefreshTakesTheBytesOnceAndTotalsKeepThem)
{
    StatisticsBoard b;
    b.add_input_bytes(1000);
    b.add_input_bytes(24);
    b.add_output_bytes(5);
    EXPECT_EQ(b.figures().refresh_input_bytes, 1024u) << "a plain copy takes nothing";
    StatusFigures refresh = b.take_refresh();
    EXPECT_EQ(refresh.refresh_input_bytes, 1024u);
    EXPECT_EQ(refresh.refresh_output_bytes, 5u);
    refresh = b.take_refresh();
    EXPECT_EQ(refresh.refresh_input_bytes, 0u);
    EXPECT_EQ(refresh.refresh_output_bytes, 0u);
    EXPECT_EQ(refresh.input_bytes_total, 1024u);
    EXPECT_EQ(refresh.output_bytes_total, 5u);

    for (int i = 0; i < 3; ++i)
        b.add_input_bytes(0x7FFFFFFF);
    b.take_refresh();
    EXPECT_EQ(b.figures().input_bytes_total, 1024u + 3u * 0x7FFFFFFFull);
    b.add_output_bytes(-1); // 0xFFFFFFFF
    b.add_output_bytes(2);
    EXPECT_EQ(b.take_refresh().refresh_output_bytes, 1u);
}

TEST(StatisticsBoard, ClearZeroesEverything)
{
    StatisticsBoard b;
    b.update([](StatusFigures& f) {
        f.total_connections = 42;
        f.sap_servers = 3;
        copy_text(f.last_sap, "KELB");
    });
    b.update_line(1, [](LineEntry& e) { e = LineEntry{"host", LINE_CONNECTED, 1, 2}; });
    b.add_input_bytes(9);
    b.clear();
    StatusFigures f = b.figures();
    EXPECT_EQ(f.total_connections, 0);
    EXPECT_EQ(f.sap_servers, 0);
    EXPECT_STREQ(f.last_sap, "");
    EXPECT_EQ(f.lines[0].state, LINE_IDLE);
    EXPECT_STREQ(f.lines[0].address, "");
    EXPECT_EQ(f.input_bytes_total, 0u);
    EXPECT_EQ(f.refresh_input_bytes, 0u);
}

// What one update changes together, every reader sees together.
TEST(StatisticsBoard, ReadersSeeAnUpdateWholeOrNotAtAll)
{
    StatisticsBoard b;
    constexpr int UPDATES = 2000;
    std::thread writer([&] {
        for (int i = 1; i <= UPDATES; ++i) {
            b.update([i](StatusFigures& f) {
                f.total_connections = uint16_t(i);
                f.next_session = uint16_t(i + 1);
            });
            b.update_line(7, [i](LineEntry& e) {
                e.seq_in = uint16_t(i);
                e.seq_out = uint16_t(i);
            });
        }
    });
    int torn = 0;
    for (int read = 0; read < UPDATES; ++read) {
        StatusFigures f = read % 2 ? b.figures() : b.take_refresh();
        torn += f.next_session != (f.total_connections ? f.total_connections + 1 : 0);
        torn += f.lines[6].seq_in != f.lines[6].seq_out;
    }
    writer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_EQ(b.figures().total_connections, UPDATES);
}

}
