// The figures of the status page during real calls: orva showing its page in
// an 80x25 tmux pane, the board host simulator joined to orva's IPX network,
// and callers on loopback.
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>
#include <vector>

#include "port/tcp.h"
#include "tests/support/adapter_test.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/tmux_pane.h"

using namespace support;

namespace {

std::u32string wide(const std::string& ascii)
{
    return std::u32string(ascii.begin(), ascii.end());
}

// A label and its "%5d" value, as the statistics boxes show them.
std::u32string figure(const std::string& label, int value)
{
    std::string number = std::to_string(value);
    return wide(label + " " + std::string(5 - number.size(), ' ') + number);
}

// The "%5d" field at (column, row) as a number, -1 when it is not one.
int number_at(const std::vector<std::u32string>& rows, size_t column, size_t row, size_t width = 5)
{
    std::u32string field = at(rows, column, row, width);
    int value = 0;
    bool digits = false;
    for (char32_t c : field) {
        if (c == U' ' && !digits)
            continue;
        if (c < U'0' || c > U'9')
            return -1;
        value = value * 10 + int(c - U'0');
        digits = true;
    }
    return digits ? value : -1;
}

// What the line table shows for the caller once its name is looked up: the
// resolver's name for 127.0.0.1, or the bracketed address when it has none.
std::string caller_name()
{
    TcpAddress loopback;
    loopback.bytes[0] = 127;
    loopback.bytes[3] = 1;
    std::string name;
    return tcp_reverse_name(loopback, name) ? name : "[127.0.0.1]";
}

class StatusFigures : public AdapterTest {
protected:
    void SetUp() override
    {
        if (!have_tmux())
            GTEST_SKIP() << "tmux is not installed";
    }

    void start_orva()
    {
        dir.write("orva.conf.xml", orva_config(telnet_port, ipx_port));
        tmux.start_orva(dir.path());
        ASSERT_TRUE(shows([](const Rows& rows) { return at(rows, 0, 0, 14) == U" ORVA v1.0-32 "; }))
            << tmux.screen_text();
    }

    void start_board(const std::vector<std::string>& options)
    {
        // orva runs in the pane, so the page tells when it has heard the board.
        AdapterTest::start_board(options, false);
        ASSERT_TRUE(shows([](const Rows& rows) {
            return at(rows, 49, 17, 14) == U"Last SAP: KELB" && at(rows, 49, 18, 29) == figure("SAP servers on network:", 1);
        })) << tmux.screen_text() << board->out();
    }

    using Rows = std::vector<std::u32string>;

    // Waits until the page satisfies pred; it is redrawn about once a second.
    template <typename Pred>
    bool shows(Pred pred, std::chrono::milliseconds timeout = 10s)
    {
        return wait_until([&] { return pred(tmux.screen()); }, timeout);
    }

    bool shows_figure(size_t column, size_t row, const std::string& label, int value)
    {
        return shows([&](const Rows& rows) { return at(rows, column, row, label.size() + 6) == figure(label, value); });
    }

    int threads_used() { return number_at(tmux.screen(), 26, 19); }

