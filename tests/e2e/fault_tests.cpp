// Faults on the IPX side of whole calls: a board host that loses, repeats
// or refuses packets or holds its ready bit clear, one that dies mid-call,
// and a tunnel relay restarted mid-call. Every test checks the bytes the
// caller and the board exchange, and that orva's threads, descriptors and
// memory come back afterwards.
#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/adapter_test.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/board_double.h"

namespace {

using namespace support;

// Recovery is off by default on both sides; a lossy tunnel needs it on.
const std::string ORVA_RECOVERY = "  <Board Resend=\"500\" DropRepeats=\"1\"/>\n";
const std::vector<std::string> BOARD_RECOVERY{"--resend", "250", "--drop-repeats"};

struct Fault {
    const char* name;
    std::vector<std::string> options;
};

void PrintTo(const Fault& fault, std::ostream* out)
{
    *out << fault.name;
}

class LossyBoard : public AdapterTest, public testing::WithParamInterface<Fault> {};

// The board's bulk output reaches the caller and the caller's patterned
// stream comes back from the echoing board: complete, once, in order.
TEST_P(LossyBoard, DataBothWaysArrivesCompleteOnceInOrder)
{
    const size_t bulk = 48 * 1024 / LOAD_SCALE;
    const size_t typed = 24 * 1024 / LOAD_SCALE;
    extra_config = ORVA_RECOVERY;
    start_orva(true);
    std::vector<std::string> options{"--echo", "--bulk", std::to_string(bulk)};
    options.insert(options.end(), BOARD_RECOVERY.begin(), BOARD_RECOVERY.end());
    options.insert(options.end(), GetParam().options.begin(), GetParam().options.end());
    start_board(options);
    take_baseline();
    {
        LoopbackCaller caller(telnet_port);
        ASSERT_EQ(call_in(caller), 1);
        // Typed at once, while the board's output still flows (and, with the
        // ready bit clear, before the board takes anything).
        const std::string stream = caller_pattern(typed);
        caller.send(stream);
        EXPECT_EQ(read(caller, bulk, 40s), bulk_pattern(bulk));
        EXPECT_EQ(read(caller, typed, 40s), stream);
        // Nothing repeated trails the stream: the next byte is the marker.
        caller.send("~");
        EXPECT_EQ(read(caller, 1), "~");
    }
    EXPECT_TRUE(orva_says("KNET: Disconnected Line 1"));
    EXPECT_TRUE(back_to_baseline());
    EXPECT_EQ(stop_orva(), 0);
}

INSTANTIATE_TEST_SUITE_P(Faults, LossyBoard,
                         testing::Values(Fault{"Drop", {"--drop", "5"}}, Fault{"Duplicate", {"--duplicate", "3"}},
                                         Fault{"Nack", {"--nack", "4"}},
                                         Fault{"NotReady", {"--not-ready", "1500"}},
                                         Fault{"Everything", {"--drop", "7", "--duplicate", "5", "--nack", "6"}}),
                         [](const testing::TestParamInfo<Fault>& info) { return std::string(info.param.name); });

using Faults = AdapterTest;

// A board that dies leaves its callers told within the silence bound. The
// host heard first is called while it is listed, so until its record ages
// out the next caller is sent to it too, and told the same way, even with
// another host of the name on the network.
TEST_F(Faults, BoardKilledMidCallEndsTheCallWithinTheSilenceBound)
{
    extra_config = "  <Board Silence=\"3\"/>\n";
    start_orva(true);
    start_board({"--echo"});
    take_baseline();
    {
        LoopbackCaller caller(telnet_port);
        ASSERT_EQ(call_in(caller), 1);
        caller.send("before");
        ASSERT_EQ(read(caller, 6), "before");
        kill_board();
        auto killed = std::chrono::steady_clock::now();
        caller.send("after"); // goes nowhere: the board is gone
        bool closed = false;
        std::string rest = read_until_closed(caller, closed, 20s);
        auto took = std::chrono::steady_clock::now() - killed;
        EXPECT_TRUE(closed);
        EXPECT_EQ(rest, DOWN_TEXT);
        EXPECT_GE(took, 2500ms);
        EXPECT_LE(took, 10s);
        std::printf("caller told %lld ms after the board died\n",
                    (long long)std::chrono::duration_cast<std::chrono::milliseconds>(took).count());
        EXPECT_TRUE(orva_says("KNET: Board host not answering, Line 1 ended"));
    }
    ASSERT_TRUE(orva->running());
    start_board({"--echo"});
    {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        std::string all = read_until_closed(caller, closed, 20s);
        EXPECT_TRUE(closed);
        EXPECT_EQ(all, OPTIONS + GREETING + DOWN_TEXT);
    }
    EXPECT_EQ(count_of(orva->out(), "KNET: Board host not answering"), 2u);
    EXPECT_TRUE(back_to_baseline());
    EXPECT_EQ(stop_orva(), 0);
}

// Both stacks re-join a relay restarted on the same port at the same
// addresses (they follow from their UDP ports), well inside the link's
// silence bound: with recovery on, the call goes on and what was sent
// meanwhile arrives.
TEST_F(Faults, RelayRestartedMidCallTheCallGoesOnWithNothingLost)
{
    start_relay();
    extra_config = ORVA_RECOVERY;
    start_orva(false);
    std::vector<std::string> options{"--echo"};
    options.insert(options.end(), BOARD_RECOVERY.begin(), BOARD_RECOVERY.end());
    start_board(options);
    take_baseline();
    {
        LoopbackCaller caller(telnet_port);
        ASSERT_EQ(call_in(caller), 1);
        const std::string first = caller_pattern(3000, 1);
        caller.send(first);
        ASSERT_EQ(read(caller, first.size()), first);

        kill_relay();
        const std::string during = caller_pattern(5000, 2);
        caller.send(during);
        start_relay();
        ASSERT_TRUE(wait_until([&] { return count_of(relay->out(), " joined from ") >= 2; }, 30s))
            << relay->out();
        EXPECT_EQ(read(caller, during.size(), 30s), during);
        const std::string after = caller_pattern(2000, 3);
        caller.send(after + "~");
        EXPECT_EQ(read(caller, after.size() + 1), after + "~");
    }
    EXPECT_TRUE(orva_says("KNET: Disconnected Line 1"));
    EXPECT_EQ(count_of(orva->out(), "not answering"), 0u);
    EXPECT_TRUE(back_to_baseline());
    EXPECT_EQ(stop_orva(), 0);
}

}

