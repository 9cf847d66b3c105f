// The connection dispatcher in this process, on a real IPX network: a relay
// on loopback, the adapter's stack with the SAP agent, a simulated board host
// on a second stack, and callers over TCP. The tests read the figures the
// status page shows from the statistics board.
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <string>
#include <thread>

#include "app/main_loop.h"
#include "port/host_description.h"
#include "stats/statistics_board.h"
#include "port/worker_thread.h"
#include "link/board_settings.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "sap/sap_agent.h"
#include "calls/call_table.h"
#include "telnet/telnet_listener.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/board_thread.h"
#include "tests/support/free_port.h"
#include "tests/support/ipx_network.h"
#include "tests/support/loopback_caller.h"
#include "tests/support/temp_dir.h"
#include "tests/support/wait_until.h"
#include "tools/sap_announcer/sap_announcer.h"

using namespace support;

namespace {

const std::string LINE_1 = connected_text(1);

// The board's figures as on_board last copied them.
StatusFigures figures;

// Reads a copy of the board's figures, as the status page does.
template <typename Read>
auto on_board(Read read)
{
    figures = stats_board.figures();
    return read();
}

std::string line_address(int line)
{
    return on_board([&] { return std::string(figures.lines[line - 1].address); });
}

int line_state(int line)
{
    return on_board([&] { return figures.lines[line - 1].state; });
}

// A lookup that answers only once the test lets it, so the line table can be
// seen before and after the caller's name is known.
std::atomic<bool> lookup_released{false};
std::atomic<int> lookups_started{0};

bool lookup_when_released(const TcpAddress&, std::string& name)
{
    ++lookups_started;
    wait_until([] { return lookup_released.load(); }, std::chrono::seconds(30));
    name = "caller.example";
    return true;
}

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override
    {
        describe_host();
        stats_board.clear();
        CallerSession::set_name_lookup(lookup_fails);
        lookup_released = false;
        lookups_started = 0;

        ASSERT_TRUE(start_network(relay, {&ipx_stack(), &board_stack}));
        // The links the dispatcher makes use the process-wide stack, and so
        // does the agent.
        sap_agent.set_stack(&ipx_stack());
        ASSERT_EQ(sap_agent.init(), 0);
        sap_agent.add_query(BOARD_SERVICE_TYPE);
        agent_started = true;
        server.counters_path = dir.file("orva.dat");
    }

    void TearDown() override
    {
        lookup_released = true;
        stop_dispatcher();
        board.reset();
        if (announcer) {
            // Going down is announced, so the next test starts with no server.
            announcer->stop();
            EXPECT_TRUE(wait_until([] { return sap_agent.server_count() == 0; }));
        }
        if (agent_started)
            sap_agent.shutdown();
        ipx_stack().stop();
        board_stack.stop();
        relay.stop();
        CallerSession::set_name_lookup(nullptr);
    }

    // A board host with these options, announced until the agent knows it.
    void start_board(BoardOptions options)
    {
        board = std::make_unique<BoardThread>(options, &board_stack);
        announcer = std::make_unique<SapAnnouncer>(&board_stack);
        IpxAddress address = board_stack.local_address();
        address.socket = board->host.socket_number();
        announcer->add_server("KELB", address);
        ASSERT_EQ(announcer->start(), 0);
        IpxAddress found{};
        ASSERT_TRUE(wait_until([&] {
            announcer->poll();
            return sap_agent.find_server("KELB", found);
        }));
    }

    // Listens and runs passes on a thread of its own, as the main loop does.
    void start_dispatcher(const AccessSettings& access = {}, const BoardSettings& board = {},
                          const CallSettings& limits = {})
    {
        ASSERT_EQ(server.init(AccessPolicy(access), board, limits), 0);
        auto telnet = std::make_unique<TelnetListener>();
        ASSERT_EQ(telnet->open("127.0.0.1", port), 0);
        server.add_listener(std::move(telnet));
        loop = std::thread([this] {
            MainLoop main_loop(server, nullptr);
            while (!stop_loop)
                main_loop.pass();
        });
        // One pass has posted the threads in use before any caller.
        ASSERT_TRUE(wait_until([] { return on_board([] { return figures.threads_used; }) > 0; }));
        baseline_threads = on_board([] { return figures.threads_used; });
    }

