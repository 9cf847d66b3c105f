#include "calls/call_table.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "stats/statistics_board.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/loopback_caller.h"
#include "telnet/telnet_listener.h"
#include "telnet/telnet_transport.h"

using namespace support;

namespace {

class CallTableTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.counters_path = dir.file("orva.dat");
        CallerSession::set_name_lookup(lookup_fails);
    }
    void TearDown() override { CallerSession::set_name_lookup(nullptr); }

    // The calls' init, and a Telnet listener on address and port handed to
    // them when it opens; what they printed.
    std::string init_output(const char* address, int port, int& result)
    {
        testing::internal::CaptureStdout();
        server.init();
        auto opened = std::make_unique<TelnetListener>();
        result = opened->open(address, port);
        listener = opened.get();
        if (result == 0)
            server.add_listener(std::move(opened));
        else
            listener = nullptr;
        std::fflush(stdout);
        return testing::internal::GetCapturedStdout();
    }

    // The next caller on the listener, as a Telnet caller.
    std::unique_ptr<CallerTransport> accept_telnet()
    {
        if (!support::wait_until([&] { return listener->caller_waiting(); }))
            return nullptr;
        return listener->accept();
    }

    support::TempDir dir;
    CallTable server;
    TelnetListener* listener = nullptr;
};

TEST_F(CallTableTest, PortInUseFailsAndShutdownRewritesTheTotalRead)
{
    TestListener holder;
    dir.write("orva.dat", std::string("\x2C\x01\x07", 3));
    int result = 0;
    EXPECT_EQ(init_output("127.0.0.1", holder.port(), result),
              "bind failed\nServer socket init failed\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(server.total_connections, 300);

    server.shutdown();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x2C\x01", 2));
}

TEST_F(CallTableTest, HostNameAsAddressFailsWithoutALookup)
{
    int result = 0;
    EXPECT_EQ(init_output("localhost", support::free_tcp_port(), result),
              "bind failed\nServer socket init failed\n");
    EXPECT_EQ(result, -1);
    server.shutdown();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\0\0", 2));
}

TEST_F(CallTableTest, ShutdownWithoutInitLeavesTheCountersFile)
{
    dir.write("orva.dat", std::string("\x05\x00\x07", 3));
    server.shutdown();
    server.shutdown();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x05\x00\x07", 3));
}

TEST_F(CallTableTest, ShutdownWithNoDescriptorLeftStillSavesTheTotal)
{
    dir.write("orva.dat", std::string("\x09\x00", 2));
    ASSERT_EQ(server.init(), 0);
    server.total_connections = 10;
    ASSERT_TRUE(support::without_free_descriptors([&] { server.shutdown(); }));
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x0A\x00", 2));
}

TEST_F(CallTableTest, InitListensOnEveryAddressAndShutdownClosesCallers)
{
    dir.write("orva.dat", std::string("\x29\x00", 2));
    int port = support::free_tcp_port();
    int result = -1;
    EXPECT_EQ(init_output("", port, result), "");
    ASSERT_EQ(result, 0);
    EXPECT_EQ(stats_board.figures().total_connections, 41);
    EXPECT_EQ(stats_board.figures().next_session, 1);
    EXPECT_STREQ(server.service_name, "KELB");

    LoopbackCaller caller(port);
    ASSERT_TRUE(caller.connected());
    auto accepted = accept_telnet();
    ASSERT_NE(accepted, nullptr);
    auto call = std::make_unique<Call>();
    call->session = std::make_unique<CallerSession>();
    testing::internal::CaptureStdout();
    call->session->start(std::move(accepted), 1);
    call->session->print("bye\r\n");
    server.calls.push_front(std::move(call));

    server.shutdown();
    std::fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("[1] Disconnected.\n"), std::string::npos) << printed;
    bool closed = false;
    EXPECT_EQ(caller.receive_until_closed(closed), OPTIONS + "bye\r\n");
    EXPECT_TRUE(closed);
    LoopbackCaller late(port);
    EXPECT_FALSE(late.connected());
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x29\x00", 2));
}

TEST_F(CallTableTest, AcceptThatCannotCompleteGivesNoConnection)
{
    TestListener listener;
    // Nothing waiting: no object, and no wait in accept.
    EXPECT_EQ(listener.socket.accept(), nullptr);

    LoopbackCaller caller(listener.port());
    ASSERT_TRUE(caller.connected());
    ASSERT_TRUE(support::wait_until([&] { return (listener.socket.poll() & PollReadable) != 0; }));

    // No descriptor left for accept.
    std::unique_ptr<TcpSocket> none;
    ASSERT_TRUE(support::without_free_descriptors([&] { none = listener.socket.accept(); }));
    EXPECT_EQ(none, nullptr);

    // The connection is still waiting and is taken once a descriptor is free.
    auto accepted = listener.accept_next();
    ASSERT_NE(accepted, nullptr);
    char dotted[TCP_ADDRESS_TEXT];
    tcp_address_text(accepted->address(), dotted);
    EXPECT_STREQ(dotted, "127.0.0.1");
}

