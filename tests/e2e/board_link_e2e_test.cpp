// The board link against the simulator program through a tunnel relay on
// loopback: what a circuit looks like on the wire.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "stats/statistics_board.h"
#include "link/board_link.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "tests/support/child_process.h"
#include "tests/support/wait_until.h"

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

void quiet(const char*) {}

bool parse_address(const std::string& out, IpxAddress& a)
{
    const size_t at = out.find("IPX address: ");
    if (at == std::string::npos)
        return false;
    unsigned v[11];
    if (std::sscanf(out.c_str() + at + 13, "%2x%2x%2x%2x:%2x%2x%2x%2x%2x%2x:%4x", &v[0], &v[1], &v[2], &v[3],
                    &v[4], &v[5], &v[6], &v[7], &v[8], &v[9], &v[10]) != 11)
        return false;
    for (int i = 0; i < 4; ++i)
        a.network[i] = static_cast<uint8_t>(v[i]);
    for (int i = 0; i < 6; ++i)
        a.node[i] = static_cast<uint8_t>(v[4 + i]);
    a.socket = static_cast<uint16_t>(v[10]);
    return true;
}

class BoardLinkE2E : public testing::Test {
protected:
    void SetUp() override
    {
        stats_board.clear();
        relay.set_event_sink(quiet);
        ASSERT_EQ(relay.bind("127.0.0.1", 0), 0) << relay.last_error();
        ASSERT_EQ(relay.start(), 0);
        port = relay.address().port;
        IpxStackTiming timing;
        timing.register_interval_ms = 100;
        stack.set_timing(timing);
        stack.set_notice_sink(quiet);
        ASSERT_EQ(stack.start("127.0.0.1", port), 0) << stack.last_error();
        ASSERT_TRUE(support::wait_until([&] { return stack.registered(); }));
    }

    void TearDown() override
    {
        links.clear();
        stack.stop();
        relay.stop();
        if (sim) {
            sim->signal(SIGTERM);
            EXPECT_EQ(sim->wait_exit(), 0) << sim->out() << sim->err();
        }
    }

    void start_sim(std::vector<std::string> args)
    {
        args.insert(args.begin(), {BOARD_SIM_BINARY, "--relay", "127.0.0.1:" + std::to_string(port)});
        sim = std::make_unique<support::ChildProcess>(args);
        ASSERT_TRUE(sim->wait_for_out("IPX address: ")) << sim->out() << sim->err();
        ASSERT_TRUE(support::wait_until([&] { return sim->out().find('\n', sim->out().find("IPX address: ")) !=
                                                std::string::npos; }));
        ASSERT_TRUE(parse_address(sim->out(), board));
    }

    BoardLink& connect()
    {
        links.push_back(std::make_unique<BoardLink>(stack));
        BoardLink& link = *links.back();
        link.open(board);
        link.request_connection("KELB");
        return link;
    }

    // Everything the link has for its caller so far, accumulated.
    std::string caller(BoardLink& link)
    {
        MutexHold hold(link.to_caller_lock);
        ByteQueue* q = link.to_caller();
        received[&link].append(reinterpret_cast<const char*>(q->head()), q->size());
        q->clear();
        return received[&link];
    }

    bool caller_has(BoardLink& link, const std::string& text)
    {
        return support::wait_until([&] { return caller(link).find(text) != std::string::npos; });
    }

    void type(BoardLink& link, const std::string& s)
    {
        link.append_from_caller(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    }

    int port = 0;
    IpxRelay relay;
    IpxStack stack;
    std::unique_ptr<support::ChildProcess> sim;
    IpxAddress board;
    std::vector<std::unique_ptr<BoardLink>> links;
    std::map<BoardLink*, std::string> received;
};

}

TEST_F(BoardLinkE2E, AcceptOnALineDataBothWaysAnd1200BytesIn512_512_176)
{
    start_sim({"--echo"});
    CaptureStdout();
    BoardLink& link = connect();
    ASSERT_TRUE(caller_has(link, "Connected to KELB line 1\r\n"));
    EXPECT_EQ(link.line, 1);
    std::string typed;
    for (int i = 0; i < 1200; ++i)
        typed.push_back(static_cast<char>('A' + i % 50));
    type(link, typed);
    ASSERT_TRUE(caller_has(link, typed));
    link.close();
    const std::string trace = GetCapturedStdout();
    // Each Data leaves only after the Ack of the one before it.
    const size_t first = trace.find("KNET-SEND: Circuit: 1, Seq: 1, DATA, Size: 512\n");
    const size_t ack1 = trace.find("ACK for 1, control E000\n", first);
    const size_t second = trace.find("KNET-SEND: Circuit: 1, Seq: 2, DATA, Size: 512\n");
    const size_t ack2 = trace.find("ACK for 2, control E000\n", second);
    const size_t third = trace.find("KNET-SEND: Circuit: 1, Seq: 3, DATA, Size: 176\n");
    ASSERT_NE(first, std::string::npos) << trace;
    ASSERT_NE(third, std::string::npos) << trace;
    EXPECT_LT(first, ack1);
    EXPECT_LT(ack1, second);
    EXPECT_LT(second, ack2);
    EXPECT_LT(ack2, third);
    EXPECT_NE(sim->out().find("board: line 1 connected"), std::string::npos);
}

