#include "calls/caller_session.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>
#include <sys/resource.h>

#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "telnet/telnet_transport.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/loopback_caller.h"

using namespace support;
using support::wait_until;

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

std::unique_ptr<CallerTransport> telnet(std::unique_ptr<TcpSocket> socket, Charset charset = Charset::Cp437)
{
    return socket ? std::make_unique<TelnetTransport>(std::move(socket), charset) : nullptr;
}

std::string queue_text(const ByteQueue& q)
{
    return std::string(reinterpret_cast<const char*>(q.head()), size_t(q.size()));
}

class CallerSessionTest : public ::testing::Test {
protected:
    void SetUp() override { CallerSession::set_name_lookup(lookup_fails); }
    void TearDown() override { CallerSession::set_name_lookup(nullptr); }

    // A connected caller and its started session.
    std::unique_ptr<CallerSession> connect(LoopbackCaller& caller, int number = 1,
                                           Charset charset = Charset::Cp437)
    {
        EXPECT_TRUE(caller.connected());
        auto accepted = listener.accept_next();
        EXPECT_NE(accepted, nullptr);
        auto session = std::make_unique<CallerSession>();
        session->start(telnet(std::move(accepted), charset), number);
        session->look_up_name();
        // Every session opens with Telnet's announcements.
        EXPECT_EQ(caller.receive(OPTIONS.size()), OPTIONS);
        return session;
    }

    // Takes input until the destination holds count bytes (or time is up).
    std::string take_until(CallerSession& session, size_t count)
    {
        wait_until([&] {
            session.take_input(relay);
            return size_t(relay.size()) >= count;
        });
        return queue_text(relay);
    }

    TestListener listener;
    ByteQueue relay{1024, 128, 256};
};

TEST_F(CallerSessionTest, TelnetCommandsAreDroppedAndDataPasses)
{
    LoopbackCaller caller(listener.port());
    auto session = connect(caller);
    // IAC DO ECHO is dropped whole, IAC IAC is one 255, IAC SB and IAC SE
    // are dropped as pairs while what lies between passes as data.
    caller.send(bytes({'a', 255, 253, 1, 'b', 255, 255, 'c', 255, 250, 24, 'x', 'y', 255, 240}) +
                std::string("\r\n\0z", 4));
    std::string expected = bytes({'a', 'b', 255, 'c', 24, 'x', 'y', '\r', '\n', 0, 'z'});
    EXPECT_EQ(take_until(*session, expected.size()), expected);

    // Nothing was answered: the caller gets only the close.
    session->disconnect();
    bool closed = false;
    EXPECT_EQ(caller.receive_until_closed(closed), "");
    EXPECT_TRUE(closed);
}

TEST_F(CallerSessionTest, CommandsSplitAcrossSegmentsWaitForTheirRest)
{
    LoopbackCaller caller(listener.port());
    auto session = connect(caller);

    caller.send(bytes({'x', 255, 251}));
    ASSERT_EQ(take_until(*session, 1), "x");
    caller.send(bytes({1, 'y'}));
    ASSERT_EQ(take_until(*session, 2), "xy");

    caller.send(bytes({'p', 255}));
    ASSERT_EQ(take_until(*session, 3), "xyp");
    caller.send(bytes({255, 'q'}));
    EXPECT_EQ(take_until(*session, 5), bytes({'x', 'y', 'p', 255, 'q'}));
    session->disconnect();
}

TEST_F(CallerSessionTest, OutputKeepsOrderAndDoublesDataBytes255)
{
    LoopbackCaller caller(listener.port());
    auto session = connect(caller);
    EXPECT_EQ(session->print("ORVA v%s Connected.\r\n", "1.0"), 22);
    const uint8_t data[] = {'A', 255, 'B', 255, 255};
    session->write(data, sizeof data);

    std::string expected = std::string("ORVA v1.0 Connected.\r\n") +
                           bytes({'A', 255, 255, 'B', 255, 255, 255, 255});
    EXPECT_EQ(caller.receive(expected.size()), expected);
    session->disconnect();
}

