// SAP over a real IPX network in the test process: a relay on loopback and
// two stacks, the agent on one and the simulator's announcer on the other.
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

#include "app/host_description.h"
#include "app/statistics_board.h"
#include "sap/sap_agent.h"
#include "sap/sap_socket.h"
#include "tests/link/ipx_network_fixture.h"
#include "tools/sap_announcer/sap_announcer.h"

namespace {

class SapNetwork : public IpxNetwork {
protected:
    // The SAP socket asks for broadcasts once the host is known, as at start-up.
    void SetUp() override
    {
        describe_host();
        IpxNetwork::SetUp();
    }

    IpxAddress knet_address(IpxStack& s, uint16_t socket_number)
    {
        IpxAddress a = s.local_address();
        a.socket = socket_number;
        return a;
    }

    // Polls the announcer until pred holds or the deadline passes.
    bool announce_until(SapAnnouncer& announcer, const std::function<bool()>& pred, int timeout_ms = 5000)
    {
        return eventually([&] {
            announcer.poll();
            return pred();
        }, timeout_ms);
    }

    static bool same_address(const IpxAddress& x, const IpxAddress& y)
    {
        return std::memcmp(x.network, y.network, 4) == 0 && std::memcmp(x.node, y.node, 6) == 0 &&
               x.socket == y.socket;
    }
};

TEST_F(SapNetwork, QueuedNearestQueryLeavesAsFourBytesToEveryNodesSapSocket)
{
    SapSocket sap(&a);
    ASSERT_EQ(sap.open(), 0);
    IpxEndpoint listener(b);
    ASSERT_EQ(listener.open(SAP_SOCKET), 0);
    ASSERT_EQ(listener.set_receive_header(1), 0);
    ASSERT_EQ(listener.set_receive_broadcast(1), 0);

    SapRecord query{};
    query.operation = sap::NSQ;
    query.service_type = 0x9191;
    std::memset(query.peer.node, 0xFF, 6);
    query.peer.socket = SAP_SOCKET;
    ASSERT_TRUE(sap.queue_record(query));
    ASSERT_TRUE(eventually([&] {
        sap.pump();
        return sap.pending_output() == 0;
    }));

    uint8_t d[600];
    int n = receive_within(listener, d, sizeof d);
    ASSERT_EQ(n, 34);
    EXPECT_EQ(std::vector<uint8_t>(d + 30, d + 34), (std::vector<uint8_t>{0x00, 0x03, 0x91, 0x91}));
    const uint8_t zero[4] = {};
    const uint8_t all[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_EQ(std::memcmp(d + 6, zero, 4), 0);
    EXPECT_EQ(std::memcmp(d + 10, all, 6), 0);
    EXPECT_EQ(d[16], 0x04);
    EXPECT_EQ(d[17], 0x52);
    EXPECT_EQ(std::memcmp(d + 22, a.local_address().node, 6), 0);
    sap.close();
}

TEST_F(SapNetwork, AgentFindsTheAnnouncedServerAndDropsItWhenItStops)
{
    stats_board.clear();
    SapAgent agent;
    agent.set_stack(&a);
    ASSERT_EQ(agent.init(), 0);

    SapAnnouncer announcer(&b);
    announcer.set_announce_on_start(false);
    IpxAddress kelb = knet_address(b, 0x4001);
    announcer.add_server("KELB", kelb);
    ASSERT_EQ(announcer.start(), 0);

    agent.add_query(BOARD_SERVICE_TYPE);
    IpxAddress found{};
    ASSERT_TRUE(announce_until(announcer, [&] { return agent.find_server("KELB", found); }));
    EXPECT_TRUE(same_address(found, kelb));
    EXPECT_EQ(announcer.queries_answered(), 1);
    EXPECT_EQ(announcer.broadcasts_sent(), 0) << "found through the answer, not a broadcast";
    ASSERT_TRUE(eventually([&] {
        stats_board.begin_display();
        int servers = stats_board.sap_servers();
        stats_board.end_display();
        return servers == 1;
    }));
    stats_board.begin_display();
    EXPECT_STREQ(stats_board.last_sap(), "KELB");
    stats_board.end_display();

    announcer.stop();
    EXPECT_TRUE(eventually([&] { return agent.server_count() == 0; }));
    EXPECT_FALSE(agent.find_server("KELB", found));
    agent.shutdown();
}

TEST_F(SapNetwork, SeveralServersAreBroadcastAtTheirInterval)
{
    SapAgent agent;
    agent.set_stack(&a);
    ASSERT_EQ(agent.init(), 0);

    SapAnnouncer announcer(&b);
    announcer.set_interval_ms(50);
    announcer.set_announce_on_start(false);
    IpxAddress first = knet_address(b, 0x4001);
    IpxAddress second = knet_address(b, 0x4002);
    announcer.add_server("KELB", first);
    announcer.add_server("KELB-2", second);
    ASSERT_EQ(announcer.start(), 0);

    IpxAddress found{};
    ASSERT_TRUE(announce_until(announcer, [&] { return agent.find_server("KELB-2", found); }));
    EXPECT_TRUE(same_address(found, second));
    ASSERT_TRUE(agent.find_server("KELB", found));
    EXPECT_TRUE(same_address(found, first));
    ASSERT_TRUE(announce_until(announcer, [&] { return announcer.broadcasts_sent() >= 3; }));
    EXPECT_EQ(agent.server_count(), 2) << "repeated broadcasts update, never duplicate";
    announcer.stop();
    EXPECT_TRUE(eventually([&] { return agent.server_count() == 0; }));
    agent.shutdown();
}

TEST_F(SapNetwork, SilentAnnouncerHearsTheQueryAndSendsNothing)
{
    SapAgent agent;
    agent.set_stack(&a);
    ASSERT_EQ(agent.init(), 0);

    SapAnnouncer announcer(&b);
    announcer.set_silent(true);
    announcer.set_interval_ms(10);
    announcer.add_server("KELB", knet_address(b, 0x4001));
    ASSERT_EQ(announcer.start(), 0);

    agent.add_query(BOARD_SERVICE_TYPE);
    ASSERT_TRUE(announce_until(announcer, [&] { return announcer.queries_heard() == 1; }));
    // Long enough for several broadcast intervals to pass unannounced.
    uint64_t until = performance_ticks() + 100 * 1000000ull;
    ASSERT_TRUE(announce_until(announcer, [&] { return performance_ticks() > until; }));
    EXPECT_EQ(announcer.queries_answered(), 0);
    EXPECT_EQ(announcer.broadcasts_sent(), 0);
    announcer.stop();
    EXPECT_EQ(agent.server_count(), 0);
    agent.shutdown();
}

}
