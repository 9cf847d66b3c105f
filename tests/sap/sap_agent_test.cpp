#include "sap/sap_agent.h"

#include <gtest/gtest.h>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>

#include "stats/statistics_board.h"
#include "log/log_file.h"
#include "sap/sap_socket.h"
#include "sap_datagrams.h"

using namespace sap_test;

namespace {

uint32_t fake_now = 1000;
uint32_t fake_clock() { return fake_now; }

size_t count_of(const std::string& hay, const std::string& needle)
{
    size_t n = 0;
    for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1))
        ++n;
    return n;
}

// An agent driven step by step, with a socket that is never opened: its
// received data is fed in directly and its output never leaves.
class AgentTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        log_path_ = "/tmp/sap_agent_test." + std::to_string(getpid()) + ".log";
        std::remove(log_path_.c_str());
        app_log.open(log_path_.c_str());
        app_log.set_threshold(LOG_DEBUG);
        stats_board.clear();
        fake_now = 1000;
        agent.set_clock(fake_clock);
        auto owned = std::make_unique<SapSocket>();
        socket = owned.get();
        agent.use_socket(std::move(owned));
    }
    void TearDown() override
    {
        app_log.close();
        std::remove(log_path_.c_str());
    }

    std::string log()
    {
        std::ifstream in(log_path_);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }

    void hear(uint16_t operation, const Entry& entry)
    {
        auto d = datagram(payload_of(operation, {entry}));
        ASSERT_TRUE(socket->reader().accept(d.data(), static_cast<int32_t>(d.size())));
        ASSERT_TRUE(agent.handle_record());
    }

    void pass_at(uint32_t now)
    {
        fake_now = now;
        agent.schedule_pass();
    }

    IpxAddress found(const char* name)
    {
        IpxAddress a{};
        EXPECT_TRUE(agent.find_server(name, a)) << name;
        return a;
    }

    SapAgent agent;
    SapSocket* socket = nullptr;
    std::string log_path_;
};

Entry at_node(const std::string& name, uint8_t last, uint16_t hops = 1)
{
    Entry e = board_entry(name, hops);
    e.node[5] = last;
    return e;
}

TEST_F(AgentTest, NoTrafficLeavesTheListAndBoardEmpty)
{
    IpxAddress untouched;
    untouched.socket = 0x5A5A;
    EXPECT_FALSE(agent.handle_record());
    EXPECT_FALSE(agent.find_server("KELB", untouched));
    EXPECT_EQ(untouched.socket, 0x5A5A);
    EXPECT_EQ(stats_board.figures().sap_servers, 0);
    EXPECT_STREQ(stats_board.figures().last_sap, "");
}

TEST_F(AgentTest, ResponseAddsServerLogsItAndPostsToTheBoard)
{
    hear(sap::NSR, board_entry("KELB", 2));
    IpxAddress a = found("KELB");
    EXPECT_EQ(a.node[5], 0x55);
    EXPECT_EQ(a.network[3], 0x2A);
    EXPECT_EQ(a.socket, 0x4001);
    EXPECT_EQ(stats_board.figures().sap_servers, 1);
    EXPECT_STREQ(stats_board.figures().last_sap, "KELB");
    std::string text = log();
    for (const char* line : {"DEBUG: SAP: NSR From: 02007F000001", "DEBUG: SAP: Service: 0x9191",
                             "DEBUG: SAP: Server: KELB", "DEBUG: SAP: Hops: 2", "DEBUG: SAP: Added Server to List"})
        EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
    // Names compare over 48 characters and the service type is not compared.
    IpxAddress none{};
    EXPECT_FALSE(agent.find_server("KEL", none));
}

TEST_F(AgentTest, ServerHeardOneHundredEightySecondsAgoStaysAndOneEightyOneGoes)
{
    hear(sap::GSR, board_entry());
    pass_at(1180);
    found("KELB");
    pass_at(1181);
    IpxAddress a{};
    EXPECT_FALSE(agent.find_server("KELB", a));
    EXPECT_EQ(count_of(log(), "DEBUG: SAP: Server KELB assumed down, removed"), 1u);
    EXPECT_EQ(agent.server_count(), 0);
}

TEST_F(AgentTest, ClockSteppedBackAgesRecordsOutAtOnce)
{
    hear(sap::GSR, board_entry());
    pass_at(990);
    EXPECT_EQ(agent.server_count(), 0);
}

