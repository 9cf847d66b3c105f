// The circuit on its own, no thread and no socket, against a board host that
// does only what the protocol fixes.
#include <gtest/gtest.h>

#include <string>

#include "link/knet_circuit.h"
#include "tests/link/strict_board.h"

using knet_bytes::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class CircuitTest : public testing::Test {
protected:
    void SetUp() override { CaptureStdout(); }
    void TearDown() override { trace = GetCapturedStdout(); }

    void start(const BoardSettings& settings = BoardSettings())
    {
        circuit = KnetCircuit(settings);
        circuit.tick(now, 0);
        circuit.request_connection("KELB");
        exchange();
        circuit.caller_bytes().clear();
    }

    // Carries packets both ways until neither side has more.
    void exchange()
    {
        for (int round = 0; round < 100; ++round) {
            for (const Bytes& p : knet_bytes::split(circuit.packets()))
                board.receive(p);
            circuit.packets().clear();
            if (board.outbox.empty())
                return;
            std::vector<Bytes> in;
            in.swap(board.outbox);
            for (const Bytes& d : in)
                from_board(d);
        }
    }

    void from_board(const Bytes& d)
    {
        circuit.handle_datagram(d.data(), static_cast<int>(d.size()), now, 0);
    }

    // The caller types: what the circuit takes leaves at once.
    void type(const std::string& s) { typed += s; send_typed(); }
    void send_typed()
    {
        const int k = circuit.take_caller_bytes(reinterpret_cast<const uint8_t*>(typed.data()),
                                                static_cast<int>(typed.size()));
        typed.erase(0, k);
        exchange();
    }

    // Time passes in 10 ms steps, the circuit's timers and sending running.
    void wait_ms(int ms)
    {
        for (int t = 0; t < ms; t += 10) {
            now += 10;
            circuit.tick(now, 0);
            send_typed();
        }
    }

    std::string caller()
    {
        std::string s(circuit.caller_bytes().begin(), circuit.caller_bytes().end());
        circuit.caller_bytes().clear();
        return s;
    }

    KnetCircuit circuit;
    StrictBoard board;
    uint64_t now = 1000;
    std::string typed;
    std::string trace;
};

BoardSettings resend(int ms)
{
    BoardSettings s;
    s.resend_ms = ms;
    return s;
}

}

TEST_F(CircuitTest, LateAckMeansOneDataAndTheNextBytesWaitForIt)
{
    start();
    board.hold_acks = true;
    type("a");
    type("b");
    wait_ms(1500);
    EXPECT_EQ(board.data_packets, 1);
    EXPECT_EQ(board.received, "a");
    board.hold_acks = false;
    board.release_acks();
    exchange();
    send_typed();
    EXPECT_EQ(board.data_packets, 2);
    EXPECT_EQ(board.received, "ab");
    EXPECT_FALSE(circuit.awaiting_ack);
}

TEST_F(CircuitTest, ReadyBitClearedWhileOutstandingHoldsEverythingUntilItReturns)
{
    for (int resend_ms : {0, 300}) {
        board = StrictBoard();
        start(resend(resend_ms));
        board.hold_acks = true;
        type("x");
        board.ready = false;
        from_board(board.control(ControlActive | ControlUp));
        exchange();
        // The Ack comes, still not ready; then a lost Ack is no excuse to send.
        board.release_acks();
        exchange();
        type("y");
        wait_ms(3000);
        EXPECT_EQ(board.data_packets, 1) << resend_ms;
        board.ready = true;
        board.hold_acks = false;
        from_board(board.control(ControlReady | ControlActive | ControlUp));
        wait_ms(50);
        EXPECT_EQ(board.data_packets, 2) << resend_ms;
        EXPECT_EQ(board.received, "xy") << resend_ms;
    }
}

TEST_F(CircuitTest, RepeatedBoardDataIsPassedOnAndAcknowledgedEachTimeUnlessAskedOtherwise)
{
    for (bool drop : {false, true}) {
        BoardSettings s;
        s.drop_repeats = drop;
        start(s);
        from_board(board.data_with_sequence(7, "AAA"));
        from_board(board.data_with_sequence(7, "AAA"));
        from_board(board.data_with_sequence(7, "BBB"));
        EXPECT_EQ(caller(), drop ? "AAABBB" : "AAAAAABBB");
        const auto acks = knet_bytes::split(circuit.packets());
        circuit.packets().clear();
        ASSERT_EQ(acks.size(), 3u);
        for (const Bytes& a : acks) {
            EXPECT_EQ(knet_read_header(a.data()).type, knet::Ack);
            EXPECT_EQ(knet_bytes::field16(a, 8), 7);
        }
    }
}