// A UTF-8 caller: Telnet's commands come out before the translation, so a
// character cut by a command still arrives whole.
TEST_F(CallerSessionTest, Utf8CharacterCutByATelnetCommandArrivesWhole)
{
    LoopbackCaller caller(listener.port());
    auto session = connect(caller, 1, Charset::Utf8);
    caller.send(bytes({0xC3}));
    caller.send(bytes({255, 253, 1, 0xA9, 'x', 0xE2, 0x96}));
    ASSERT_EQ(take_until(*session, 2), "\x82x");
    caller.send(bytes({0x91, '\r'}));
    EXPECT_EQ(take_until(*session, 4), "\x82x\xB0\r");
    session->disconnect();
}

TEST_F(CallerSessionTest, TextQueuedJustBeforeDisconnectArrivesBeforeTheClose)
{
    LoopbackCaller caller(listener.port());
    testing::internal::CaptureStdout();
    auto session = connect(caller, 7);
    // Option answers the adapter never reads must not turn the close into a
    // reset that loses the text.
    caller.send(bytes({255, 253, 3, 255, 251, 0}));
    const char* refusal = "\r\nKELB is currently down.  Please try back later.\r\n";
    session->print("%s", refusal);
    session->disconnect();
    session->disconnect();
    std::fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();

    bool closed = false;
    EXPECT_EQ(caller.receive_until_closed(closed), refusal);
    EXPECT_TRUE(closed);
    EXPECT_NE(printed.find("[7] Connection: 127.0.0.1\n"), std::string::npos) << printed;
    EXPECT_EQ(support::count_of(printed, "[7] Disconnected.\n"), 1u) << printed;
    EXPECT_FALSE(session->connected);
}

TEST_F(CallerSessionTest, HangUpIsReportedThroughTheFlags)
{
    LoopbackCaller caller(listener.port());
    auto session = connect(caller);
    ASSERT_TRUE(wait_until([&] { return session->address_text() != nullptr &&
                                        std::string(session->address_text()) == "[127.0.0.1]"; }));
    session->changed = false;
    EXPECT_TRUE(session->connected);

    caller.hang_up();
    EXPECT_TRUE(wait_until([&] { return !session->connected; }));
    EXPECT_TRUE(session->changed);
    session->close_if_open();
    // The looked-up text outlives the connection.
    EXPECT_STREQ(session->address_text(), "[127.0.0.1]");
}

std::atomic<bool> lookup_entered{false};
std::atomic<bool> lookup_release{false};
std::atomic<bool> lookup_finished{false};

bool gated_lookup(const TcpAddress&, std::string& name)
{
    lookup_entered = true;
    // Bounded, so a broken test cannot hang the suite.
    wait_until([] { return lookup_release.load(); }, 20s);
    name = "slow.example";
    lookup_finished = true;
    return true;
}

// A session ends without waiting for its lookup; the name that comes
// afterwards is dropped with what the lookup shared with the session. The
// lookup's thread counts among the threads used exactly while it runs.
TEST_F(CallerSessionTest, SessionEndsWithoutWaitingForALookupUnderWay)
{
    const int before = live_worker_count;
    CallerSession::set_name_lookup(gated_lookup);
    LoopbackCaller caller(listener.port());
    auto session = connect(caller);
    ASSERT_TRUE(wait_until([] { return lookup_entered.load(); }));
    EXPECT_STREQ(session->address_text(), "127.0.0.1");
    EXPECT_EQ(live_worker_count, before + 2);

    caller.hang_up();
    ASSERT_TRUE(wait_until([&] { return !session->connected; }));
    session->close_if_open();
    session.reset();
    // Had the session waited, the lookup would be over by now.
    EXPECT_FALSE(lookup_finished);
    EXPECT_EQ(live_worker_count, before + 1);

    lookup_release = true;
    EXPECT_TRUE(wait_until([] { return lookup_finished.load(); }));
    EXPECT_TRUE(wait_until([&] { return live_worker_count == before; }));

    // A later session's lookup that ends while it is connected is seen, and
    // its thread is counted out without the dispatcher looking.
    CallerSession::set_name_lookup(lookup_answers_caller_example);
    LoopbackCaller second(listener.port());
    auto next = connect(second, 2);
    EXPECT_TRUE(wait_until([&] { return next->address_text() != nullptr &&
                                        std::string(next->address_text()) == "caller.example"; }));
    EXPECT_TRUE(wait_until([&] { return live_worker_count == before + 1; })) << live_worker_count;
    next->close_if_open();
}

