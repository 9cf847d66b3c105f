// The status page as an operator sees it: the real orva in an 80x25 tmux
// pane, then with -d, then with standard output not a terminal.
#include <gtest/gtest.h>

#include <cctype>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "tests/support/tmux_pane.h"

using namespace support;

namespace {

std::string config(int port)
{
    return "<ORVA>\n"
           "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(port) + "\"/>\n"
           "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" + std::to_string(free_udp_port()) + "\"/>\n"
           "  <Log File=\"orva.log\" Level=\"5\"/>\n"
           "</ORVA>\n";
}

// "%5d": right-aligned digits in five columns.
bool is_number_field(const std::u32string& field)
{
    if (field.size() != 5 || !isdigit(int(field[4])))
        return false;
    bool digits = false;
    for (char32_t c : field) {
        if (c == U' ' && digits)
            return false;
        if (c != U' ' && !isdigit(int(c)))
            return false;
        digits = digits || c != U' ';
    }
    return true;
}

bool page_shown(const Tmux& tmux)
{
    auto rows = tmux.screen();
    return rows.size() >= 25 && at(rows, 0, 0, 14) == U" ORVA v1.0-32 " &&
           at(rows, 59, 17, 6) == U"[None]" && at(rows, 36, 2, 1) == U"%";
}

// orva in a tmux pane of its own.
class ConsoleDisplay : public testing::Test {
protected:
    void SetUp() override
    {
        if (!have_tmux())
            GTEST_SKIP() << "tmux is not installed";
        dir.write("orva.conf.xml", config(free_tcp_port()));
    }

    // Starts orva and waits until the page is up.
    void start_with_page()
    {
        tmux.start_orva(dir.path());
        ASSERT_TRUE(wait_until([&] { return page_shown(tmux); }, 10s)) << tmux.screen_text();
    }

    // Waits until orva has ended, which it must have done with status 0
    // and the page gone (with the alternate screen); the pane's text then.
    std::string ended_normally()
    {
        EXPECT_TRUE(tmux.shows("orva-exit-status=")) << tmux.screen_text();
        const std::string after = tmux.screen_text();
        EXPECT_NE(after.find("orva-exit-status=0"), std::string::npos) << after;
        EXPECT_EQ(after.find("ORVA v1.0-32"), std::string::npos) << after;
        return after;
    }

    TempDir dir;
    Tmux tmux;
};

}

TEST_F(ConsoleDisplay, PageInTmuxAndF3Ends)
{
    start_with_page();

    auto rows = tmux.screen();
    EXPECT_EQ(at(rows, 12, 1, 16), U" System Loading ");
    EXPECT_EQ(at(rows, 52, 1, 16), U" System Thruput ");
    EXPECT_EQ(at(rows, 0, 1, 2), U"\u2588\u2580");
    EXPECT_EQ(at(rows, 3, 2, 4), U"Idle");
    EXPECT_EQ(at(rows, 3, 3, 4), U"Krnl");
    EXPECT_EQ(at(rows, 3, 4, 4), U"User");
    // Loading percents: three right-aligned digits before each "%".
    for (size_t row = 2; row <= 4; ++row) {
        std::u32string percent = at(rows, 33, row, 3);
        ASSERT_EQ(percent.size(), 3u);
        EXPECT_TRUE(percent[2] >= U'0' && percent[2] <= U'9') << row;
    }
    EXPECT_EQ(at(rows, 43, 2, 4), U"Resp");
    EXPECT_EQ(at(rows, 70, 3, 7), U"   0 ks");
    EXPECT_EQ(at(rows, 70, 4, 7), U"   0 ks");
    EXPECT_EQ(at(rows, 0, 6, 20), U"  #  Address        ");
    // Every line is idle before the first call.
    EXPECT_EQ(at(rows, 1, 7, 8), U" 1\u2590 Idle");
    EXPECT_EQ(at(rows, 41, 7, 8), U" 2\u2590 Idle");
    EXPECT_EQ(at(rows, 41, 14, 8), U"16\u2590 Idle");
    EXPECT_EQ(at(rows, 2, 17, 29), U"Total # of connections:     0");
    EXPECT_EQ(at(rows, 2, 20, 23), U"Number of next session:");
    EXPECT_TRUE(is_number_field(at(rows, 26, 20, 5)));
    EXPECT_EQ(at(rows, 49, 17, 16), U"Last SAP: [None]");
    EXPECT_EQ(at(rows, 49, 18, 29), U"SAP servers on network:     0");
    // Date "07 Dec '26" and time "09:15:02" between the boxes.
    std::u32string date = at(rows, 35, 18, 10);
    ASSERT_EQ(date.size(), 10u);
    EXPECT_TRUE(isdigit(int(date[0])) && isdigit(int(date[1])) && date[2] == U' ' && isalpha(int(date[3])) &&
                date[6] == U' ' && date[7] == U'\'' && isdigit(int(date[9]))) << "date";
    std::u32string clock = at(rows, 36, 20, 8);
    ASSERT_EQ(clock.size(), 8u);
    EXPECT_TRUE(clock[2] == U':' && clock[5] == U':' && isdigit(int(clock[7]))) << "time";
    EXPECT_EQ(at(rows, 0, 23, 11), U" Overview \u2502");
    EXPECT_EQ(at(rows, 11, 23, 16), std::u32string(16, U'\u2191'));
    EXPECT_EQ(at(rows, 45, 23, 16), std::u32string(16, U'\u00b7'));
    EXPECT_EQ(at(rows, 1, 24, 7), U"F3=Exit");
    EXPECT_EQ(at(rows, 72, 24, 7), U"F1=Help");
    EXPECT_EQ(tmux.title(), "ORVA v1.0\n");

    // Ordinary output written while the page is up stays off the screen.
    EXPECT_EQ(tmux.screen_text().find("Running ..."), std::string::npos);

    // Shift+F3, Ctrl+F3 and Ctrl+C do not stop it: the clock keeps ticking.
    tmux.keys("S-F3 C-F3 C-c");
    std::u32string time = at(tmux.screen(), 36, 20, 8);
    ASSERT_TRUE(wait_until([&] { return at(tmux.screen(), 36, 20, 8) != time; }, 5s));
    EXPECT_TRUE(page_shown(tmux));

    tmux.keys("F3");
    const std::string after = ended_normally();
    EXPECT_EQ(after.find("Total # of connections"), std::string::npos) << after;
    // The terminal echoes and takes lines again: the waiting cat gets one.
    tmux.keys("restored-echo Enter");
    EXPECT_TRUE(wait_until([&] { return count_of(tmux.screen_text(), "restored-echo") == 2; }, 5s))
        << tmux.screen_text();

    std::string log = dir.read("orva.log");
    size_t init = log.find("DEBUG: Console init()");
    size_t running = log.find("DEBUG: Running ...");
    size_t shutdown = log.find("DEBUG: Console shutdown()");
    size_t network = log.find("DEBUG: Network shutdown()");
    ASSERT_NE(init, std::string::npos) << log;
    EXPECT_LT(init, running);
    EXPECT_LT(running, shutdown);
    EXPECT_LT(shutdown, network);
}

