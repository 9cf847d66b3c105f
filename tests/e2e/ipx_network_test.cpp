// The IPX network end to end: the relay tool and the adapter as real
// processes on loopback, with test stacks joined to them.
#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "tests/support/child_process.h"
#include "tests/support/temp_dir.h"
#include "tests/support/free_port.h"
#include "tests/support/wait_until.h"
#include "tests/support/counting.h"
#include "tests/support/ipx_network.h"

namespace {

using namespace support;

IpxStackTiming fast_timing()
{
    IpxStackTiming t;
    t.register_interval_ms = 100;
    t.silence_limit_ms = 1000;
    return t;
}

void join(IpxStack& stack, int port)
{
    stack.set_timing(fast_timing());
    stack.set_notice_sink(quiet_sink);
    ASSERT_EQ(stack.start("127.0.0.1", port), 0) << stack.last_error();
}

// One packet from a to b and one back, each within a deadline.
void exchange(IpxStack& a, IpxStack& b, const char* text)
{
    IpxEndpoint ea(a), eb(b);
    ASSERT_EQ(ea.open(0), 0);
    ASSERT_EQ(eb.open(0), 0);
    IpxNetwork::aim_at(ea, b, eb.socket_number());
    IpxNetwork::aim_at(eb, a, ea.socket_number());
    const int n = static_cast<int>(std::strlen(text));
    uint8_t buf[256];
    for (auto [from, to] : {std::pair{&ea, &eb}, std::pair{&eb, &ea}}) {
        ASSERT_EQ(from->send(reinterpret_cast<const uint8_t*>(text), n), n);
        int got = -1;
        ASSERT_TRUE(wait_until([&] { return (got = to->receive(buf, sizeof buf)) > 0; }, 3s));
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf), got), text);
    }
}

std::unique_ptr<ChildProcess> start_relay(int port)
{
    auto relay = std::make_unique<ChildProcess>(std::vector<std::string>{
        RELAY_BINARY, "--listen", "127.0.0.1", "--port", std::to_string(port), "--ping-interval", "0.2",
        "--missed-pings", "3"});
    EXPECT_TRUE(relay->wait_for_out("IPX relay: listening on 127.0.0.1:" + std::to_string(port)))
        << relay->err();
    return relay;
}

TEST(IpxRelayTool, ForwardsExpiresSilentNodesAndSurvivesARestart)
{
    int port = support::free_udp_port();
    auto relay = start_relay(port);
    IpxStack a, b;
    join(a, port);
    join(b, port);
    ASSERT_TRUE(wait_until([&] { return a.registered() && b.registered(); }));
    ASSERT_TRUE(wait_until([&] { return count_of(relay->out(), " joined from ") == 2; }));
    exchange(a, b, "through the relay");

    // A node that registers and then never answers a ping is dropped; the
    // stacks, which answer, stay.
    UdpSocket mute;
    std::string error;
    ASSERT_EQ(mute.open("127.0.0.1", 0, error), 0) << error;
    IpxHeader reg;
    reg.destination.socket = reg.source.socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(reg, packet);
    UdpAddress relay_address{0x7F000001, static_cast<uint16_t>(port)};
    ASSERT_EQ(mute.send_to(relay_address, packet, sizeof packet), 30);
    ASSERT_TRUE(relay->wait_for_out("left: no answer to pings", 5s));
    std::string mute_at = format_udp_address(mute.local_address());
    EXPECT_EQ(count_of(relay->out(), " left: "), 1u) << relay->out();
    EXPECT_NE(relay->out().find("at " + mute_at + " left"), std::string::npos) << relay->out();

    // Killed without warning and started again: both stacks are known to
    // the new relay within a few seconds and traffic flows again.
    relay->signal(SIGKILL);
    relay->wait_exit();
    relay = start_relay(port);
    ASSERT_TRUE(wait_until([&] { return count_of(relay->out(), " joined from ") == 2; }, 5s))
        << relay->out();
    exchange(a, b, "after the restart");

    a.stop();
    b.stop();
    relay->signal(SIGTERM);
    EXPECT_EQ(relay->wait_exit(), 0);
    EXPECT_NE(relay->out().find("IPX relay: stopped"), std::string::npos);
}

