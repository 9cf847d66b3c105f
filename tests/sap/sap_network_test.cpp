// SAP over a real IPX network in the test process: a relay on loopback and
// two stacks, the agent on one and the simulator's announcer on the other.
#include <gtest/gtest.h>
#include <cstring>
#include <vector>

#include "port/host_description.h"
#include "stats/statistics_board.h"
#include "sap/sap_agent.h"
#include "sap/sap_socket.h"
#include "tests/support/sap_network.h"

namespace {

using namespace support;

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
    ASSERT_TRUE(wait_until([&] {
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
    EXPECT_TRUE(found == kelb);
    EXPECT_EQ(announcer.queries_answered(), 1);
    EXPECT_EQ(announcer.broadcasts_sent(), 0) << "found through the answer, not a broadcast";
    ASSERT_TRUE(wait_until([&] {
        int servers = stats_board.figures().sap_servers;
        return servers == 1;
    }));
    EXPECT_STREQ(stats_board.figures().last_sap, "KELB");

    announcer.stop();
    EXPECT_TRUE(wait_until([&] { return agent.server_count() == 0; }));
    EXPECT_FALSE(agent.find_server("KELB", found));
    agent.shutdown();
}

}
