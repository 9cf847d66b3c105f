// The simulator program on a relay in the test process: it sleeps between
// events, so what must still wake it is checked here (datagrams are checked
// by every test that talks to it).
#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <memory>
#include <string>

#include "port/host_description.h"
#include "link/knet_packet.h"
#include "sap/sap_agent.h"
#include "sap/sap_record.h"
#include "tests/support/child_process.h"
#include "tests/support/ipx_network.h"

namespace {

using namespace std::chrono_literals;

class BoardSimProcess : public testing::Test {
protected:
    void SetUp() override
    {
        describe_host();  // SAP sockets ask for broadcasts once the host is known
        ASSERT_TRUE(support::start_network(relay, {&listener}));
    }
    void TearDown() override
    {
        sim.reset();
        listener.stop();
        relay.stop();
    }

    void start_sim(std::vector<std::string> args)
    {
        args.insert(args.begin(),
                    {BOARD_SIM_BINARY, "--relay", "127.0.0.1:" + std::to_string(relay.address().port)});
        sim = std::make_unique<support::ChildProcess>(args);
        ASSERT_TRUE(sim->wait_for_out("IPX address: ")) << sim->out() << sim->err();
    }

    IpxRelay relay;
    IpxStack listener;
    std::unique_ptr<support::ChildProcess> sim;
};

}

TEST_F(BoardSimProcess, SigtermEndsTheWaitWithNothingDue)
{
    // No announcements and no callers: nothing but the stop can end its
    // wait, which otherwise lasts for ever.
    start_sim({"--no-sap"});
    sim->signal(SIGTERM);
    ASSERT_EQ(sim->wait_exit(5s), 0) << sim->out() << sim->err();
    EXPECT_NE(sim->out().find("orva-board-sim: stopping"), std::string::npos);
}

TEST_F(BoardSimProcess, AnnouncesAtItsIntervalWhileNothingArrives)
{
    IpxEndpoint sap(listener);
    ASSERT_EQ(sap.open(SAP_SOCKET), 0);
    ASSERT_EQ(sap.set_receive_broadcast(1), 0);
    start_sim({"--sap-interval", "100"});
    // One at start, then one each 100 ms: five within a second or so.
    int heard = 0;
    EXPECT_TRUE(support::wait_until([&] {
        uint8_t buffer[IPX_MAX_PACKET];
        while (sap.poll() & PollReadable)
            heard += sap.receive(buffer, sizeof buffer) > 0 ? 1 : 0;
        return heard >= 5;
    }, 5s)) << heard << " broadcasts";
}

TEST_F(BoardSimProcess, AnswersADatagramAtOnceWithItsNextTimerAMinuteAway)
{
    SapAgent agent;
    agent.set_stack(&listener);
    ASSERT_EQ(agent.init(), 0);
    start_sim({"--sap-interval", "60000"});
    IpxAddress board{};
    ASSERT_TRUE(support::wait_until([&] { return agent.find_server("KELB", board); }));
    agent.shutdown();

    IpxEndpoint caller(listener);
    ASSERT_EQ(caller.open(0), 0);
    caller.set_destination(board);
    uint8_t packet[KNET_MAX_PACKET];
    const int n = knet_write_connection_request(packet, 1, "KELB");
    ASSERT_EQ(caller.send(packet, n), n);
    uint8_t answer[IPX_MAX_PACKET];
    int got = 0;
    ASSERT_TRUE(support::wait_until([&] { return (got = caller.receive(answer, sizeof answer)) > 0; }, 3s));
    ASSERT_GE(got, static_cast<int>(KNET_HEADER_SIZE));
    EXPECT_EQ(knet_read_header(answer).type, knet::ConnectionAccept);
}