    void stop_dispatcher()
    {
        if (loop.joinable()) {
            stop_loop = true;
            server.wake_up();
            loop.join();
        }
        server.shutdown();
    }

    bool threads_back_to_baseline()
    {
        return wait_until([&] { return on_board([] { return figures.threads_used; }) == baseline_threads; });
    }

    // Connects and reads what the adapter sends before the board's own bytes.
    std::unique_ptr<LoopbackCaller> call_line(const std::string& expected_line_text = LINE_1)
    {
        auto caller = std::make_unique<LoopbackCaller>(port);
        EXPECT_TRUE(caller->connected());
        std::string head = OPTIONS + GREETING + expected_line_text;
        EXPECT_EQ(caller->receive(head.size()), head);
        return caller;
    }

    // A caller who is refused: everything up to the close.
    std::string refused_caller()
    {
        LoopbackCaller caller(port);
        bool closed = false;
        std::string got = caller.receive_until_closed(closed);
        EXPECT_TRUE(closed);
        return got;
    }

    support::TempDir dir;
    IpxRelay relay;
    IpxStack board_stack;
    std::unique_ptr<BoardThread> board;
    std::unique_ptr<SapAnnouncer> announcer;
    bool agent_started = false;
    CallTable server;
    int port = support::free_tcp_port();
    std::thread loop;
    std::atomic<bool> stop_loop{false};
    int baseline_threads = 0;
};

TEST_F(Dispatcher, EveryCallerRefusedForDowntimeCountsOnce)
{
    start_dispatcher();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(refused_caller(), OPTIONS + GREETING + DOWN_TEXT);
        EXPECT_TRUE(wait_until([&] { return on_board([] { return figures.last_session; }) == n; })) << n;
        EXPECT_EQ(on_board([] { return figures.calls_lost_downtime; }), n);
    }
    EXPECT_TRUE(threads_back_to_baseline());
    on_board([] {
        EXPECT_EQ(figures.calls_lost_busy, 0) << "downtime is not busy";
        EXPECT_EQ(figures.total_connections, 3);
        EXPECT_EQ(figures.next_session, 4);
        for (int i = 0; i < LINE_COUNT; ++i)
            EXPECT_EQ(figures.lines[i].state, LINE_IDLE) << "line " << i + 1;
        return 0;
    });
}

TEST_F(Dispatcher, CallerRefusedByAccessControlTakesNoSessionCountOrThread)
{
    AccessSettings settings;
    std::string bad;
    ASSERT_TRUE(parse_address_list("127.0.0.1", settings.deny, bad));
    start_dispatcher(settings);
    EXPECT_EQ(refused_caller(), "");
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.callers_refused; }) == 1u; }));
    on_board([&] {
        EXPECT_EQ(figures.total_connections, 0);
        EXPECT_EQ(figures.next_session, 1);
        EXPECT_EQ(figures.threads_used, baseline_threads);
        return 0;
    });
}

TEST_F(Dispatcher, CallerWhoseSessionCannotStartIsRefusedAndTakesNothing)
{
    AccessSettings settings;
    settings.max_per_address = 1;
    start_dispatcher(settings);
    testing::internal::CaptureStdout();
    WorkerThread::fail_next_start_for_testing();
    EXPECT_EQ(refused_caller(), "");
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.callers_refused; }) == 1u; }));
    on_board([&] {
        EXPECT_EQ(figures.total_connections, 0);
        EXPECT_EQ(figures.next_session, 1);
        return 0;
    });
    // Its admission was taken back: one call at once from the address is
    // still free, and it is session 1.
    EXPECT_EQ(refused_caller(), OPTIONS + GREETING + DOWN_TEXT);
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 1; }));
    std::fflush(stdout);
    const std::string printed = testing::internal::GetCapturedStdout();
    EXPECT_NE(printed.find("Refused 127.0.0.1: session could not start (out of descriptors or threads)\n"),
              std::string::npos)
        << printed;
    EXPECT_NE(printed.find("[1] Connection: 127.0.0.1\n"), std::string::npos) << printed;
}