// A disconnect that waited on a caller who does not read would last at
// least the stall limit, or for ever.
constexpr auto QUICKER_THAN_A_STALL = std::chrono::milliseconds(CallerSession::STALL_LIMIT_MS / 2);

TEST_F(CallerSessionTest, PartialSendsKeepTheRestQueuedInOrder)
{
    LoopbackCaller caller(listener.port(), 4096);
    auto session = connect(caller);
    std::string sent;
    for (int chunk = 0; chunk < 12; chunk++) {
        std::vector<uint8_t> data(65536);
        for (size_t i = 0; i < data.size(); i++)
            data[i] = uint8_t((chunk * 65536 + i) * 7 % 251);
        session->write(data.data(), int32_t(data.size()));
        sent.append(data.begin(), data.end());
    }
    std::string got = caller.receive(sent.size(), 30s);
    ASSERT_EQ(got.size(), sent.size());
    EXPECT_TRUE(got == sent);
    EXPECT_TRUE(session->connected);
    session->disconnect();
}

TEST_F(CallerSessionTest, DisconnectDoesNotWaitForACallerWhoStoppedReading)
{
    LoopbackCaller caller(listener.port(), 4096);
    auto session = connect(caller);
    std::vector<uint8_t> data(768 * 1024, 'A');
    session->write(data.data(), int32_t(data.size()));
    EXPECT_TRUE(session->connected);

    auto t0 = std::chrono::steady_clock::now();
    session->disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, QUICKER_THAN_A_STALL);

    // What did get out is an unbroken prefix, and then the line closes.
    bool closed = false;
    std::string got = caller.receive_until_closed(closed);
    EXPECT_TRUE(closed);
    EXPECT_LE(got.size(), data.size());
    EXPECT_EQ(got.find_first_not_of('A'), std::string::npos);
}

// Out of threads or descriptors, a session turns its caller away at once:
// nothing printed, the connection closed, no thread left waiting.
TEST_F(CallerSessionTest, SessionWithoutItsThreadOrWakeDescriptorDoesNotStart)
{
    for (bool no_descriptor : {false, true}) {
        LoopbackCaller caller(listener.port());
        auto accepted = listener.accept_next();
        ASSERT_NE(accepted, nullptr);
        std::unique_ptr<CallerSession> session;
        if (no_descriptor) {
            // The session's wake event gets no descriptor.
            ASSERT_TRUE(support::without_free_descriptors([&] { session = std::make_unique<CallerSession>(); }));
        } else {
            session = std::make_unique<CallerSession>();
            WorkerThread::fail_next_start_for_testing();
        }
        testing::internal::CaptureStdout();
        EXPECT_EQ(session->start(telnet(std::move(accepted)), 7), -1) << no_descriptor;
        EXPECT_EQ(testing::internal::GetCapturedStdout().find("Connection"), std::string::npos);
        EXPECT_FALSE(session->connected);
        bool closed = false;
        EXPECT_EQ(caller.receive_until_closed(closed), "");
        EXPECT_TRUE(closed) << no_descriptor;
        session.reset();
    }
}

long peak_rss_kib()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

TEST_F(CallerSessionTest, CallerWhoNeverReadsIsDroppedWithoutStallingOthers)
{
    LoopbackCaller stuck(listener.port(), 4096);
    auto stuck_session = connect(stuck, 1);
    LoopbackCaller other(listener.port());
    auto other_session = connect(other, 2);

    long before = peak_rss_kib();
    // 10 MiB of 0xFF would queue 20 MiB if nothing bounded it.
    std::vector<uint8_t> chunk(65536, 255);
    for (int i = 0; i < 160; i++)
        stuck_session->write(chunk.data(), int32_t(chunk.size()));
    long grown_kib = peak_rss_kib() - before;
    std::printf("peak RSS growth while writing 10 MiB: %ld KiB\n", grown_kib);
    EXPECT_LT(grown_kib, 12 * 1024);
    EXPECT_TRUE(wait_until([&] { return !stuck_session->connected; }));

    other_session->print("still here\r\n");
    EXPECT_EQ(other.receive(12), "still here\r\n");
    other.send("hi");
    EXPECT_EQ(take_until(*other_session, 2), "hi");

    auto t0 = std::chrono::steady_clock::now();
    stuck_session->disconnect();
    EXPECT_LT(std::chrono::steady_clock::now() - t0, QUICKER_THAN_A_STALL);
    other_session->disconnect();
}