namespace {

// A board host that does only what the protocol fixes, through a relay the
// test restarts: orva with its default settings.
class TunnelOutage : public AdapterTest {
protected:
    void SetUp() override
    {
        start_relay();
        start_orva(false);
        ASSERT_TRUE(board.start(ipx_port));
        ASSERT_TRUE(orva_says("SAP: Added Server to List", 0, 15s));
    }

    // Kills the relay, runs during, starts it again and waits until orva
    // and the board have both joined it again.
    void outage(const std::function<void()>& during)
    {
        kill_relay();
        during();
        start_relay();
        ASSERT_TRUE(wait_until([&] { return count_of(relay->out(), " joined from ") >= 2; }, 40s)) << relay->out();
    }

    std::string board_received()
    {
        std::string got;
        board.with([&](StrictBoard& b) { got = b.received; });
        return got;
    }

    BoardDouble board;
};

// What the caller typed while the tunnel was down was lost with it; once
// the board answers again the packet goes again, and the call goes on.
TEST_F(TunnelOutage, WhatTheCallerTypedWhileTheTunnelWasDownReachesTheBoardAfterwards)
{
    LoopbackCaller caller(telnet_port);
    ASSERT_EQ(call_in(caller), 1);
    caller.send("before");
    ASSERT_TRUE(wait_until([&] { return board_received() == "before"; }));
    // The board's answer has come back, so its Ack has too.
    board.with([](StrictBoard& b) { b.send_output("ok"); });
    ASSERT_EQ(read(caller, 2), "ok");
    // The caller can read it before its Ack has left orva; an Ack lost with
    // the tunnel would leave this board, which never resends, silent.
    ASSERT_TRUE(wait_until([&] {
        bool waiting = true;
        board.with([&](StrictBoard& b) { waiting = b.output_waiting(); });
        return !waiting;
    }));

    outage([&] {
        caller.send("during");
        ASSERT_TRUE(orva_says("KNET-SEND: Circuit: 1, Seq: 2, DATA, Size: 6"));
    });
    EXPECT_TRUE(wait_until([&] { return board_received() == "beforeduring"; }, 30s)) << board_received();
    EXPECT_TRUE(orva_says("KNET-SEND: Circuit: 1, Seq: 2, DATA, Size: 6, sent again"));
    caller.send("after");
    EXPECT_TRUE(wait_until([&] { return board_received() == "beforeduringafter"; }));
    board.with([](StrictBoard& b) { b.send_output("still here"); });
    EXPECT_EQ(read(caller, 10), "still here");
    EXPECT_EQ(count_of(orva->out(), "not answering"), 0u);
}

// A caller who hangs up while the tunnel is down: the requests to end the
// circuit go on until one gets through, and the board's line is free for
// the next caller.
TEST_F(TunnelOutage, ACallEndedWhileTheTunnelWasDownGivesTheBoardsLineBack)
{
    {
        LoopbackCaller caller(telnet_port);
        ASSERT_EQ(call_in(caller), 1);
        outage([&] {
            caller.hang_up();
            ASSERT_TRUE(orva->wait_for_out("[1] Disconnected."));
        });
    }
    EXPECT_TRUE(wait_until([&] {
        bool taken = true;
        board.with([&](StrictBoard& b) { taken = b.line_taken; });
        return !taken;
    }, 30s));
    LoopbackCaller next(telnet_port);
    EXPECT_EQ(call_in(next), 1);
}

}