TEST_F(Dispatcher, EveryCallerRefusedAsBusyCountsExactlyOnce)
{
    BoardOptions options;
    options.busy = true;
    start_board(options);
    start_dispatcher();
    for (int n = 1; n <= 3; ++n) {
        EXPECT_EQ(refused_caller(), OPTIONS + GREETING + BUSY_TEXT);
        // Once the call is gone nothing more can be counted for it.
        EXPECT_TRUE(wait_until([&] { return on_board([] { return figures.last_session; }) == n; })) << n;
        EXPECT_TRUE(threads_back_to_baseline()) << n;
        EXPECT_EQ(on_board([] { return figures.calls_lost_busy; }), n);
    }
    EXPECT_EQ(on_board([] { return figures.calls_lost_downtime; }), 0) << "busy is not downtime";
}

// A board host that never answers: the caller is told it is down once the
// silence limit has passed, and the call counts as lost to downtime, once.
TEST_F(Dispatcher, ACallEndedBySilenceCountsAsLostToDowntime)
{
    BoardSettings quick;
    quick.silence_s = 1;
    BoardOptions options;
    options.silent = true;
    start_board(options);
    start_dispatcher({}, quick);
    EXPECT_EQ(refused_caller(), OPTIONS + GREETING + DOWN_TEXT);
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.calls_lost_downtime; }) == 1; }));
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 1; }));
    EXPECT_EQ(on_board([] { return figures.calls_lost_downtime; }), 1);
}

TEST_F(Dispatcher, CallerRefusedWhileTheOnlyLineIsTakenLeavesThatLineAlone)
{
    BoardOptions options;
    options.lines = 1;
    options.echo_only = true;
    start_board(options);
    start_dispatcher();
    auto first = call_line();
    ASSERT_TRUE(wait_until([] { return line_state(1) == LINE_CONNECTED && line_address(1) == "[127.0.0.1]"; }));

    EXPECT_EQ(refused_caller(), OPTIONS + GREETING + BUSY_TEXT);
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 2; }));
    on_board([] {
        EXPECT_EQ(figures.calls_lost_busy, 1);
        EXPECT_EQ(figures.lines[0].state, LINE_CONNECTED);
        EXPECT_STREQ(figures.lines[0].address, "[127.0.0.1]");
        return 0;
    });
    // The first caller is still served.
    first->send("still here");
    EXPECT_EQ(first->receive(10), "still here");

    first->hang_up();
    EXPECT_TRUE(wait_until([] { return line_state(1) == LINE_IDLE; }));
    EXPECT_TRUE(threads_back_to_baseline());
    EXPECT_EQ(on_board([] { return figures.calls_lost_busy; }), 1);
}

TEST_F(Dispatcher, ThroughputCountsCallerBytesAfterCommandsAndBoardBytesBeforeDoubling)
{
    BoardOptions options;
    options.echo_only = true;
    start_board(options);
    start_dispatcher();
    uint32_t input = 0;
    uint32_t output = 0;
    auto take = [&] {
        const StatusFigures refresh = stats_board.take_refresh();
        input += refresh.refresh_input_bytes;
        output += refresh.refresh_output_bytes;
    };

    auto caller = call_line();
    ASSERT_TRUE(wait_until([&] {
        take();
        return output == LINE_1.size();
    })) << output;
    EXPECT_EQ(input, 0u);

    // IAC DO ECHO is dropped, IAC IAC is one byte 255: 9 bytes reach the
    // board, and its echo of them comes back with the 255 doubled.
    caller->send(std::string("hi\xFF\xFD\x01there\xFF\xFF!", 13));
    EXPECT_EQ(caller->receive(10), std::string("hithere\xFF\xFF!", 10));
    ASSERT_TRUE(wait_until([&] {
        take();
        return input == 9 && output == LINE_1.size() + 9;
    })) << input << " in, " << output << " out";

    // More than one Data packet each way, every byte a 255.
    caller->send(std::string(2 * 1500, '\xFF'));
    EXPECT_EQ(caller->receive(2 * 1500), std::string(2 * 1500, '\xFF'));
    ASSERT_TRUE(wait_until([&] {
        take();
        return input == 9 + 1500 && output == LINE_1.size() + 9 + 1500;
    })) << input << " in, " << output << " out";

    caller->hang_up();
    EXPECT_TRUE(threads_back_to_baseline());
    take();
    EXPECT_EQ(input, 9u + 1500u);
    EXPECT_EQ(output, LINE_1.size() + 9 + 1500);
}

