// The whole adapter: the real orva hosting its IPX network, the board host
// simulator joined to it, and callers on loopback.
#include <algorithm>
#include <csignal>
#include <unistd.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/adapter_test.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/cp437_glyphs.h"

namespace {

using namespace support;

using Adapter = AdapterTest;

TEST_F(Adapter, NoBoardHostGreetsRefusesAndCloses)
{
    start_orva();
    LoopbackCaller caller(telnet_port);
    bool closed = false;
    std::string got = caller.receive_until_closed(closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, OPTIONS + GREETING + "\r\nKELB is currently down.  Please try back later.\r\n");
    EXPECT_TRUE(orva->wait_for_out("[1] Disconnected."));
    EXPECT_EQ(stop_orva(), 0);
}

TEST_F(Adapter, CallerReachesTheBoardAndDataFlowsBothWays)
{
    start_orva();
    start_board({"--echo"});
    LoopbackCaller caller(telnet_port);
    ASSERT_EQ(call_in(caller), 1);

    // A caller's IAC IAC is one 255 for the board; the board's 255 comes
    // back doubled. Commands the caller sends reach nothing.
    caller.send(std::string("hi\xFF\xFD\x01there\xFF\xFF!", 13));
    std::string echo("hithere\xFF\xFF!", 10);
    EXPECT_EQ(caller.receive(echo.size()), echo);
    EXPECT_TRUE(orva->wait_for_out("KNET-SEND: Circuit: 1, Seq: 1, DATA, Size: 9"));

    caller.hang_up();
    EXPECT_TRUE(orva->wait_for_out("[1] Disconnected."));
    EXPECT_TRUE(orva->wait_for_out("KNET: Disconnected Line 1")) << orva->out();
    EXPECT_EQ(stop_orva(), 0);
}

// A second Telnet port for UTF-8 terminals: what callers type there reaches
// the board as code page 437, every board byte comes back as its glyph's
// UTF-8 and controls unchanged, while a caller on the first port exchanges
// the board's bytes as they are.
TEST_F(Adapter, Utf8PortTranslatesBothWaysAndTheFirstPortStaysCp437)
{
    const int utf8_port = free_tcp_port();
    extra_config = "<Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(utf8_port) +
                   "\" Charset=\"UTF-8\"/>";
    start_orva();
    start_board({"--echo"});

    LoopbackCaller utf8(utf8_port);
    ASSERT_EQ(call_in(utf8), 1);
    // Eight bytes typed, five reach the board: 0x82 ' ' 0x81 ' ' 0xB0.
    utf8.send("é ü ░");
    EXPECT_EQ(read(utf8, std::string("é ü ░").size()), "é ü ░");
    EXPECT_TRUE(orva->wait_for_out(", DATA, Size: 5\n")) << orva->out();
    // Every byte value: the controls and then 0x20 to 0xFF, one board byte
    // per glyph typed; the board's echo of them arrives as typed.
    const std::string typed = byte_run(0x00, 0x1F) + CP437_GLYPHS;
    utf8.send(typed);
    EXPECT_EQ(read(utf8, typed.size()), typed);
    EXPECT_TRUE(orva->wait_for_out(", DATA, Size: 256\n")) << orva->out();

    // On the first port the same bytes pass as they are, 0xFF doubled.
    LoopbackCaller cp437(telnet_port);
    ASSERT_EQ(call_in(cp437), 2);
    const std::string board_bytes = byte_run(0x00, 0xFF) + "\xFF";
    cp437.send(board_bytes);
    EXPECT_EQ(read(cp437, board_bytes.size()), board_bytes);
    EXPECT_EQ(stop_orva(), 0);
}

// A Telnet Synch (IAC, then the Data Mark as urgent data) is dropped as a
// command and the keystroke after it reaches the board.
TEST_F(Adapter, SynchLosesNoKeystroke)
{
    start_orva();
    start_board({"--echo"});
    LoopbackCaller caller(telnet_port);
    ASSERT_EQ(call_in(caller), 1);
    caller.send("\xFF");
    caller.send_urgent("\xF2");
    caller.send("x");
    EXPECT_EQ(caller.receive(1), "x");
    EXPECT_EQ(stop_orva(), 0);
}

// A server name with a line feed and an escape sequence reaches the log and
// standard output escaped: it forges no entry and leaves the terminal alone.
TEST_F(Adapter, ServerNameWithControlBytesIsLoggedEscaped)
{
    start_orva();
    start_board({"--name", "EVIL\nDec 07 00:00:00 forged\x1b[2J"});
    const std::string escaped = "SAP: Server: EVIL\\x0ADec 07 00:00:00 forged\\x1B[2J\n";
    EXPECT_TRUE(orva->wait_for_out(escaped)) << orva->out();
    EXPECT_EQ(stop_orva(), 0);
    for (const std::string& text : {dir.read("orva.log"), orva->out()}) {
        EXPECT_NE(text.find(escaped), std::string::npos) << text;
        EXPECT_EQ(text.find("\nDec 07 00:00:00 forged"), std::string::npos) << text;
        EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    }
}

TEST_F(Adapter, AllLinesTakenGivesTheBusyText)
{
    start_orva();
    start_board({"--busy"});
    for (int n = 1; n <= 2; ++n) {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        std::string got = caller.receive_until_closed(closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(got, OPTIONS + GREETING + "KELB is currently busy, please call back again later.\r\n");
    }
    EXPECT_EQ(count_of(orva->out(), "Connection Accepted on 0"), 2u);
    EXPECT_EQ(stop_orva(), 0);
}

// The caller is gone at once for the dispatcher; the link goes on asking
// the silent board to end the circuit, at growing intervals, while other
// callers are served.
TEST_F(Adapter, CallerHangsUpOnASilentBoardTheRequestsToEndGoOnWhileOthersAreServed)
{
    extra_config = "  <Board Silence=\"3\"/>\n";
    start_orva();
    start_board({"--silent"});
    {
        LoopbackCaller caller(telnet_port);
        EXPECT_EQ(caller.receive(OPTIONS.size() + GREETING.size()), OPTIONS + GREETING);
        caller.hang_up();
    }
    ASSERT_TRUE(orva->wait_for_out("[1] Disconnected."));
    LoopbackCaller next(telnet_port);
    EXPECT_EQ(next.receive(OPTIONS.size() + GREETING.size()), OPTIONS + GREETING);
    // 1 ms, then doubling: a dozen within the three seconds of Silence.
    EXPECT_TRUE(wait_until([&] { return count_of(orva->out(), "Circuit Control 00, ACK: 00") >= 10; }, 10s))
        << orva->out();
    next.hang_up();
    ASSERT_TRUE(orva->wait_for_out("[2] Disconnected."));
    EXPECT_EQ(stop_orva(), 0);
}

// With one call allowed per address, a caller may call again the moment a
// call ends, whoever ended it.
TEST_F(Adapter, ARedialAsSoonAsACallEndsIsAnsweredWhoeverEndedIt)
{
    access = "<Access MaxPerAddress=\"1\" RatePerMinute=\"0\"/>";
    start_orva();
    for (int round = 0; round < 3; ++round) {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        EXPECT_EQ(caller.receive_until_closed(closed), OPTIONS + GREETING + DOWN_TEXT) << "no board, round " << round;
    }
    start_board({"--hangup", "200"});
    for (int round = 0; round < 3; ++round) {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        const std::string got = caller.receive_until_closed(closed);
        EXPECT_TRUE(closed);
        EXPECT_EQ(got.rfind(OPTIONS + GREETING + connected_text(1), 0), 0u) << "board hung up, round " << round
                                                                             << ": " << got;
    }
    EXPECT_EQ(count_of(orva->out(), "Refused"), 0u);
    EXPECT_EQ(stop_orva(), 0);
}

TEST_F(Adapter, BoardEndsTheCallAfterItsLastBytes)
{
    start_orva();
    start_board({"--bulk", "3000", "--hangup", "300"});
    LoopbackCaller caller(telnet_port);
    bool closed = false;
    std::string got = caller.receive_until_closed(closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got.rfind(OPTIONS + GREETING + "Connected to KELB line 1\r\n", 0), 0u);
    EXPECT_GE(got.size(), OPTIONS.size() + GREETING.size() + 26 + 3000);
    EXPECT_TRUE(orva->wait_for_out("KNET: Disconnected Line 1"));
    EXPECT_EQ(stop_orva(), 0);
}

TEST_F(Adapter, CountersFileCountsEveryCaller)
{
    dir.write("orva.dat", std::string("\x29\x00", 2)); // 41
    start_orva();
    for (int n = 1; n <= 2; ++n) {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        caller.receive_until_closed(closed);
        EXPECT_TRUE(closed);
        EXPECT_TRUE(orva->wait_for_out("[" + std::to_string(n) + "] Connection: 127.0.0.1"));
    }
    EXPECT_EQ(stop_orva(), 0);
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x2B\x00", 2)); // 43
}

TEST_F(Adapter, SixteenCallersOnSixteenLinesKeepTheirOwnData)
{
    start_orva();
    start_board({"--echo", "--lines", "16"});
    std::vector<std::unique_ptr<LoopbackCaller>> callers;
    std::vector<int> lines;
    for (int n = 0; n < 16; ++n) {
        callers.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        std::string head = callers.back()->receive(OPTIONS.size() + GREETING.size() + 26);
        if (head.back() != '\n') // two-digit line numbers
            head += callers.back()->receive(1);
        size_t at = head.find("Connected to KELB line ");
        ASSERT_NE(at, std::string::npos) << n << ": " << head;
        lines.push_back(std::stoi(head.substr(at + 23)));
    }
    // Every line once.
    std::vector<int> sorted = lines;
    std::sort(sorted.begin(), sorted.end());
    for (int n = 0; n < 16; ++n)
        EXPECT_EQ(sorted[size_t(n)], n + 1);
    for (int round = 0; round < 3; ++round)
        for (int n = 0; n < 16; ++n)
            callers[size_t(n)]->send("caller " + std::to_string(n) + " round " + std::to_string(round) + ";");
    for (int n = 0; n < 16; ++n) {
        std::string want;
        for (int round = 0; round < 3; ++round)
            want += "caller " + std::to_string(n) + " round " + std::to_string(round) + ";";
        std::string got = callers[size_t(n)]->receive(want.size());
        EXPECT_EQ(got, want) << "caller " << n;
    }
    callers.clear();
    EXPECT_EQ(stop_orva(), 0);
}

TEST_F(Adapter, RealTelnetClientSeesTheBoard)
{
    if (::access("/usr/bin/telnet", X_OK) != 0)
        GTEST_SKIP() << "no telnet client";
    start_orva();
    start_board();
    ChildProcess telnet({"/usr/bin/telnet", "127.0.0.1", std::to_string(telnet_port)}, dir.path());
    EXPECT_TRUE(telnet.wait_for_out("Connected to KELB line 1")) << telnet.out() << telnet.err();
    EXPECT_TRUE(telnet.wait_for_out("line 1")) << telnet.out();
    telnet.write_in("T");
    telnet.write_in("G");
    EXPECT_TRUE(orva->wait_for_out("KNET: Disconnected Line 1")) << orva->out();
    // The client ends when the adapter closes the connection.
    EXPECT_NE(telnet.wait_exit(), -1) << telnet.out() << telnet.err();
    EXPECT_NE((telnet.out() + telnet.err()).find("Connection closed"), std::string::npos)
        << telnet.out() << telnet.err();
    EXPECT_EQ(stop_orva(), 0);
}

}
