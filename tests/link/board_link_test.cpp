#include <gtest/gtest.h>

#include <random>
#include <string>

#include "stats/statistics_board.h"
#include "link/board_link.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "tests/support/fake_ipx_network.h"
#include "tests/support/knet_packets.h"

using namespace support;
using knet_bytes::Bytes;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

namespace {

constexpr int RESEND_MS = 500;
// The defaults of Probe and Silence.
constexpr int PROBE_MS = 2000;
constexpr int SILENCE_MS = 20000;

// A link with its state and queues but no thread: the tests play the cycle.
class LinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        stats_board.clear();
        link.prepare_for_testing();
    }

    // Starts again with recovery settings.
    void recover(int resend_ms, bool drop_repeats)
    {
        BoardSettings settings;
        settings.resend_ms = resend_ms;
        settings.drop_repeats = drop_repeats;
        link.use_settings(settings);
        link.prepare_for_testing();
    }

    void feed(const Bytes& datagram) { link.handle_datagram(datagram.data(), static_cast<int>(datagram.size())); }

    // Takes the packets queued for the board host.
    std::vector<Bytes> sent()
    {
        Bytes all(65536);
        all.resize(link.copy_send_queue(all.data(), static_cast<int>(all.size())));
        link.clear_send_queue();
        return knet_bytes::split(all);
    }

    std::string caller_text()
    {
        MutexHold hold(link.to_caller_lock);
        ByteQueue* q = link.to_caller();
        std::string s(reinterpret_cast<const char*>(q->head()), q->size());
        q->clear();
        return s;
    }

    void type(const std::string& s)
    {
        link.append_from_caller(reinterpret_cast<const uint8_t*>(s.data()), static_cast<int>(s.size()));
    }

    BoardLink link;
};

}

TEST_F(LinkTest, WholeCallFromRequestToBoardDisconnect)
{
    CaptureStdout();
    link.request_connection("KELB");
    EXPECT_EQ(link.circuit0_sequence, 2);
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], (Bytes{0, 5, 0, 1, 0, 0, 0, 0, 'K', 'E', 'L', 'B', 0}));

    link.status_changed = false;
    feed(knet_bytes::accept(40, 5, 77));
    EXPECT_TRUE(link.status_changed);
    EXPECT_EQ(link.circuit, 5);
    EXPECT_EQ(link.line, 5);
    EXPECT_EQ(link.data_sequence, 1);
    EXPECT_EQ(caller_text(), "Connected to KELB line 5\r\n");
    out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], knet_bytes::ack(0, 2, 40));
    EXPECT_EQ(out[1], knet_bytes::control(5, 1, 0xE0, 0));
    EXPECT_EQ(link.circuit0_sequence, 3);
    EXPECT_EQ(link.control_sequence, 2);

    feed(knet_bytes::control(5, 9, 0xE0, 1));
    EXPECT_TRUE(sent().empty());
    EXPECT_TRUE(link.peer_ready);

    type("hi");
    link.send_from_caller();
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(5, 1, "hi"));
    EXPECT_TRUE(link.awaiting_ack);
    EXPECT_EQ(link.pending_sequence, 1);
    EXPECT_EQ(link.data_sequence, 2);
    EXPECT_EQ(stats_board.figures().lines[4].seq_in, 1);

    feed(knet_bytes::ack(5, 10, 1));
    EXPECT_FALSE(link.awaiting_ack);
    EXPECT_TRUE(link.peer_ready);

    feed(knet_bytes::data(5, 41, "Welcome"));
    EXPECT_EQ(caller_text(), "Welcome");
    EXPECT_EQ(stats_board.figures().lines[4].seq_out, 41);
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::ack(5, 2, 41));

    link.send_control(0x00, 0);
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::control(5, 3, 0x00, 0));

    link.status_changed = false;
    feed(knet_bytes::control(5, 11, 0x00, 1));
    EXPECT_TRUE(link.status_changed);
    EXPECT_EQ(link.circuit, NoCircuit);
    EXPECT_FALSE(link.peer_ready);
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::control(5, 4, 0x00, 0));
    EXPECT_EQ(link.line, 5);

    const std::string trace = GetCapturedStdout();
    EXPECT_EQ(trace,
              "KNET-SEND: Circuit: 0, Seq: 1, Connection Request: KELB\n"
              "KNET-RECV: Circuit: 0, Seq: 40, Connection Accepted on 5, SeqResp: 77\n"
              "KNET-SEND: Circuit: 0, Seq: 2, ACK for 40\n"
              "KNET-SEND: Circuit: 5, Seq: 1, Circuit Control E0, ACK: 00\n"
              "KNET-SEND: Circuit: 5, Seq: 1, DATA, Size: 2\n"
              "KNET-RECV: Circuit: 5, Seq: 10, ACK for 1, control E000\n"
              "KNET-RECV: Circuit: 5, Seq: 41, Data, Size: 7\n"
              "KNET-SEND: Circuit: 5, Seq: 2, ACK for 41\n"
              "KNET-SEND: Circuit: 5, Seq: 3, Circuit Control 00, ACK: 00\n"
              "KNET: Disconnected Line 5\n"
              "KNET-SEND: Circuit: 5, Seq: 4, Circuit Control 00, ACK: 00\n");
}