TEST_F(AgentTest, HopsSixteenRemovesAKnownServerAndIgnoresAnUnknownOne)
{
    hear(sap::GSR, board_entry("OTHER", SAP_HOPS_DOWN));
    EXPECT_NE(log().find("DEBUG: SAP: Server Not in List"), std::string::npos);
    EXPECT_EQ(agent.server_count(), 0);
    EXPECT_STREQ(stats_board.figures().last_sap, "OTHER");

    hear(sap::GSR, board_entry("KELB"));
    hear(sap::GSR, board_entry("KELB", SAP_HOPS_DOWN));
    std::string text = log();
    EXPECT_NE(text.find("DEBUG: SAP: Found in Network List"), std::string::npos);
    EXPECT_NE(text.find("DEBUG: SAP: Removed Server from List"), std::string::npos);
    IpxAddress a{};
    EXPECT_FALSE(agent.find_server("KELB", a));
    EXPECT_EQ(stats_board.figures().sap_servers, 0);
}

TEST_F(AgentTest, OneNameAtTwoAddressesGivesTheOneHeardFirst)
{
    hear(sap::GSR, at_node("KELB", 0x01));
    hear(sap::GSR, at_node("KELB", 0x03));
    EXPECT_EQ(found("KELB").node[5], 0x01);
    fake_now = 1100;
    // Hearing the other one again, later, changes nothing.
    hear(sap::GSR, at_node("KELB", 0x03));
    EXPECT_EQ(agent.server_count(), 2);
    EXPECT_EQ(found("KELB").node[5], 0x01);
    // The first falls silent and ages out: then the other one is called.
    pass_at(1150);
    hear(sap::GSR, at_node("KELB", 0x03));
    pass_at(1181);
    EXPECT_EQ(agent.server_count(), 1);
    EXPECT_EQ(found("KELB").node[5], 0x03);
}

TEST_F(AgentTest, NearestAndGeneralResponsesUpdateTheSameRecord)
{
    hear(sap::NSR, board_entry());
    fake_now = 1100;
    hear(sap::GSR, board_entry());
    EXPECT_EQ(agent.server_count(), 1);
    EXPECT_EQ(count_of(log(), "DEBUG: SAP: Update Server Record"), 1u);
    // Heard again at 1100, so still there 180 seconds later.
    pass_at(1280);
    EXPECT_EQ(agent.server_count(), 1);
    pass_at(1281);
    EXPECT_EQ(agent.server_count(), 0);
}

TEST_F(AgentTest, QueriesFromOthersAreCountedButNeverAnswered)
{
    std::vector<uint8_t> query = {0x00, 0x03, 0x91, 0x91};
    auto d = datagram(query);
    ASSERT_TRUE(socket->reader().accept(d.data(), static_cast<int32_t>(d.size())));
    ASSERT_TRUE(agent.handle_record());
    EXPECT_NE(log().find("DEBUG: SAP: NSQ From: 02007F000001"), std::string::npos);
    pass_at(1001);
    EXPECT_EQ(socket->pending_output(), 0);
}

TEST_F(AgentTest, EachAddedQueryIsSentExactlyOnce)
{
    agent.add_query(BOARD_SERVICE_TYPE);
    pass_at(1001);
    EXPECT_EQ(socket->pending_output(), 34);
    // The same second again does nothing; later passes send nothing more.
    agent.schedule_pass();
    for (uint32_t t = 1002; t < 1400; ++t)
        pass_at(t);
    EXPECT_EQ(socket->pending_output(), 34);
    EXPECT_EQ(count_of(log(), "DEBUG: SAP: Sending Server Query for 0x9191"), 1u);
}

TEST_F(AgentTest, ShutdownDoesNotWaitForOutputWhenNoNetworkCanTakeIt)
{
    agent.add_query(BOARD_SERVICE_TYPE);
    pass_at(1001);
    ASSERT_GT(socket->pending_output(), 0);
    agent.shutdown();
    EXPECT_EQ(log().find("SAP: Server waiting for output"), std::string::npos);
}

TEST_F(AgentTest, ShutdownWithNothingQueuedDoesNotWait)
{
    agent.shutdown();
    std::string text = log();
    EXPECT_NE(text.find("SAP: Server shutdown()"), std::string::npos);
    EXPECT_EQ(text.find("SAP: Server waiting for output"), std::string::npos);
    EXPECT_EQ(agent.socket(), nullptr);
}

TEST_F(AgentTest, ShutdownWithOutputThatNeverLeavesReturnsAfterTheBoundedWait)
{
    agent.set_output_wait(40, 2);
    socket->block_output_for_testing();
    agent.add_query(BOARD_SERVICE_TYPE);
    pass_at(1001);
    ASSERT_GT(socket->pending_output(), 0);
    auto started = std::chrono::steady_clock::now();
    agent.shutdown();
    auto took = std::chrono::steady_clock::now() - started;
    EXPECT_EQ(count_of(log(), "DEBUG: SAP: Server waiting for output"), 40u);
    EXPECT_GE(took, std::chrono::milliseconds(80));
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_EQ(agent.socket(), nullptr);
}

TEST(SapAgentDefaults, ShutdownWithoutInitIsHarmless)
{
    SapAgent agent;
    agent.shutdown();
    IpxAddress a{};
    EXPECT_FALSE(agent.find_server("KELB", a));
}

}