TEST_F(CallTableTest, CallerThatPassesTheGateAndHangsUpBeforeTheNextPassIsNoRefusal)
{
    AccessSettings gate;
    gate.gate = true;
    server.init(AccessPolicy(gate));
    auto opened = std::make_unique<TelnetListener>();
    const int port = support::free_tcp_port();
    ASSERT_EQ(opened->open("127.0.0.1", port), 0);
    server.add_listener(std::move(opened));
    LoopbackCaller caller(port);
    testing::internal::CaptureStdout();
    ASSERT_TRUE(support::wait_until([&] { server.serve(); return !server.calls.empty(); }));
    CallerSession& session = *server.calls.front()->session;
    caller.send("\x1b\x1b");
    caller.hang_up();
    // Both seen by its I/O thread before the calls look again.
    ASSERT_TRUE(support::wait_until([&] { return session.gate_passed() && !session.connected; }));
    EXPECT_TRUE(support::wait_until([&] { server.serve(); return server.calls.empty(); }));
    server.shutdown();
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(printed.find("did not pass the gate"), std::string::npos) << printed;
}

std::string queue_text(const ByteQueue& q)
{
    return std::string(reinterpret_cast<const char*>(q.head()), size_t(q.size()));
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

#if defined(__SANITIZE_THREAD__)
// Over a thousand threads make the race detector take minutes; fewer callers
// behind a wall of spare descriptors still get handles above 1023.
constexpr int CALLERS = 100;
constexpr int FILLER_DESCRIPTORS = 1024;
#else
constexpr int CALLERS = 1100;
constexpr int FILLER_DESCRIPTORS = 0;
#endif

TEST_F(CallTableTest, MoreThan1024CallersAreServedAndShutDown)
{
    rlimit limit{};
    getrlimit(RLIMIT_NOFILE, &limit);
    rlim_t wanted = 2 * CALLERS + FILLER_DESCRIPTORS + 64;
    if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < wanted)
        GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is below " << wanted;
    rlimit raised = limit;
    raised.rlim_cur = std::max<rlim_t>(limit.rlim_cur, wanted);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);

    std::vector<int> fillers;
    for (int i = 0; i < FILLER_DESCRIPTORS; i++)
        fillers.push_back(dup(0));

    int port = support::free_tcp_port();
    int result = -1;
    init_output("127.0.0.1", port, result);
    ASSERT_EQ(result, 0);

    std::vector<std::unique_ptr<LoopbackCaller>> callers;
    std::vector<CallerSession*> sessions;
    int highest_handle = 0;
    testing::internal::CaptureStdout();
    auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < CALLERS; i++) {
        callers.push_back(std::make_unique<LoopbackCaller>(port));
        ASSERT_TRUE(callers.back()->connected()) << i;
        ASSERT_TRUE(support::wait_until([&] { return listener->caller_waiting(); }));
        std::unique_ptr<TcpSocket> socket = listener->socket()->accept();
        ASSERT_NE(socket, nullptr) << i;
        highest_handle = std::max(highest_handle, socket->handle());
        auto accepted = std::make_unique<TelnetTransport>(std::move(socket));
        auto call = std::make_unique<Call>();
        call->session = std::make_unique<CallerSession>();
        call->session->start(std::move(accepted), i + 1);
        sessions.push_back(call->session.get());
        server.calls.push_front(std::move(call));
    }
    double started = seconds_since(t0);
    EXPECT_GT(highest_handle, 1023);

    t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < CALLERS; i++) {
        sessions[i]->print("%d;", i);
        callers[i]->send("k");
    }
    int served = 0;
    for (int i = 0; i < CALLERS; i++) {
        std::string want = OPTIONS + std::to_string(i) + ";";
        bool out_ok = callers[i]->receive(want.size()) == want;
        ByteQueue in(128, 16, 4096);
        bool in_ok = support::wait_until([&] {
            sessions[i]->take_input(in);
            return in.size() >= 1;
        });
        served += out_ok && in_ok && queue_text(in) == "k";
    }
    double exchanged = seconds_since(t0);
    EXPECT_EQ(served, CALLERS);

    t0 = std::chrono::steady_clock::now();
    server.shutdown();
    double shut = seconds_since(t0);
    std::fflush(stdout);
    std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_EQ(support::count_of(printed, "Disconnected.\n"), size_t(CALLERS));
    bool all_closed = true;
    for (auto& caller : callers) {
        bool closed = false;
        caller->receive_until_closed(closed, 5s);
        all_closed = all_closed && closed;
    }
    EXPECT_TRUE(all_closed);
    std::printf("%d callers, highest handle %d: started in %.2f s, exchanged in %.2f s, "
                "shut down in %.2f s\n",
                CALLERS, highest_handle, started, exchanged, shut);
    callers.clear();
    server.calls.clear();
    for (int fd : fillers)
        close(fd);
    setrlimit(RLIMIT_NOFILE, &limit);
}

}
