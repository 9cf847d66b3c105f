// The gate before a board line, as callers of the real orva meet it on
// loopback: a Telnet caller that presses ESC twice reaches the board with
// nothing it typed before; a script or a silent caller is told goodbye,
// takes no line and no number, and is logged as refused; an OpenSSH caller
// passes the same way.
#include <gtest/gtest.h>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"
#include "tests/support/tmux_pane.h"

using namespace support;

namespace {

const std::string QUESTION = "Press ESC twice to call KELB.\r\n";
const std::string NO_ANSWER = "No answer, goodbye.\r\n";
const std::string GATE_REFUSAL = "Refused 127.0.0.1: did not pass the gate\n";

class CallerGateTest : public AdapterTest {
protected:
    void use_gate(int seconds)
    {
        access = "<Access MaxPerAddress=\"0\" RatePerMinute=\"0\" Gate=\"1\" GateSeconds=\"" +
                 std::to_string(seconds) + "\"/>";
        extra_config = "  <Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" + std::to_string(http_port) + "\"/>\n"
                       "  <Server Type=\"SSH\" IP=\"127.0.0.1\" Port=\"" + std::to_string(ssh_port) +
                       "\" HostKey=\"host_key\"/>\n";
    }
    size_t lines_taken()
    {
        return count_of(http_get(http_port, "/status.json").body, "\"state\": \"connected\"");
    }

    int http_port = free_tcp_port();
    int ssh_port = free_tcp_port();
};

TEST_F(CallerGateTest, OnlyACallerThatPressesEscTwiceTakesTheBoardLine)
{
    use_gate(20);
    start_orva();
    start_board({"--echo", "--lines", "1"});

    // A login script: past 256 other bytes it is told goodbye and closed.
    {
        LoopbackCaller bot(telnet_port);
        EXPECT_EQ(read(bot, OPTIONS.size() + GREETING.size() + QUESTION.size()), OPTIONS + GREETING + QUESTION);
        bot.send(std::string(257, 'x'));
        bool closed = false;
        EXPECT_EQ(read_until_closed(bot, closed), NO_ANSWER);
        EXPECT_TRUE(closed);
    }
    EXPECT_TRUE(orva_says(GATE_REFUSAL)) << why();

    // One that waits holds no line: the board's only line goes to a caller
    // that answers, and what it typed before its ESCs never reaches the board.
    LoopbackCaller waiting(telnet_port);
    EXPECT_EQ(read(waiting, OPTIONS.size() + GREETING.size() + QUESTION.size()), OPTIONS + GREETING + QUESTION);
    LoopbackCaller caller(telnet_port);
    EXPECT_EQ(read(caller, OPTIONS.size() + GREETING.size() + QUESTION.size()), OPTIONS + GREETING + QUESTION);
    EXPECT_EQ(lines_taken(), 0u);
    caller.send("login: root\n\x1b");
    caller.send("\x1b");
    EXPECT_EQ(read(caller, connected_text(1).size()), connected_text(1)) << why();
    caller.send("after");
    EXPECT_EQ(read(caller, 5), "after") << "the echo board got only what came after the gate";
    // The page is redrawn on its own time: the line shows once it has been.
    EXPECT_TRUE(wait_until([&] { return lines_taken() == 1u; })) << why();
    // The script and the waiting caller took no session number.
    EXPECT_TRUE(orva_says("[1] Connection: 127.0.0.1\n")) << why();
    EXPECT_EQ(orva->out().find("[2] Connection"), std::string::npos) << why();

    // The waiting caller, hanging up, is refused too; the line stays taken.
    waiting.hang_up();
    EXPECT_TRUE(wait_until([&] { return count_of(orva->out(), GATE_REFUSAL) == 2; })) << why();
    EXPECT_EQ(lines_taken(), 1u);
}

TEST_F(CallerGateTest, CallerThatSendsNothingIsToldGoodbyeWhenItsTimeIsOver)
{
    use_gate(1);
    start_orva();
    start_board({"--lines", "1"});
    // Taken before connecting: ORVA may start its clock before connect() returns here.
    const auto asked = std::chrono::steady_clock::now();
    LoopbackCaller caller(telnet_port);
    EXPECT_EQ(read(caller, OPTIONS.size() + GREETING.size() + QUESTION.size()), OPTIONS + GREETING + QUESTION);
    bool closed = false;
    EXPECT_EQ(read_until_closed(caller, closed), NO_ANSWER);
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, 1s - 5ms);
    EXPECT_TRUE(orva_says(GATE_REFUSAL)) << why();
    EXPECT_EQ(lines_taken(), 0u);
    EXPECT_NE(http_get(http_port, "/metrics").body.find("\norva_callers_refused_total 1\n"), std::string::npos);
}

TEST_F(CallerGateTest, OpenSshCallerPassesTheSameGate)
{
    if (!have_tmux())
        GTEST_FAIL() << "tmux is needed (scripts/install-deps.sh test)";
    use_gate(20);
    start_orva();
    start_board({"--lines", "1"});
    Tmux tmux{"orva-ssh-gate"};
    tmux.start(openssh_pane_command(ssh_port, dir.file("known_hosts")));
    ASSERT_TRUE(tmux.shows("Press ESC twice to call KELB.", 20s)) << tmux.screen_text() << why();
    EXPECT_EQ(lines_taken(), 0u);
    tmux.keys("Escape");
    tmux.keys("Escape");
    ASSERT_TRUE(tmux.shows("[E]cho  [T]ime  [W]ho  [G]oodbye", 20s)) << tmux.screen_text() << why();
    EXPECT_TRUE(wait_until([&] { return lines_taken() == 1u; })) << why();
    tmux.keys("G");
    EXPECT_TRUE(tmux.shows("ssh-exit-status=")) << tmux.screen_text();
}

}