TEST_F(LinkTest, BusyAcceptIsAcknowledgedOnCircuitZeroAndCounted)
{
    CaptureStdout();
    const uint16_t before = stats_board.figures().calls_lost_busy;
    feed(knet_bytes::accept(3, 0));
    GetCapturedStdout();
    EXPECT_EQ(link.circuit, NoCircuit);
    EXPECT_EQ(link.line, 0);
    EXPECT_EQ(caller_text(), "KELB is currently busy, please call back again later.\r\n");
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::ack(0, 1, 3));
    EXPECT_EQ(stats_board.figures().calls_lost_busy, before + 1);
}

TEST_F(LinkTest, RepeatedBusyAcceptIsAcknowledgedButCountedAndToldOnce)
{
    CaptureStdout();
    const uint16_t before = stats_board.figures().calls_lost_busy;
    Bytes twice = knet_bytes::accept(3, 0);
    Bytes again = knet_bytes::accept(4, 0);
    twice.insert(twice.end(), again.begin(), again.end());
    feed(twice);
    feed(knet_bytes::accept(5, 0));
    GetCapturedStdout();
    EXPECT_EQ(caller_text(), "KELB is currently busy, please call back again later.\r\n");
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 3u) << "every answer is acknowledged, so the board host stops resending";
    EXPECT_EQ(out[0], knet_bytes::ack(0, 1, 3));
    EXPECT_EQ(out[1], knet_bytes::ack(0, 2, 4));
    EXPECT_EQ(out[2], knet_bytes::ack(0, 3, 5));
    EXPECT_EQ(stats_board.figures().calls_lost_busy, before + 1);
}

TEST_F(LinkTest, InvalidPacketsAreTracedAndTheRestOfTheDatagramStillHandled)
{
    feed(knet_bytes::accept(1, 3));
    sent();
    caller_text();

    Bytes long_ack = knet_bytes::ack(3, 1, 1);
    long_ack[1] = 6;
    long_ack.push_back(0);
    long_ack.push_back(0);
    Bytes type9 = knet_bytes::control(3, 1, 0xE0, 0);
    type9[4] = 9;
    Bytes short_control = knet_bytes::control(3, 1, 0x00, 0);
    short_control[1] = 1;
    short_control.pop_back();
    Bytes bad_accept = knet_bytes::accept(1, 7);
    bad_accept[1] = 2;
    bad_accept.pop_back();
    Bytes bad_nack(KNET_MAX_PACKET);
    bad_nack.resize(knet_write_nack(bad_nack.data(), 3, 2, 1, 9));
    Bytes good_nack = bad_nack;
    bad_nack[1] = 3;
    bad_nack.pop_back();

    CaptureStdout();
    feed(knet_bytes::join({long_ack, type9, knet_bytes::data(4, 5, "other"), short_control, bad_accept, bad_nack,
                          good_nack, knet_bytes::data(3, 6, ""), knet_bytes::data(3, 7, "ok")}));
    const std::string trace = GetCapturedStdout();
    EXPECT_EQ(trace,
              "KNET-RECV: bad ACK packet\n"
              "KNET-RECV: What kind of packet is this?\n"
              "KNET-RECV: dropped bad data packet\n"
              "KNET-RECV: bad Control packet\n"
              "KNET-RECV: bad connection accept packet\n"
              "KNET-RECV: bad NACK packet\n"
              "KNET-RECV: Circuit: 3, Seq: 2, NACK for 1, reason 9\n"
              "KNET-RECV: Circuit: 3, Seq: 6, Data, Size: 0\n"
              "KNET-SEND: Circuit: 3, Seq: 2, ACK for 6\n"
              "KNET-RECV: Circuit: 3, Seq: 7, Data, Size: 2\n"
              "KNET-SEND: Circuit: 3, Seq: 3, ACK for 7\n");
    // Nothing from the invalid packets changed the circuit.
    EXPECT_EQ(link.circuit, 3);
    EXPECT_EQ(caller_text(), "ok");
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0], knet_bytes::ack(3, 2, 6));
    EXPECT_EQ(out[1], knet_bytes::ack(3, 3, 7));
}