TEST_F(Dispatcher, CountersFileTotalSessionsAndLineTableFollowTheCall)
{
    dir.write("orva.dat", std::string("\x29\x00", 2)); // 41
    BoardOptions options;
    options.echo_only = true;
    start_board(options);
    start_dispatcher();
    on_board([] {
        EXPECT_EQ(figures.total_connections, 41);
        EXPECT_EQ(figures.next_session, 1);
        EXPECT_EQ(figures.lines[0].state, LINE_IDLE);
        return 0;
    });

    auto caller = call_line();
    ASSERT_TRUE(wait_until([] { return line_state(1) == LINE_CONNECTED && line_address(1) == "[127.0.0.1]"; }))
        << line_address(1);
    // A caller's I/O thread and the link's thread. The count is posted at
    // the end of a pass, which may be the pass that showed the line.
    EXPECT_TRUE(wait_until([&] { return on_board([] { return figures.threads_used; }) > baseline_threads; }));
    on_board([&] {
        EXPECT_EQ(figures.total_connections, 42);
        EXPECT_EQ(figures.next_session, 2);
        EXPECT_EQ(figures.last_session, 0) << "no call has ended yet";
        for (int i = 1; i < LINE_COUNT; ++i)
            EXPECT_EQ(figures.lines[i].state, LINE_IDLE) << "line " << i + 1;
        return 0;
    });

    // The sequence numbers of the line follow the data both ways.
    caller->send("abc");
    EXPECT_EQ(caller->receive(3), "abc");
    EXPECT_TRUE(wait_until([] {
        return on_board([] { return figures.lines[0].seq_in == 1 && figures.lines[0].seq_out >= 1; });
    }));

    caller->hang_up();
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 1; }));
    EXPECT_EQ(line_state(1), LINE_IDLE);
    EXPECT_TRUE(threads_back_to_baseline());
    EXPECT_EQ(on_board([] { return figures.next_session; }), 2);

    stop_dispatcher();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x2A\x00", 2)); // 42
}

TEST_F(Dispatcher, SixteenBitTotalAndSessionNumbersWrapToZero)
{
    dir.write("orva.dat", std::string("\xFF\xFF", 2));
    server.session_counter = 65535;
    start_dispatcher();
    // Not a value the call can leave behind, so its own number shows.
    stats_board.update([&](StatusFigures& f) { f.last_session = 77; });

    EXPECT_EQ(refused_caller(), OPTIONS + GREETING + DOWN_TEXT);
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 0; }));
    on_board([] {
        EXPECT_EQ(figures.total_connections, 0);
        EXPECT_EQ(figures.next_session, 1);
        return 0;
    });
    stop_dispatcher();
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x00\x00", 2));
}

TEST_F(Dispatcher, LineGoesIdleWhenTheBoardEndsTheCall)
{
    BoardOptions options;
    options.echo_only = true;
    options.hangup_after_ms = 300;
    start_board(options);
    start_dispatcher();

    LoopbackCaller caller(port);
    bool closed = false;
    std::string got = caller.receive_until_closed(closed);
    EXPECT_TRUE(closed);
    EXPECT_EQ(got, OPTIONS + GREETING + LINE_1 + "\r\nTime is up.\r\n");
    EXPECT_TRUE(wait_until([] { return on_board([] { return figures.last_session; }) == 1; }));
    EXPECT_EQ(line_state(1), LINE_IDLE);
    EXPECT_TRUE(threads_back_to_baseline());
    on_board([] {
        EXPECT_EQ(figures.calls_lost_busy, 0);
        EXPECT_EQ(figures.calls_lost_downtime, 0);
        return 0;
    });
}

