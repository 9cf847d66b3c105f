// The real orva finding a simulated board host through SAP: the relay, a
// stack and the simulator's announcer run in the test process.
#include <csignal>
#include <gtest/gtest.h>
#include <memory>

#include "port/clock.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "tests/support/ipx_network.h"
#include "tools/sap_announcer/sap_announcer.h"

namespace {

using namespace support;

class SapEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(start_network(relay, {&stack}));

        IpxAddress knet = stack.local_address();
        knet.socket = 0x4001;
        announcer = std::make_unique<SapAnnouncer>(&stack);
        announcer->set_announce_on_start(false);
        announcer->add_server("KELB", knet);
        ASSERT_EQ(announcer->start(), 0);

        dir.write("orva.conf.xml",
                  "<orva>\n"
                  "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" + std::to_string(free_tcp_port()) + "\"/>\n"
                  "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" + std::to_string(relay.address().port) +
                      "\" Host=\"0\"/>\n"
                  "  <Log File=\"orva.log\" Level=\"5\"/>\n"
                  "</orva>\n");
    }

    void TearDown() override
    {
        announcer.reset();
        stack.stop();
        relay.stop();
    }

    // Runs the announcer while waiting for orva's output to hold text.
    bool serve_until_out(ChildProcess& orva, const std::string& text, int timeout_ms = 15000)
    {
        return wait_until([&] {
            announcer->poll();
            return orva.out().find(text) != std::string::npos;
        }, std::chrono::milliseconds(timeout_ms));
    }

    TempDir dir;
    IpxRelay relay;
    IpxStack stack;
    std::unique_ptr<SapAnnouncer> announcer;
};

TEST_F(SapEndToEnd, OneQueryIsAnsweredAndTheServerLeavesWhenTheSimulatorStops)
{
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(serve_until_out(orva, "DEBUG: SAP: Added Server to List")) << orva.out() << orva.err();
    EXPECT_EQ(announcer->queries_answered(), 1);
    EXPECT_NE(orva.out().find("DEBUG: SAP: NSR From: "), std::string::npos);
    EXPECT_NE(orva.out().find("DEBUG: SAP: Server: KELB"), std::string::npos);

    // Several more schedule passes go by: still the one query.
    uint64_t until = performance_ticks() + 3 * PERFORMANCE_TICKS_PER_SECOND;
    wait_until([&] {
        announcer->poll();
        return performance_ticks() > until;
    }, std::chrono::seconds(10));
    EXPECT_EQ(count_of(orva.out(), "SAP: Sending Server Query for 0x9191"), 1u);
    EXPECT_EQ(announcer->queries_heard(), 1);

    announcer->stop();
    ASSERT_TRUE(orva.wait_for_out("DEBUG: SAP: Removed Server from List")) << orva.out();

    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0) << orva.out();
    std::string log = dir.read("orva.log");
    EXPECT_EQ(count_of(log, "SAP: Sending Server Query for 0x9191"), 1u);
    EXPECT_LT(log.find("DEBUG: SAP: Server init()"), log.find("DEBUG: SAP: Server Thread Started"));
    EXPECT_LT(log.find("DEBUG: Network init()"), log.find("DEBUG: SAP: Server init()"));
    EXPECT_LT(log.find("SAP: Server shutdown()"), log.find("DEBUG: Network shutdown()"));
    EXPECT_EQ(log.find("SAP: Server waiting for output"), std::string::npos) << "the query left at once";
}

TEST_F(SapEndToEnd, BroadcastHeardBeforeAnyQueryIsKeptAndUpdated)
{
    announcer->stop();
    announcer = std::make_unique<SapAnnouncer>(&stack);
    IpxAddress knet = stack.local_address();
    knet.socket = 0x4001;
    announcer->add_server("KELB", knet);
    announcer->set_interval_ms(200);
    announcer->set_silent(false);
    ASSERT_EQ(announcer->start(), 0);

    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(serve_until_out(orva, "DEBUG: SAP: Update Server Record")) << orva.out();
    EXPECT_EQ(count_of(orva.out(), "DEBUG: SAP: Added Server to List"), 1u);
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0);
}

}