TEST_F(LinkTest, CallerBytesLeaveStopAndWaitIn512ByteSlices)
{
    CaptureStdout();
    feed(knet_bytes::accept(1, 2));
    sent();
    std::string typed;
    for (int i = 0; i < 1200; ++i)
        typed.push_back(static_cast<char>('a' + i % 26));
    type(typed);

    std::string received;
    const size_t expected[] = {512, 512, 176};
    for (int i = 0; i < 3; ++i) {
        link.send_from_caller();
        std::vector<Bytes> out = sent();
        ASSERT_EQ(out.size(), 1u);
        const KnetHeader h = knet_read_header(out[0].data());
        EXPECT_EQ(h.length, expected[i]);
        EXPECT_EQ(h.sequence, i + 1);
        received.append(out[0].begin() + KNET_HEADER_SIZE, out[0].end());
        // Nothing more leaves until the board acknowledges.
        link.send_from_caller();
        EXPECT_TRUE(sent().empty());
        if (i == 0) {
            feed(knet_bytes::ack(2, 1, 0));  // an older sequence releases nothing
            link.send_from_caller();
            EXPECT_TRUE(sent().empty());
            EXPECT_TRUE(link.awaiting_ack);
        }
        feed(knet_bytes::ack(2, 5, static_cast<uint16_t>(i + 1)));
        EXPECT_FALSE(link.awaiting_ack);
    }
    GetCapturedStdout();
    EXPECT_EQ(received, typed);
    EXPECT_EQ(link.from_caller_size(), 0);
}

namespace {
// A caller's end that takes everything and counts the wakes of its reading.
class CountingCallerEnd : public CallerEnd {
public:
    bool take_board_bytes(const uint8_t*, int32_t) override { return true; }
    void input_room() override { ++wakes; }
    int wakes = 0;
};
}

// A caller whose input stopped at the bound is woken when room is made, and
// room is made only when the board host acknowledges: the bytes of the Data
// packet in flight are still the link's until then.
TEST_F(LinkTest, ACallerStoppedAtTheInputBoundIsWokenWhenTheAckMakesRoom)
{
    CaptureStdout();
    CountingCallerEnd end;
    link.attach(&end);
    feed(knet_bytes::accept(1, 2));
    sent();
    std::string typed;
    for (int i = 0; i < BoardLink::FROM_CALLER_BOUND; ++i)
        typed.push_back(static_cast<char>('a' + i % 26));
    type(typed);
    link.send_from_caller();
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(2, 1, typed.substr(0, 512)));
    EXPECT_EQ(link.from_caller_size(), BoardLink::FROM_CALLER_BOUND);
    EXPECT_EQ(end.wakes, 0) << "no room yet";
    feed(knet_bytes::ack(2, 5, 1));
    EXPECT_EQ(link.from_caller_size(), BoardLink::FROM_CALLER_BOUND - 512);
    EXPECT_EQ(end.wakes, 1);
    // Reading goes on; the next packet starts where the first ended.
    type("z");
    link.send_from_caller();
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(2, 2, typed.substr(512, 512)));
    // Below the bound an Ack wakes no one.
    feed(knet_bytes::ack(2, 6, 2));
    EXPECT_EQ(end.wakes, 1);
    link.detach();
    GetCapturedStdout();
}

TEST_F(LinkTest, ReadyBitClearedByControlHoldsDataUntilItReturns)
{
    CaptureStdout();
    feed(knet_bytes::accept(1, 4));
    sent();
    feed(knet_bytes::control(4, 2, 0x60, 0));
    EXPECT_FALSE(link.peer_ready);
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::control(4, 2, 0x60, 1));

    type("wait");
    link.send_from_caller();
    EXPECT_TRUE(sent().empty());
    // An Ack without the ready bit keeps it held; one with it releases.
    feed(knet_bytes::ack(4, 3, 0, 0x6000));
    link.send_from_caller();
    EXPECT_TRUE(sent().empty());
    feed(knet_bytes::ack(4, 4, 0, 0xE000));
    link.send_from_caller();
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(4, 1, "wait"));
    GetCapturedStdout();
}