TEST(IpxRelayTool, RefusesABusyPortAndDocumentsItsOptions)
{
    UdpSocket squatter;
    std::string error;
    ASSERT_EQ(squatter.open("127.0.0.1", 0, error), 0) << error;
    std::string port = std::to_string(squatter.local_address().port);
    ChildProcess busy({RELAY_BINARY, "--listen", "127.0.0.1", "--port", port});
    EXPECT_EQ(busy.wait_exit(), 1);
    EXPECT_NE(busy.err().find("cannot bind UDP 127.0.0.1:" + port), std::string::npos) << busy.err();

    ChildProcess bad({RELAY_BINARY, "--port", "70000"});
    EXPECT_EQ(bad.wait_exit(), 1);
    EXPECT_NE(bad.err().find("not a UDP port: 70000"), std::string::npos) << bad.err();

    ChildProcess help({RELAY_BINARY, "--help"});
    EXPECT_EQ(help.wait_exit(), 0);
    for (const char* option : {"--listen", "--port", "--ping-interval", "--missed-pings", "--max-nodes"})
        EXPECT_NE(help.out().find(option), std::string::npos) << option;
}

std::string adapter_config(int ipx_port, bool host)
{
    return "<Config>\n"
           "  <Log File=\"orva.log\" Level=\"5\"/>\n"
           "  <Server Type=\"Telnet\" IP=\"127.0.0.1\" Port=\"" +
           std::to_string(support::free_tcp_port()) +
           "\"/>\n"
           "  <Server Type=\"IPX\" IP=\"127.0.0.1\" Port=\"" +
           std::to_string(ipx_port) + "\" Host=\"" + (host ? "1" : "0") +
           "\"/>\n"
           "</Config>\n";
}

TEST(AdapterIpx, StartsWhileTheServerIsSilentAndKeepsTrying)
{
    UdpSocket silent;
    std::string error;
    ASSERT_EQ(silent.open("127.0.0.1", 0, error), 0) << error;
    TempDir dir;
    dir.write("orva.conf.xml", adapter_config(silent.local_address().port, false));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("DEBUG: Running ...")) << orva.out() << orva.err();
    // Registrations keep arriving, once a second.
    int registrations = 0;
    ASSERT_TRUE(wait_until([&] {
        uint8_t buf[64];
        UdpAddress from;
        IpxHeader h;
        int n;
        while ((n = silent.receive_from(buf, sizeof buf, from)) >= 0)
            if (parse_ipx_datagram(buf, n, h) && h.destination.socket == IPX_TUNNEL_SOCKET &&
                h.destination.zero_node())
                ++registrations;
        return registrations >= 4;
    }, 10s));
    EXPECT_EQ(count_of(orva.out(), "IPX: waiting for the tunnel server at 127.0.0.1:"), 1u) << orva.out();
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0);
    EXPECT_EQ(count_of(dir.read("orva.log"), "IPX: waiting for the tunnel server"), 1u);
}

TEST(AdapterIpx, HostsTheNetworkForOtherNodes)
{
    int port = support::free_udp_port();
    TempDir dir;
    dir.write("orva.conf.xml", adapter_config(port, true));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    ASSERT_TRUE(orva.wait_for_out("IPX: joined the network as 00000000:7F000001")) << orva.out();
    ASSERT_TRUE(orva.wait_for_out("DEBUG: Running ..."));
    IpxStack a, b;
    join(a, port);
    join(b, port);
    ASSERT_TRUE(wait_until([&] { return a.registered() && b.registered(); }));
    EXPECT_TRUE(orva.wait_for_out("(3 nodes)")) << orva.out();
    exchange(a, b, "through the adapter");
    a.stop();
    b.stop();
    orva.signal(SIGTERM);
    EXPECT_EQ(orva.wait_exit(), 0);
}

TEST(AdapterIpx, HostModeFailsStartUpWhenThePortIsTaken)
{
    UdpSocket squatter;
    std::string error;
    ASSERT_EQ(squatter.open("127.0.0.1", 0, error), 0) << error;
    TempDir dir;
    dir.write("orva.conf.xml", adapter_config(squatter.local_address().port, true));
    ChildProcess orva({ORVA_BINARY, "-d"}, dir.path());
    EXPECT_EQ(orva.wait_exit(), 1);
    std::string log = dir.read("orva.log");
    EXPECT_NE(log.find("ERROR: IPX relay: cannot bind UDP 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find("Normal Termination"), std::string::npos);
    EXPECT_EQ(log.find("Running ..."), std::string::npos);
}

}