// True once the event is signalled within the time; takes the signal back.
bool signalled_within(WakeEvent& event, std::chrono::milliseconds limit)
{
    pollfd p{event.descriptor(), POLLIN, 0};
    const bool seen = ::poll(&p, 1, int(limit.count())) == 1;
    event.clear();
    return seen;
}

// The session wakes whoever waits on its events: the name, the drain and
// the hang-up; and output queued while the I/O thread sleeps goes out at
// once.
TEST_F(CallerSessionTest, EveryEventWakesTheDispatcher)
{
    CallerSession::set_name_lookup([](const TcpAddress&, std::string& name) {
        name = "caller.example";
        return true;
    });
    auto wake = std::make_shared<WakeEvent>();
    LoopbackCaller caller(listener.port());
    auto accepted = listener.accept_next();
    ASSERT_NE(accepted, nullptr);
    CallerSession session;
    session.notify(std::make_shared<CallSignal>(wake));
    session.start(telnet(std::move(accepted)), 1);
    session.look_up_name();
    EXPECT_EQ(caller.receive(OPTIONS.size()), OPTIONS);

    ASSERT_TRUE(wait_until([&] { return signalled_within(*wake, 10ms) && session.check_lookup(); }));
    EXPECT_STREQ(session.address_text(), "caller.example");
    EXPECT_FALSE(session.check_lookup()); // news once

    caller.send("k");
    EXPECT_EQ(take_until(session, 1), "k");

    session.print("echo");
    EXPECT_EQ(caller.receive(4), "echo");
    session.wake_when_drained();
    EXPECT_TRUE(signalled_within(*wake, 2000ms));

    caller.hang_up();
    EXPECT_TRUE(signalled_within(*wake, 2000ms));
    EXPECT_FALSE(session.connected);
    session.disconnect();
}

// A stop given at any moment of the I/O thread's cycle ends it: none waits
// for an event that has already come.
TEST_F(CallerSessionTest, SessionsStoppedAtOnceAllEnd)
{
    for (int i = 0; i < 200; ++i) {
        LoopbackCaller caller(listener.port());
        auto session = connect(caller, i);
        if (i % 2)
            session->print("x");
        session->disconnect();
        EXPECT_FALSE(session->connected);
    }
}

}

namespace {

// Telnet that is not ready until the test says so, as an SSH caller is not
// until its shell opens: the character set is known only then.
class LateTransport : public TelnetTransport {
public:
    LateTransport(std::unique_ptr<TcpSocket> socket, std::atomic<bool>& ready)
        : TelnetTransport(std::move(socket), Charset::Utf8), ready_(ready) {}
    bool ready() const override { return ready_; }

private:
    std::atomic<bool>& ready_;
};

}

TEST_F(CallerSessionTest, BoardBytesWaitUntilTheTransportIsReadyAndAreThenTranslated)
{
    LoopbackCaller caller(listener.port());
    auto accepted = listener.accept_next();
    ASSERT_NE(accepted, nullptr);
    std::atomic<bool> ready{false};
    CallerSession session;
    ASSERT_EQ(session.start(std::make_unique<LateTransport>(std::move(accepted), ready), 1), 0);
    EXPECT_EQ(caller.receive(OPTIONS.size()), OPTIONS);

    // Not taken (the link keeps them) while the character set is unknown.
    const uint8_t box[] = {0xB3};
    EXPECT_FALSE(session.take_board_bytes(box, 1));
    EXPECT_FALSE(session.ready());

    // The I/O thread sees the change at its next wake: the caller's byte.
    ready = true;
    caller.send("x");
    ASSERT_TRUE(wait_until([&] { return session.ready(); }));
    EXPECT_TRUE(session.take_board_bytes(box, 1));
    EXPECT_EQ(caller.receive(3), "\u2502");
    session.disconnect();
}