TEST_F(LinkTest, WithDropRepeatsRepeatedDataIsPassedOnOnceAndAcknowledgedEachTime)
{
    recover(0, true);
    CaptureStdout();
    feed(knet_bytes::accept(1, 6));
    sent();
    caller_text();
    feed(knet_bytes::join({knet_bytes::data(6, 9, "dup"), knet_bytes::data(6, 9, "dup")}));
    // A new sequence is new data, even with the same bytes.
    feed(knet_bytes::data(6, 10, "dup"));
    EXPECT_NE(GetCapturedStdout().find("KNET-RECV: Circuit: 6, Seq: 9, repeated Data dropped\n"), std::string::npos);
    EXPECT_EQ(caller_text(), "dupdup");
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0], knet_bytes::ack(6, 2, 9));
    EXPECT_EQ(out[1], knet_bytes::ack(6, 3, 9));
    EXPECT_EQ(out[2], knet_bytes::ack(6, 4, 10));
}

TEST_F(LinkTest, WithResendUnacknowledgedDataGoesAgainOnceTheBoardHasAnsweredSinceWithItsOwnSequence)
{
    recover(RESEND_MS, false);
    CaptureStdout();
    link.tick(1000);
    feed(knet_bytes::accept(1, 6));
    sent();
    type("hello");
    link.send_from_caller();
    std::vector<Bytes> first = sent();
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0], knet_bytes::data(6, 1, "hello"));
    // The board has answered nothing sent since: slow or gone, it gets no
    // copy. A Data packet that waited the interval is probed for.
    link.tick(1000 + RESEND_MS);
    std::vector<Bytes> probe = sent();
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0], knet_bytes::control(6, 2, 0xE0, 0));
    link.tick(1000 + 2 * RESEND_MS);
    for (const Bytes& p : sent())
        EXPECT_NE(knet_read_header(p.data()).type, knet::Data);
    feed(knet_bytes::control(6, 50, 0xE0, 1));
    link.tick(1000 + 2 * RESEND_MS + 1);
    std::vector<Bytes> again = sent();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], first[0]);
    // Its Ack ends the resending.
    feed(knet_bytes::ack(6, 51, 1));
    link.tick(1000 + 3 * PROBE_MS);
    EXPECT_FALSE(link.awaiting_ack);
    for (const Bytes& p : sent())
        EXPECT_NE(knet_read_header(p.data()).type, knet::Data);
    GetCapturedStdout();
}

TEST_F(LinkTest, WithResendANackOfTheOutstandingPacketIsAnAnswerAndItGoesAgainAfterTheInterval)
{
    recover(RESEND_MS, false);
    CaptureStdout();
    link.tick(1000);
    feed(knet_bytes::accept(1, 6));
    sent();
    type("refused");
    link.send_from_caller();
    Bytes packet = sent().at(0);
    feed(knet_bytes::nack(6, 51, 7, 1)); // another packet: nothing changes
    link.tick(1000 + RESEND_MS - 1);
    EXPECT_TRUE(sent().empty());
    feed(knet_bytes::nack(6, 52, 1, 1));
    link.tick(1000 + RESEND_MS);
    std::vector<Bytes> again = sent();
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0], packet);
    EXPECT_TRUE(link.awaiting_ack);
    GetCapturedStdout();
}

