// The board host simulator's SAP announcer, heard by the agent over a real
// IPX network in the test process.
#include <gtest/gtest.h>

#include "port/clock.h"
#include "sap/sap_agent.h"
#include "tests/support/sap_network.h"

namespace {

using namespace support;

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
    EXPECT_TRUE(found == second);
    ASSERT_TRUE(agent.find_server("KELB", found));
    EXPECT_TRUE(found == first);
    ASSERT_TRUE(announce_until(announcer, [&] { return announcer.broadcasts_sent() >= 3; }));
    EXPECT_EQ(agent.server_count(), 2) << "repeated broadcasts update, never duplicate";
    announcer.stop();
    EXPECT_TRUE(wait_until([&] { return agent.server_count() == 0; }));
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