TEST_F(Dispatcher, LineShowsTheDottedAddressUntilTheNameIsKnown)
{
    CallerSession::set_name_lookup(lookup_when_released);
    BoardOptions options;
    options.echo_only = true;
    start_board(options);
    start_dispatcher();

    auto caller = call_line();
    ASSERT_TRUE(wait_until([] { return line_state(1) == LINE_CONNECTED; }));
    EXPECT_EQ(line_address(1), "127.0.0.1");
    // Its thread may not have run yet; once it has, it waits for the test.
    EXPECT_TRUE(wait_until([] { return lookups_started.load() == 1; })) << "the lookup is still under way";
    // Data flows while the name is looked up.
    caller->send("x");
    EXPECT_EQ(caller->receive(1), "x");
    EXPECT_EQ(line_address(1), "127.0.0.1");

    lookup_released = true;
    EXPECT_TRUE(wait_until([] { return line_address(1) == "caller.example"; })) << line_address(1);
    EXPECT_EQ(line_state(1), LINE_CONNECTED);

    caller->hang_up();
    EXPECT_TRUE(wait_until([] { return line_state(1) == LINE_IDLE; }));
    EXPECT_TRUE(threads_back_to_baseline());
}

}

// Call limits on a time base of one second to the minute: a caller that
// keeps typing is warned and told its time is up; a silent one is told it
// was idle; each call ends as a hang-up does, freeing the board's only line.
TEST_F(Dispatcher, CallsPastTheirTimeAreToldAndEndedAndTheirLineIsFreed)
{
    BoardOptions options;
    options.lines = 1;
    options.echo_only = true;
    start_board(options);
    CallSettings limits;
    limits.minute_ms = 1000;
    limits.idle_minutes = 3;
    limits.longest_minutes = 5;
    start_dispatcher({}, {}, limits);
    const std::string idle = "You have been idle too long. Goodbye.\r\n";
    const std::string warning = "One minute left.\r\n";
    const std::string time_up = "Your time is up. Goodbye.\r\n";

    // The call's clock starts when ORVA takes the connection, so ours starts
    // before we connect: the greeting takes time to read.
    const auto joined = std::chrono::steady_clock::now();
    auto typist = call_line();
    std::string got;
    bool closed = false;
    // A byte every quarter second keeps it from being idle.
    while (!closed && std::chrono::steady_clock::now() - joined < 30s) {
        try {
            typist->send(".");
        } catch (const std::exception&) {
        }
        got += typist->receive_until_closed(closed, 250ms);
    }
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - joined, 5s - 5ms);
    EXPECT_EQ(got.find(idle), std::string::npos) << got;
    ASSERT_NE(got.find(warning), std::string::npos) << got;
    EXPECT_EQ(got.substr(got.size() - time_up.size()), time_up);
    EXPECT_EQ(got.find_first_not_of('.'), got.find(warning)) << "echoes, the warning, echoes, the end: " << got;

    // The line is free again: the board was told as by a hang-up.
    std::unique_ptr<LoopbackCaller> silent;
    const std::string head = OPTIONS + GREETING + LINE_1;
    std::chrono::steady_clock::time_point silent_joined;
    ASSERT_TRUE(wait_until([&] {
        silent_joined = std::chrono::steady_clock::now();
        silent = std::make_unique<LoopbackCaller>(port);
        return silent->receive(head.size(), 2s) == head;
    }, 20s));
    EXPECT_EQ(silent->receive_until_closed(closed, 20s), idle);
    EXPECT_TRUE(closed);
    EXPECT_GE(std::chrono::steady_clock::now() - silent_joined, 3s - 5ms);
    EXPECT_TRUE(wait_until([&] {
        LoopbackCaller again(port);
        return again.receive(head.size(), 2s) == head;
    }, 20s));
}