TEST_F(LinkTest, CallerBehindIsAcknowledgedAtOnceAsNotReadyAndTheBoardToldWhenItCatchesUp)
{
    CaptureStdout();
    link.tick(1000);
    feed(knet_bytes::accept(1, 6));
    sent();
    caller_text();
    std::string chunk(512, 'b');
    uint16_t seq = 1;
    // Ready in every Ack until the bound is reached, then not ready; never
    // an Ack held back.
    for (; seq <= BoardLink::TO_CALLER_BOUND / 512 + 1; ++seq) {
        feed(knet_bytes::data(6, seq, chunk));
        std::vector<Bytes> out = sent();
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(knet_bytes::field16(out[0], 8), seq);
        const bool full = seq * 512 >= BoardLink::TO_CALLER_BOUND;
        EXPECT_EQ(knet_bytes::field16(out[0], 10), full ? 0x6000 : 0xE000) << seq;
        EXPECT_EQ(link.caller_behind, full);
    }
    // The board host sends the same packet again: acknowledged again, and
    // (as the board's own repeat) passed on again.
    feed(knet_bytes::data(6, uint16_t(seq - 1), chunk));
    ASSERT_EQ(sent().size(), 1u);
    link.tick(1001);
    EXPECT_TRUE(sent().empty());
    EXPECT_EQ(caller_text().size(), size_t(seq) * 512);
    // Caught up: one control says so.
    link.tick(1002);
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::control(6, uint16_t(seq + 2), 0xE0, 0));
    EXPECT_FALSE(link.caller_behind);
    link.tick(1003);
    EXPECT_TRUE(sent().empty());
    GetCapturedStdout();
}

TEST_F(LinkTest, QuietCircuitIsProbedAndASilentBoardEndsTheCall)
{
    CaptureStdout();
    link.tick(1000);
    feed(knet_bytes::accept(1, 6));
    sent();
    caller_text();
    link.tick(1000 + PROBE_MS);
    std::vector<Bytes> probe = sent();
    ASSERT_EQ(probe.size(), 1u);
    EXPECT_EQ(probe[0], knet_bytes::control(6, 2, 0xE0, 0));
    // An answer restarts the clock.
    link.tick(1000 + SILENCE_MS - 10);
    feed(knet_bytes::control(6, 60, 0xE0, 1));
    link.tick(1000 + SILENCE_MS + 10);
    EXPECT_TRUE(link.alive);
    sent();
    link.status_changed = false;
    link.tick(1000 + 2 * SILENCE_MS);
    std::string trace = GetCapturedStdout();
    EXPECT_FALSE(link.alive);
    EXPECT_TRUE(link.status_changed);
    EXPECT_EQ(caller_text(), "\r\nKELB is currently down.  Please try back later.\r\n");
    EXPECT_NE(trace.find("KNET: Board host not answering, Line 6 ended\n"), std::string::npos) << trace;
}

TEST_F(LinkTest, UnansweredRequestEndsTheCallAfterTheSilenceLimit)
{
    CaptureStdout();
    link.tick(1000);
    link.request_connection("KELB");
    link.tick(1000 + SILENCE_MS - 1);
    EXPECT_TRUE(link.alive);
    link.tick(1000 + SILENCE_MS);
    GetCapturedStdout();
    EXPECT_FALSE(link.alive);
    EXPECT_EQ(caller_text(), "\r\nKELB is currently down.  Please try back later.\r\n");
}

TEST_F(LinkTest, BytesTypedBeforeAcceptLeaveOnCircuitZeroAndAcceptRestartsSequence)
{
    CaptureStdout();
    type("early");
    link.send_from_caller();
    std::vector<Bytes> out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(0, 1, "early"));
    feed(knet_bytes::ack(0, 1, 1));
    feed(knet_bytes::accept(2, 8));
    EXPECT_EQ(link.data_sequence, 1);
    sent();
    type("late");
    link.send_from_caller();
    out = sent();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0], knet_bytes::data(8, 1, "late"));
    GetCapturedStdout();
}

// Random and truncated datagrams, each in a heap block of exactly its size so
// that a read past the end shows under AddressSanitizer.
TEST_F(LinkTest, RandomAndTruncatedDatagramsAreHandledWithinTheirBytes)
{
    std::mt19937 random(12345);
    const Bytes valid = knet_bytes::join({knet_bytes::accept(1, 3), knet_bytes::data(3, 2, "hello"),
                                         knet_bytes::ack(3, 3, 1), knet_bytes::control(3, 4, 0xE0, 0),
                                         knet_bytes::data(3, 5, std::string(600, 'z'))});
    CaptureStdout();
    long fed = 0;
    for (int round = 0; round < 3000; ++round) {
        Bytes d;
        if (round % 3 == 0) {
            d.assign(valid.begin(), valid.begin() + 1 + random() % valid.size());
        } else {
            d.resize(1 + random() % 64);
            for (uint8_t& b : d)
                b = static_cast<uint8_t>(random());
            // Small types and lengths reach every branch of the parser.
            if (d.size() >= 8 && round % 2 == 0) {
                d[0] = 0;
                d[1] = static_cast<uint8_t>(random() % (d.size() - 4));
                d[4] = static_cast<uint8_t>(random() % 8);
            }
        }
        fed += static_cast<long>(d.size());
        std::unique_ptr<uint8_t[]> exact(new uint8_t[d.size()]);
        std::copy(d.begin(), d.end(), exact.get());
        link.handle_datagram(exact.get(), static_cast<int>(d.size()));
        if (round % 50 == 0) {
            sent();
            caller_text();
        }
    }
    GetCapturedStdout();
    EXPECT_GT(fed, 0);
    // The link still works after all of it.
    feed(knet_bytes::accept(1, 3));
    caller_text();
    feed(knet_bytes::data(3, 1, "still"));
    EXPECT_EQ(caller_text(), "still");
}