    Tmux tmux{"orva-figures"};
};

TEST_F(StatusFigures, PageFollowsCallsOnTheOnlyLine)
{
    dir.write("orva.dat", std::string("\x29\x00", 2)); // 41
    start_orva();
    ASSERT_TRUE(shows_figure(2, 17, "Total # of connections:", 41)) << tmux.screen_text();
    EXPECT_TRUE(shows_figure(2, 20, "Number of next session:", 1)) << tmux.screen_text();
    start_board({"--lines", "1", "--echo"});
    int baseline = threads_used();
    ASSERT_GT(baseline, 0) << tmux.screen_text();

    LoopbackCaller first(telnet_port);
    std::string head = OPTIONS + GREETING + "Connected to KELB line 1\r\n";
    ASSERT_EQ(first.receive(head.size()), head);
    EXPECT_TRUE(shows_figure(2, 17, "Total # of connections:", 42)) << tmux.screen_text();
    EXPECT_TRUE(shows_figure(2, 20, "Number of next session:", 2)) << tmux.screen_text();
    // Line 1 shows its caller, the overview marks it in use.
    std::u32string name = wide(caller_name()).substr(0, 24);
    name.resize(24, U' ');
    EXPECT_TRUE(shows([&](const Rows& rows) {
        return at(rows, 1, 7, 4) == U" 1\u2590 " && at(rows, 5, 7, 24) == name && at(rows, 11, 23, 1) == U"\u263A";
    })) << tmux.screen_text();
    EXPECT_GT(threads_used(), baseline);

    // The only line is taken: the next caller is refused as busy.
    {
        LoopbackCaller second(telnet_port);
        bool closed = false;
        EXPECT_EQ(second.receive_until_closed(closed),
                  OPTIONS + GREETING + "KELB is currently busy, please call back again later.\r\n");
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(shows_figure(49, 19, "Calls lost due to busy:", 1)) << tmux.screen_text();
    EXPECT_TRUE(shows_figure(2, 18, "Number of last session:", 2)) << tmux.screen_text();
    auto rows = tmux.screen();
    EXPECT_EQ(at(rows, 2, 17, 29), figure("Total # of connections:", 43));
    EXPECT_EQ(at(rows, 2, 20, 29), figure("Number of next session:", 3));
    EXPECT_EQ(at(rows, 49, 20, 29), figure("Calls lost to downtime:", 0));
    EXPECT_EQ(at(rows, 5, 7, 24), name) << "the refused caller leaves line 1 alone";

    // 70 kilobytes typed at once show in the input figure of a refresh.
    std::string block(70 * 1024, 'k');
    first.send(block);
    EXPECT_TRUE(shows([](const Rows& r) { return number_at(r, 70, 3, 4) > 0; })) << tmux.screen_text();
    EXPECT_EQ(first.receive(block.size(), 30s).size(), block.size());

    first.hang_up();
    EXPECT_TRUE(shows([](const Rows& r) { return at(r, 1, 7, 8) == U" 1\u2590 Idle" && at(r, 11, 23, 1) == U"\u2191"; }))
        << tmux.screen_text();
    EXPECT_TRUE(shows_figure(2, 18, "Number of last session:", 1)) << tmux.screen_text();
    EXPECT_TRUE(shows([&](const Rows& r) { return number_at(r, 26, 19) == baseline; })) << tmux.screen_text();
    EXPECT_EQ(at(tmux.screen(), 49, 19, 29), figure("Calls lost due to busy:", 1));

    tmux.keys("F3");
    ASSERT_TRUE(tmux.shows("orva-exit-status=")) << tmux.screen_text();
    EXPECT_NE(tmux.screen_text().find("orva-exit-status=0"), std::string::npos) << tmux.screen_text();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x2B\x00", 2)); // 43
}

TEST_F(StatusFigures, CallersRefusedForDowntimeAreCountedOnThePage)
{
    start_orva();
    for (int n = 1; n <= 2; ++n) {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        EXPECT_EQ(caller.receive_until_closed(closed),
                  OPTIONS + GREETING + "\r\nKELB is currently down.  Please try back later.\r\n");
        EXPECT_TRUE(closed);
        EXPECT_TRUE(shows_figure(49, 20, "Calls lost to downtime:", n)) << tmux.screen_text();
        EXPECT_TRUE(shows_figure(2, 18, "Number of last session:", n)) << tmux.screen_text();
    }
    auto rows = tmux.screen();
    EXPECT_EQ(at(rows, 49, 19, 29), figure("Calls lost due to busy:", 0));
    EXPECT_EQ(at(rows, 2, 17, 29), figure("Total # of connections:", 2));
    EXPECT_EQ(at(rows, 1, 7, 8), U" 1\u2590 Idle");
    tmux.keys("F3");
    EXPECT_TRUE(tmux.shows("orva-exit-status=0")) << tmux.screen_text();
}

}