// Ctrl+S, Ctrl+Z and Ctrl+Q are keys for the page: the terminal's output
// is not stopped nor the adapter suspended, so the clock goes on, and F3
// still ends the run.
TEST_F(ConsoleDisplay, FlowControlAndSuspendKeysStopNothing)
{
    start_with_page();
    for (const char* key : {"C-s", "C-z", "C-q"}) {
        tmux.keys(key);
        std::u32string time = at(tmux.screen(), 36, 20, 8);
        EXPECT_TRUE(wait_until([&] { return at(tmux.screen(), 36, 20, 8) != time; }, 5s)) << key;
    }
    tmux.keys("C-s F3");
    ended_normally();
}

TEST_F(ConsoleDisplay, ControlSignalWhileShownRestoresTerminal)
{
    start_with_page();
    // Ctrl+\ is the terminal's break: the control handler ends the run.
    tmux.keys("'C-\\'");
    const std::string after = ended_normally();
    // Standard output is the terminal's again once the page is gone.
    EXPECT_NE(after.find("vvv ORVA Shutdown -- Normal Termination vvv"), std::string::npos) << after;
}

TEST_F(ConsoleDisplay, DebugModeKeepsOrdinaryOutput)
{
    tmux.start_orva(dir.path(), "-d");
    ASSERT_TRUE(tmux.shows("Running ...")) << tmux.screen_text();
    EXPECT_EQ(tmux.title(), "ORVA v1.0\n");
    std::string screen = tmux.screen_text();
    EXPECT_NE(screen.find("^^^ ORVA Startup -- KELB Internet Adapter v1.0 ^^^"), std::string::npos);
    EXPECT_EQ(screen.find("ORVA v1.0-32"), std::string::npos);
    // Ctrl+C reaches the control handler when there is no page.
    tmux.keys("C-c");
    screen = ended_normally();
    EXPECT_NE(screen.find("SIGHANDLER: Caught Shutdown signal"), std::string::npos) << screen;
}

TEST_F(ConsoleDisplay, WithoutTerminalRunsAsDebug)
{
    ChildProcess orva({ORVA_BINARY}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("Running ...")) << orva.out();
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0);
    std::string out = orva.out();
    EXPECT_EQ(count_of(out, "No usable terminal ("), 1u) << out;
    EXPECT_NE(out.find("running without the status display"), std::string::npos) << out;
    EXPECT_NE(out.find("vvv ORVA Shutdown -- Normal Termination vvv"), std::string::npos) << out;
    // No screen handling reached the pipe.
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
}