// The link thread on the in-memory network: a board socket that the test plays.
namespace {

constexpr uint16_t BOARD_SOCKET = 0x8104;

class ThreadedLinkTest : public testing::Test {
protected:
    void SetUp() override
    {
        fake_ipx::reset();
        stats_board.clear();
    }

    void open_link()
    {
        // The in-memory network names every sender network 0, node 0.
        IpxAddress board;
        board.socket = BOARD_SOCKET;
        ASSERT_EQ(link.open(board), 0);
        ASSERT_NE(link.local_socket(), 0);
    }

    // Waits for the next packets sent to the board.
    std::vector<Bytes> board_receives(size_t count)
    {
        std::vector<Bytes> got;
        support::wait_until([&] {
            for (const Bytes& d : fake_ipx::take(BOARD_SOCKET))
                got.push_back(d);
            return got.size() >= count;
        });
        return got;
    }

    void to_link(const Bytes& d) { fake_ipx::inject(link.local_socket(), d, BOARD_SOCKET); }

    std::string caller_text()
    {
        MutexHold hold(link.to_caller_lock);
        ByteQueue* q = link.to_caller();
        return std::string(reinterpret_cast<const char*>(q->head()), q->size());
    }

    BoardLink link;
};

}

TEST_F(ThreadedLinkTest, ThreadSendsOnePacketPerDatagramAndStopsAndWaits)
{
    CaptureStdout();
    open_link();
    link.request_connection("KELB");
    std::vector<Bytes> got = board_receives(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].size(), 13u);

    to_link(knet_bytes::accept(40, 5));
    got = board_receives(2);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], knet_bytes::ack(0, 2, 40));
    EXPECT_EQ(got[1], knet_bytes::control(5, 1, 0xE0, 0));
    EXPECT_TRUE(support::wait_until([&] { return caller_text() == "Connected to KELB line 5\r\n"; }));

    const Bytes typed(1200, 'q');
    link.append_from_caller(typed.data(), 1200);
    const uint16_t sizes[] = {512, 512, 176};
    for (int i = 0; i < 3; ++i) {
        got = board_receives(1);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(knet_read_header(got[0].data()).length, sizes[i]);
        // Without the Ack nothing else leaves, even over many cycles.
        EXPECT_FALSE(support::wait_until([] { return !fake_ipx::take(BOARD_SOCKET).empty(); }, std::chrono::milliseconds(30)));
        to_link(knet_bytes::ack(5, static_cast<uint16_t>(50 + i), static_cast<uint16_t>(i + 1)));
    }
    EXPECT_TRUE(support::wait_until([&] { return !link.awaiting_ack; }));

    to_link(knet_bytes::control(5, 60, 0x00, 0));
    EXPECT_TRUE(support::wait_until([&] { return !link.alive; }));
    EXPECT_EQ(link.circuit, NoCircuit);
    link.close();
    EXPECT_NE(GetCapturedStdout().find("KNET: Disconnected Line 5\n"), std::string::npos);
}

TEST_F(ThreadedLinkTest, CloseDuringCyclesLeavesEmptyQueuesAndNoEndpoint)
{
    CaptureStdout();
    open_link();
    // Keep the thread busy: unsent packets and caller bytes pile up.
    fake_ipx::set_writable(false);
    link.request_connection("KELB");
    const Bytes typed(3000, 'w');
    link.append_from_caller(typed.data(), 3000);
    to_link(knet_bytes::data(0, 1, "for the caller"));
    EXPECT_TRUE(support::wait_until([&] { return !caller_text().empty(); }));
    link.close();
    GetCapturedStdout();
    EXPECT_FALSE(link.alive);
    EXPECT_FALSE(link.has_endpoint());
    EXPECT_EQ(link.from_caller_size(), 0);
    EXPECT_EQ(caller_text(), "");
    Bytes queued(64);
    EXPECT_EQ(link.copy_send_queue(queued.data(), 64), 0);
    link.close_if_open();
    EXPECT_FALSE(link.has_endpoint());
}