TEST_F(BoardLinkE2E, LineZeroWhenTheBoardIsFullIsBusyAndCounted)
{
    start_sim({"--lines", "1"});
    CaptureStdout();
    BoardLink& first = connect();
    ASSERT_TRUE(caller_has(first, "Connected to KELB line 1\r\n"));
    BoardLink& second = connect();
    ASSERT_TRUE(caller_has(second, "KELB is currently busy, please call back again later.\r\n"));
    EXPECT_TRUE(support::wait_until([&] { return !second.alive; }));
    EXPECT_TRUE(first.alive);
    GetCapturedStdout();
    EXPECT_EQ(stats_board.figures().calls_lost_busy, 1);
}

TEST_F(BoardLinkE2E, BoardHangupIsTracedAndTakesTheLinkDown)
{
    start_sim({"--hangup", "200"});
    CaptureStdout();
    BoardLink& link = connect();
    ASSERT_TRUE(caller_has(link, "Connected to KELB line 1\r\n"));
    EXPECT_TRUE(support::wait_until([&] { return !link.alive; }));
    EXPECT_EQ(link.circuit, NoCircuit);
    const std::string trace = GetCapturedStdout();
    EXPECT_NE(trace.find("KNET: Disconnected Line 1\n"), std::string::npos);
    EXPECT_NE(caller(link).find("Time is up."), std::string::npos);
}

TEST_F(BoardLinkE2E, ClearedReadyBitHoldsDataUntilItReturns)
{
    start_sim({"--echo", "--not-ready", "400"});
    CaptureStdout();
    BoardLink& link = connect();
    ASSERT_TRUE(caller_has(link, "Connected to KELB line 1\r\n"));
    ASSERT_TRUE(support::wait_until([&] { return !link.peer_ready; }));
    type(link, "held back");
    EXPECT_FALSE(support::wait_until([&] { return link.from_caller_size() == 0; }, std::chrono::milliseconds(100)));
    ASSERT_TRUE(caller_has(link, "held back"));
    EXPECT_TRUE(link.peer_ready);
    const std::string trace = GetCapturedStdout();
    EXPECT_NE(trace.find("Circuit Control 60, ACK: 01\n"), std::string::npos) << trace;
}

// Every board packet reaches the caller, repeats too, unless DropRepeats.
TEST_F(BoardLinkE2E, DuplicatedDataIsPassedOnTwiceOrWithDropRepeatsOnce)
{
    start_sim({"--echo", "--duplicate", "1"});
    CaptureStdout();
    for (bool drop : {false, true}) {
        BoardSettings settings;
        settings.drop_repeats = drop;
        links.push_back(std::make_unique<BoardLink>(stack));
        BoardLink& link = *links.back();
        link.use_settings(settings);
        link.open(board);
        link.request_connection("KELB");
        ASSERT_TRUE(support::wait_until([&] { return link.line != 0; }));
        type(link, "dup!");
        ASSERT_TRUE(caller_has(link, "dup!"));
        type(link, "end");
        ASSERT_TRUE(caller_has(link, drop ? "dup!end" : "dup!dup!endend")) << caller(link);
        EXPECT_TRUE(support::wait_until([&] { return !link.awaiting_ack; }));
        EXPECT_EQ(caller(link), "Connected to KELB line " + std::to_string(link.line) + "\r\n" +
                                    (drop ? "dup!end" : "dup!dup!endend"));
    }
    GetCapturedStdout();
}

TEST_F(BoardLinkE2E, CloseDuringTrafficReturnsWithEmptyQueues)
{
    start_sim({"--bulk", "200000"});
    CaptureStdout();
    BoardLink& link = connect();
    ASSERT_TRUE(caller_has(link, "Connected to KELB line 1\r\n"));
    type(link, std::string(5000, 'x'));
    link.close();
    GetCapturedStdout();
    EXPECT_FALSE(link.alive);
    EXPECT_FALSE(link.has_endpoint());
    EXPECT_EQ(link.from_caller_size(), 0);
    MutexHold hold(link.to_caller_lock);
    EXPECT_EQ(link.to_caller()->size(), 0);
}

TEST(BoardSimProgram, HelpAndBadOptions)
{
    support::ChildProcess help({BOARD_SIM_BINARY, "--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    EXPECT_NE(help.out().find("--duplicate N"), std::string::npos);
    support::ChildProcess bad({BOARD_SIM_BINARY, "--lines", "none"});
    EXPECT_EQ(bad.wait_exit(), 2);
    EXPECT_NE(bad.err().find("--lines"), std::string::npos);
}
