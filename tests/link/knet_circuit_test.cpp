// The circuit on its own, no thread and no socket, against a board host that
// does only what the protocol fixes.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "link/knet_circuit.h"
#include "tests/support/strict_board.h"

using support::StrictBoard;
using support::knet_bytes::Bytes;
namespace knet_bytes = support::knet_bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

class CircuitTest : public testing::Test {
protected:
    void SetUp() override { CaptureStdout(); }
    // gtest's own failure messages go to the captured output too.
    void TearDown() override
    {
        trace = GetCapturedStdout();
        if (HasFailure())
            std::fprintf(stderr, "%s", trace.substr(trace.size() > 4000 ? trace.size() - 4000 : 0).c_str());
    }

    // A call set up with the board; with answered false the board never
    // hears the request.
    void start(const BoardSettings& settings = BoardSettings(), bool answered = true)
    {
        board = StrictBoard();
        lost = nullptr;
        board_deaf = !answered;
        held = 0;
        typed.clear();
        releases.clear();
        to_board.clear();
        to_board_at.clear();
        circuit = KnetCircuit(settings);
        circuit.tick(now, 0);
        circuit.request_connection("KELB");
        exchange();
        caller();
    }

    // Carries packets both ways until neither side has more. Packets for
    // which lost() says so, and everything while the board is deaf, go
    // nowhere.
    void exchange()
    {
        for (int round = 0; round < 100; ++round) {
            for (const Bytes& p : knet_bytes::split(circuit.packets())) {
                to_board.push_back(p);
                to_board_at.push_back(now);
                if (!board_deaf && !(lost && lost(p)))
                    board.receive(p);
            }
            circuit.packets().clear();
            board.tick(now);
            if (board.outbox.empty())
                return;
            std::vector<Bytes> in;
            in.swap(board.outbox);
            if (!board_deaf)
                for (const Bytes& d : in)
                    from_board(d);
        }
    }

    void from_board(const Bytes& d)
    {
        circuit.handle_datagram(d.data(), static_cast<int>(d.size()), now, held);
        held_bytes();
        release();
    }

    // The owner drops from the head of its bytes what the circuit released.
    void release()
    {
        const int n = circuit.take_released();
        if (n > 0) {
            typed.erase(0, n);
            releases.push_back(n);
        }
    }
    const uint8_t* owner_bytes() const { return reinterpret_cast<const uint8_t*>(typed.data()); }

    // What the circuit gave the caller moves into what the owner holds.
    void held_bytes()
    {
        caller_stream.append(circuit.caller_bytes().begin(), circuit.caller_bytes().end());
        held += static_cast<int>(circuit.caller_bytes().size());
        circuit.caller_bytes().clear();
    }

    // The caller types: what the circuit takes leaves at once, and stays
    // with the owner until it is released.
    void type(const std::string& s) { typed += s; send_typed(); }
    void send_typed()
    {
        release();
        circuit.take_caller_bytes(owner_bytes(), static_cast<int>(typed.size()), now);
        exchange();
    }

    // Time passes in 10 ms steps, the circuit's timers and sending running.
    void wait_ms(int ms)
    {
        for (int t = 0; t < ms; t += 10) {
            now += 10;
            circuit.tick(now, held, true, owner_bytes());
            send_typed();
        }
    }

    // What reached the caller since the last look; the caller takes it all.
    std::string caller()
    {
        held_bytes();
        std::string s;
        s.swap(caller_stream);
        held = 0;
        return s;
    }

    // When the circuit sent each packet of a type (and, for a
    // CircuitControl, with this control byte and flag) since the last start.
    std::vector<uint64_t> times_of(uint8_t type, int control = -1, int flag = -1) const
    {
        std::vector<uint64_t> out;
        for (size_t i = 0; i < to_board.size(); ++i) {
            const Bytes& p = to_board[i];
            if (p[4] != type)
                continue;
            if (type == knet::CircuitControl && ((control >= 0 && p[8] != control) || (flag >= 0 && p[9] != flag)))
                continue;
            out.push_back(to_board_at[i]);
        }
        return out;
    }