TEST_F(CircuitTest, CountersAndTheAckComparisonWrapAt16Bits)
{
    start();
    circuit.circuit0_sequence = 65535;
    circuit.control_sequence = 65535;
    circuit.data_sequence = 65535;
    circuit.request_connection("KELB");
    circuit.send_control(ControlReady | ControlActive | ControlUp, 0);
    circuit.send_control(ControlReady | ControlActive | ControlUp, 0);
    auto out = knet_bytes::split(circuit.packets());
    circuit.packets().clear();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(knet_bytes::field16(out[0], 2), 65535);
    EXPECT_EQ(circuit.circuit0_sequence, 0);
    EXPECT_EQ(knet_bytes::field16(out[2], 2), 0);
    EXPECT_EQ(circuit.control_sequence, 1);

    board.hold_acks = true;
    type("last");
    EXPECT_EQ(circuit.pending_sequence, 65535);
    EXPECT_EQ(circuit.data_sequence, 0);
    // An Ack for 0 is below 65535 as an unsigned number: not this packet's.
    from_board(knet_bytes::ack(5, 100, 0));
    EXPECT_TRUE(circuit.awaiting_ack);
    from_board(knet_bytes::ack(5, 101, 65535));
    EXPECT_FALSE(circuit.awaiting_ack);
    type("first");
    EXPECT_EQ(circuit.pending_sequence, 0);
    from_board(knet_bytes::ack(5, 102, 0));
    EXPECT_FALSE(circuit.awaiting_ack);
}

TEST_F(CircuitTest, WithResendOneCopyPerIntervalNoneWhileNotReadyAndANackBringsItForward)
{
    start(resend(500));
    board.hold_acks = true;
    type("lost");
    wait_ms(1990);
    // Sent at 0, again at 500, 1000 and 1500.
    EXPECT_EQ(board.data_packets, 4);
    EXPECT_EQ(board.received, "lostlostlostlost");
    board.ready = false;
    from_board(board.control(ControlActive | ControlUp));
    wait_ms(2000);
    EXPECT_EQ(board.data_packets, 4);
    board.ready = true;
    from_board(board.control(ControlReady | ControlActive | ControlUp));
    now += 10;
    circuit.tick(now, 0);
    exchange();
    EXPECT_EQ(board.data_packets, 5);
    // A Nack of the outstanding packet: it goes again after 50 ms, not 500.
    from_board(knet_bytes::nack(5, 200, circuit.pending_sequence, 1));
    wait_ms(60);
    EXPECT_EQ(board.data_packets, 6);
    // A copy the owner has not sent yet is never joined by another.
    now += 1000;
    circuit.tick(now, 0, false);
    EXPECT_TRUE(circuit.packets().empty());
}

TEST_F(CircuitTest, ByDefaultANackChangesNothingAndProbeAndSilenceFollowTheirSettings)
{
    start();
    board.hold_acks = true;
    type("x");
    from_board(knet_bytes::nack(5, 200, circuit.pending_sequence, 1));
    wait_ms(1000);
    EXPECT_EQ(board.data_packets, 1);

    BoardSettings off;
    off.probe_s = 0;
    off.silence_s = 0;
    start(off);
    now += 100000;
    circuit.tick(now, 0);
    EXPECT_TRUE(circuit.packets().empty());
    EXPECT_TRUE(circuit.alive);

    BoardSettings quick;
    quick.probe_s = 1;
    quick.silence_s = 3;
    start(quick);
    now += 1000;
    circuit.tick(now, 0);
    const auto probe = knet_bytes::split(circuit.packets());
    circuit.packets().clear();
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0][4], knet::CircuitControl);
    now += 2000;
    circuit.tick(now, 0);
    EXPECT_FALSE(circuit.alive);
    EXPECT_EQ(caller(), BOARD_DOWN_TEXT);
}