TEST_F(ThreadedLinkTest, FailedPollBringsTheLinkDown)
{
    open_link();
    EXPECT_TRUE(link.alive);
    fake_ipx::fail_next_poll();
    EXPECT_TRUE(support::wait_until([&] { return !link.alive; }));
    link.close_if_open();
}

TEST_F(ThreadedLinkTest, EmptyDatagramBringsTheLinkDown)
{
    open_link();
    to_link(Bytes{});
    EXPECT_TRUE(support::wait_until([&] { return !link.alive; }));
}

TEST_F(ThreadedLinkTest, SendRefusedIsReportedAndRetried)
{
    CaptureStdout();
    fake_ipx::refuse_sends(3);
    open_link();
    link.request_connection("KELB");
    EXPECT_TRUE(support::wait_until([] { return fake_ipx::sent_count(BOARD_SOCKET) == 1; }));
    link.close();
    const std::string trace = GetCapturedStdout();
    EXPECT_EQ(support::count_of(trace, "socket send error\n"), 3u);
    EXPECT_EQ(fake_ipx::sent_count(BOARD_SOCKET), 1);
}

TEST_F(ThreadedLinkTest, DestroyingAnOpenLinkStopsItsThreadAndFreesItsSocket)
{
    auto* other = new BoardLink();
    IpxAddress board;
    board.socket = BOARD_SOCKET;
    other->open(board);
    const uint16_t socket = other->local_socket();
    other->append_from_caller(reinterpret_cast<const uint8_t*>("x"), 1);
    CaptureStdout();
    const int workers = live_worker_count;
    delete other;
    GetCapturedStdout();
    EXPECT_EQ(live_worker_count, workers - 1);
    // The socket number is free again.
    IpxEndpoint again;
    EXPECT_EQ(again.open(socket), 0);
}

TEST_F(ThreadedLinkTest, OnlyTheBoardsOwnDatagramsAreTaken)
{
    CaptureStdout();
    open_link();
    link.request_connection("KELB");
    board_receives(1);
    // Another node aims an accept and data at our socket: nothing happens.
    fake_ipx::inject(link.local_socket(), knet_bytes::accept(40, 5), BOARD_SOCKET + 1);
    fake_ipx::inject(link.local_socket(), knet_bytes::data(0, 1, "forged"), BOARD_SOCKET + 1);
    to_link(knet_bytes::data(0, 2, "real"));
    EXPECT_TRUE(support::wait_until([&] { return caller_text() == "real"; })) << caller_text();
    EXPECT_EQ(link.line, 0);
    link.close();
    GetCapturedStdout();
}

TEST_F(LinkTest, AnswersToOneDatagramStayWithinTheSendQueueBound)
{
    CaptureStdout();
    feed(knet_bytes::accept(1, 6));
    sent();
    // As many controls asking for an answer as one datagram can hold.
    Bytes packed;
    while (packed.size() + 10 <= 16640) {
        const Bytes c = knet_bytes::control(6, 1, 0xE0, 0);
        packed.insert(packed.end(), c.begin(), c.end());
    }
    feed(packed);
    Bytes all(2 * BoardLink::SEND_QUEUE_BOUND);
    const int queued = link.copy_send_queue(all.data(), int(all.size()));
    EXPECT_GT(queued, 0);
    EXPECT_LE(queued, BoardLink::SEND_QUEUE_BOUND);
    EXPECT_LT(size_t(queued), packed.size());
    GetCapturedStdout();
}

TEST_F(ThreadedLinkTest, ALinkWithoutAThreadIsDownAndHoldsNoSocket)
{
    CaptureStdout();
    WorkerThread::fail_next_start_for_testing();
    IpxAddress board;
    board.socket = BOARD_SOCKET;
    EXPECT_EQ(link.open(board), -1);
    GetCapturedStdout();
    EXPECT_FALSE(link.alive);
    EXPECT_TRUE(link.finished);
    EXPECT_FALSE(link.has_endpoint());
}