    KnetCircuit circuit;
    StrictBoard board;
    std::function<bool(const Bytes&)> lost;
    bool board_deaf = false;
    std::vector<Bytes> to_board;
    std::vector<uint64_t> to_board_at;
    int held = 0;
    std::string caller_stream;
    uint64_t now = 1000;
    // What the owner holds of the caller's bytes, and what it was let drop.
    std::string typed;
    std::vector<int> releases;
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

std::string traced;
void trace_into_string(const char* line)
{
    traced += line;
}

// The circuit touches no global: its counts and trace lines go to its owner.
// Bytes that came with the connection reach the link before its first tick:
// the Data that carries them is as old as they are, not overdue.
TEST_F(CircuitTest, BytesTypedBeforeTheFirstTickKeepTheCall)
{
    now = 100000;
    circuit = KnetCircuit(BoardSettings());
    circuit.request_connection("KELB");
    typed = "early";
    circuit.take_caller_bytes(owner_bytes(), static_cast<int>(typed.size()), now);
    circuit.tick(now, 0, true, owner_bytes());
    EXPECT_TRUE(circuit.alive);
    exchange();
    wait_ms(100);
    EXPECT_TRUE(circuit.alive);
    EXPECT_NE(circuit.line, 0);
}

TEST_F(CircuitTest, CountsAndTraceLinesGoToTheOwner)
{
    start();
    EXPECT_EQ(circuit.take_counts().sequence_in_line, 0);
    traced.clear();
    circuit.set_trace(trace_into_string);
    type("a");
    type("b");
    const CircuitCounts counts = circuit.take_counts();
    EXPECT_EQ(counts.sequence_in_line, circuit.line);
    EXPECT_EQ(counts.sequence_in, 2);
    EXPECT_FALSE(counts.lost_busy);
    EXPECT_NE(traced.find(", Seq: 2, DATA, Size: 1\n"), std::string::npos) << traced;
    EXPECT_EQ(circuit.take_counts().sequence_in_line, 0) << "counted once";

    KnetCircuit refused;
    refused.set_trace(trace_into_string);
    refused.request_connection("KELB");
    uint8_t accept[KNET_HEADER_SIZE + KNET_ACCEPT_LENGTH];
    const int n = knet_write_connection_accept(accept, 1, 0, 1);
    refused.handle_datagram(accept, n, now, 0);
    EXPECT_TRUE(refused.take_counts().lost_busy);
    EXPECT_FALSE(refused.take_counts().lost_busy);
    EXPECT_NE(traced.find("Connection Accepted on 0"), std::string::npos) << traced;
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

TEST_F(CircuitTest, ProbeAndSilenceFollowTheirSettings)
{
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

// A Data packet or its Ack lost on the way: the copy goes after 5 s, and
// only to a board that is ready and has answered something sent after the
// packet. A board that answers nothing, says it is not ready, or has
// resending turned off gets no copy, and the call ends once the packet has
// waited the silence limit.
TEST_F(CircuitTest, ALostPacketGoesAgainOnlyToAReadyBoardThatAnsweredSinceElseTheCallEnds)
{
    struct Case {
        const char* name;
        int resend_ms;
        bool lose_data;     // the first Data never reaches the board
        bool lose_ack;      // the board holds its Acks for 7 s
        bool deaf;          // the board hears and answers nothing
        bool not_ready;     // the board clears its ready bit after the loss
        int data_sent;      // Data packets the circuit sends in 25 s
        const char* board_gets;
        const char* ended;  // the trace of the end, or null
    };
    const Case cases[] = {
        {"data lost", 5000, true, false, false, false, 2, "x", nullptr},
        {"ack lost", 5000, false, true, false, false, 2, "xx", nullptr},
        {"board gone", 5000, true, false, true, false, 1, "", "KNET: Board host not answering, Line 5 ended"},
        {"not ready", 5000, true, false, false, true, 1, "", "KNET: Board host not acknowledging, Line 5 ended"},
        {"resend off", 0, true, false, false, false, 1, "", "KNET: Board host not acknowledging, Line 5 ended"},
    };
    for (const Case& c : cases) {
        BoardSettings settings;
        settings.resend_ms = c.resend_ms;
        start(settings);
        const uint64_t typed_at = now;
        bool first = true;
        lost = [&](const Bytes& p) {
            if (!c.lose_data || p[4] != knet::Data || !first)
                return false;
            first = false;
            return true;
        };
        board.hold_acks = c.lose_ack;
        type("x");
        if (c.not_ready)
            from_board(board.control(ControlActive | ControlUp));
        board_deaf = c.deaf;
        wait_ms(7000);
        board.hold_acks = false;
        board.release_acks();
        exchange();
        wait_ms(18000);
        const std::vector<uint64_t> data = times_of(knet::Data);
        EXPECT_EQ(int(data.size()), c.data_sent) << c.name;
        if (data.size() > 1) {
            EXPECT_GE(data[1] - typed_at, 5000u) << c.name;
        }
        EXPECT_EQ(board.received, c.board_gets) << c.name;
        EXPECT_EQ(circuit.alive, c.ended == nullptr) << c.name;
        const std::string so_far = GetCapturedStdout();
        CaptureStdout();
        EXPECT_EQ(c.ended != nullptr && so_far.find(c.ended) != std::string::npos, c.ended != nullptr)
            << c.name << so_far.substr(so_far.size() > 2000 ? so_far.size() - 2000 : 0);
    }
}

// The circuit keeps no copy of a Data packet: one that must go again is
// built from the bytes its owner still holds, byte for byte the first,
// though the owner's bytes grew behind it. Its Ack, or the end of the call,
// lets the owner drop exactly the packet's bytes.
TEST_F(CircuitTest, ACopyIsBuiltFromTheOwnersBytesAndTheAckReleasesExactlyThem)
{
    start(resend(500));
    std::string stream;
    for (int i = 0; i < 700; ++i)
        stream.push_back(char('a' + i % 26));
    bool first = true;
    lost = [&](const Bytes& p) {
        if (p[4] != knet::Data || !first)
            return false;
        first = false;
        return true;
    };
    type(stream);
    type("+more");
    EXPECT_EQ(typed, stream + "+more") << "nothing released before the Ack";
    wait_ms(3000);
    std::vector<Bytes> sent;
    for (const Bytes& p : to_board)
        if (p[4] == knet::Data)
            sent.push_back(p);
    ASSERT_EQ(sent.size(), 3u);
    EXPECT_EQ(sent[0], knet_bytes::data(circuit.line, 1, stream.substr(0, 512)));
    EXPECT_EQ(sent[1], sent[0]);
    EXPECT_EQ(sent[2], knet_bytes::data(circuit.line, 2, stream.substr(512) + "+more"));
    EXPECT_EQ(releases, (std::vector<int>{512, 193}));
    EXPECT_EQ(board.received, stream + "+more");
    EXPECT_NE(GetCapturedStdout().find(", Seq: 1, DATA, Size: 512, sent again\n"), std::string::npos);
    CaptureStdout();

    board.hold_acks = true;
    type("last");
    circuit.hang_up(now);
    EXPECT_EQ(circuit.take_released(), 4) << "the call is over";
    EXPECT_EQ(circuit.take_released(), 0);
}

// The board clears its ready bit and goes quiet; the probe 2 s later is
// echoed as it came, ready bit and all, and that must not undo the board's
// word. With Probe="0" nothing probes; either way exactly one Data leaves
// once the board sets its bit itself.
TEST_F(CircuitTest, AProbesLiteralEchoLeavesTheBoardsNotReadyStanding)
{
    for (int probe_s : {2, 0}) {
        BoardSettings settings;
        settings.probe_s = probe_s;
        start(settings);
        EXPECT_TRUE(circuit.peer_ready) << "the accept's echo states the board's bit";
        from_board(board.control(ControlActive | ControlUp));
        exchange();
        type("k");
        wait_ms(5000);
        EXPECT_EQ(times_of(knet::CircuitControl, 0xE0, 0).size(), probe_s ? 3u : 1u) << probe_s;
        EXPECT_EQ(board.data_packets, 0) << probe_s;
        from_board(board.control(ControlReady | ControlActive | ControlUp));
        wait_ms(100);
        EXPECT_EQ(board.data_packets, 1) << probe_s;
        EXPECT_EQ(board.received, "k") << probe_s;
    }
}

// A caller who reads slowly while a board that resends what has no Ack
// streams to it: every Data is acknowledged at once, not ready while the
// caller is behind, and the board is told when it has caught up; every
// byte reaches the caller once, in order, and the link never holds much.
TEST_F(CircuitTest, ASlowCallerGetsEveryByteOnceInOrderFromABoardThatResends)
{
    start();
    board.resend_ms = 300;
    std::string stream;
    for (int i = 0; i < 300 * 1024; ++i)
        stream.push_back(char('a' + i % 26 + (i / 26) % 3));
    board.send_output(stream);
    int most_held = 0;
    for (int t = 0; t < 120000 && caller_stream.size() < stream.size(); t += 10) {
        now += 10;
        // The caller takes 4 KiB every 50 ms.
        if (t % 50 == 0)
            held = held > 4096 ? held - 4096 : 0;
        circuit.tick(now, held);
        exchange();
        most_held = std::max(most_held, held);
    }
    EXPECT_EQ(caller_stream.size(), stream.size());
    EXPECT_TRUE(caller_stream == stream) << "a byte repeated, lost or out of order";
    EXPECT_LE(most_held, KnetCircuit::TO_CALLER_BOUND + KNET_MAX_DATA);
    // Behind, then told: several times over the stream.
    size_t not_ready_acks = 0;
    for (const Bytes& p : to_board)
        if (p[4] == knet::Ack && knet_bytes::field16(p, 10) == 0x6000)
            ++not_ready_acks;
    EXPECT_GT(not_ready_acks, 1u);
    EXPECT_GT(times_of(knet::CircuitControl, 0xE0, 0).size(), not_ready_acks / 2);
    EXPECT_TRUE(circuit.alive);
}

// A board that ignores the bit is stopped at 1 MiB held for the caller:
// the call ends as on a hang-up, with a line that says why.
TEST_F(CircuitTest, ABoardThatIgnoresTheReadyBitEndsItsCallAtTheLimit)
{
    start();
    const std::string chunk(KNET_MAX_DATA, 'z');
    for (int i = 0; i < 2 * KnetCircuit::TO_CALLER_LIMIT / KNET_MAX_DATA && circuit.alive; ++i)
        from_board(board.data(chunk));
    EXPECT_FALSE(circuit.alive);
    EXPECT_LE(held, KnetCircuit::TO_CALLER_LIMIT);
    EXPECT_GE(held, KnetCircuit::TO_CALLER_LIMIT - KNET_MAX_DATA);
    circuit.packets().clear();
    wait_ms(100);
    EXPECT_FALSE(times_of(knet::CircuitControl, 0x00, 0).empty());
    EXPECT_NE(GetCapturedStdout().find("KNET: Board host sent past 1048576 bytes held for the caller, Line 5 ended"),
              std::string::npos);
    CaptureStdout();
}

// Silence ends a call: the board is told once if it holds a line for us,
// the call counts as lost to downtime, and an accept that comes late is
// answered by giving its line back.
TEST_F(CircuitTest, SilenceTellsTheBoardOnceCountsTheCallAndAnswersALateAccept)
{
    start();
    board_deaf = true;
    wait_ms(21000);
    EXPECT_FALSE(circuit.alive);
    EXPECT_TRUE(circuit.take_lost_to_silence());
    EXPECT_FALSE(circuit.take_lost_to_silence());
    EXPECT_EQ(caller(), BOARD_DOWN_TEXT);
    wait_ms(10000);
    const std::vector<uint64_t> ends = times_of(knet::CircuitControl, 0x00, 0);
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_FALSE(circuit.finished());
    wait_ms(11000);
    EXPECT_TRUE(circuit.finished());

    // The request itself goes unanswered; the accept comes after the end.
    start(BoardSettings(), false);
    wait_ms(20000);
    EXPECT_FALSE(circuit.alive);
    EXPECT_TRUE(circuit.take_lost_to_silence());
    EXPECT_TRUE(times_of(knet::CircuitControl).empty()) << "no line to give back yet";
    from_board(knet_bytes::accept(9, 7));
    const auto answer = knet_bytes::split(circuit.packets());
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[0][4], knet::Ack);
    EXPECT_EQ(answer[1][4], knet::CircuitControl);
    EXPECT_EQ(answer[1][5], 7);
    EXPECT_EQ(answer[1][8], 0x00);
    EXPECT_EQ(caller(), BOARD_DOWN_TEXT) << "the late line is not announced";
}

// The caller hangs up while the board hears nothing: requests to end the
// circuit go at once, then 1 ms later, the gap doubling to at most 1 s,
// for the silence limit; the first that reaches the board ends it. Before
// the accept they go on circuit 0, and the accept is answered on its line.
TEST_F(CircuitTest, HangingUpAsksAtGrowingIntervalsUntilTheBoardAnswers)
{
    for (int deaf_ms : {30000, 3000}) {
        start();
        board_deaf = true;
        const uint64_t hung_up = now;
        circuit.hang_up(now);
        exchange();
        EXPECT_FALSE(circuit.alive);
        for (int t = 0; t < 30000 && !circuit.finished(); ++t) {
            now += 1;
            if (t == deaf_ms)
                board_deaf = false;
            circuit.tick(now, 0);
            exchange();
        }
        EXPECT_TRUE(circuit.finished()) << deaf_ms;
        const std::vector<uint64_t> asks = times_of(knet::CircuitControl, 0x00, 0);
        ASSERT_GE(asks.size(), 4u) << deaf_ms;
        EXPECT_EQ(asks[0], hung_up);
        EXPECT_EQ(asks[1] - asks[0], 1u);
        EXPECT_EQ(asks[2] - asks[1], 2u);
        for (size_t i = 2; i < asks.size(); ++i)
            EXPECT_LE(asks[i] - asks[i - 1], KnetCircuit::END_REQUEST_LONGEST_GAP_MS) << i;
        if (deaf_ms > 20000) {
            EXPECT_GE(now - hung_up, 20000u);
            EXPECT_LE(asks.back() - hung_up, 20000u);
        } else {
            // One more heard, echoed, and the asking stops.
            EXPECT_LT(asks.back() - hung_up, uint64_t(deaf_ms) + KnetCircuit::END_REQUEST_LONGEST_GAP_MS);
            EXPECT_FALSE(board.line_taken);
        }
    }

    start(BoardSettings(), false);
    circuit.hang_up(now);
    const auto first = knet_bytes::split(circuit.packets());
    circuit.packets().clear();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0][5], 0) << "circuit 0 before the accept";
    from_board(knet_bytes::accept(3, 5));
    const auto answer = knet_bytes::split(circuit.packets());
    ASSERT_EQ(answer.size(), 2u);
    EXPECT_EQ(answer[1], knet_bytes::control(5, 2, 0x00, 0));
}
