#include <cstring>
#include <gtest/gtest.h>
#include <string>

#include "ipx/ipx_relay.h"
#include "tests/support/ipx_network.h"

namespace {

using namespace support;

// A raw UDP node speaking the tunnel protocol by hand.
struct RawNode {
    UdpSocket socket;
    explicit RawNode()
    {
        std::string error;
        EXPECT_EQ(socket.open("127.0.0.1", 0, error), 0) << error;
    }
    void send(const UdpAddress& to, const IpxHeader& h)
    {
        uint8_t p[IPX_HEADER_SIZE];
        write_ipx_header(h, p);
        EXPECT_EQ(socket.send_to(to, p, sizeof p), 30);
    }
    void register_with(const UdpAddress& relay)
    {
        IpxHeader reg;
        reg.destination.socket = reg.source.socket = IPX_TUNNEL_SOCKET;
        send(relay, reg);
    }
    // The next datagram within the deadline, parsed; false when none.
    bool next(IpxHeader& h, int timeout_ms = 2000)
    {
        uint8_t buf[128];
        UdpAddress from;
        return wait_until([&] {
            int n = socket.receive_from(buf, sizeof buf, from);
            return n >= 0 && parse_ipx_datagram(buf, n, h);
        }, std::chrono::milliseconds(timeout_ms));
    }
};

TEST(IpxRelayCore, RefusesNodesBeyondItsLimitAndIgnoresStrangers)
{
    IpxRelay relay;
    relay.set_event_sink(quiet_sink);
    IpxRelayTiming timing;
    timing.max_nodes = 2;
    relay.set_timing(timing);
    ASSERT_EQ(relay.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(relay.start(), 0);
    RawNode n1, n2, n3;
    IpxHeader h;
    n1.register_with(relay.address());
    ASSERT_TRUE(n1.next(h));
    n2.register_with(relay.address());
    ASSERT_TRUE(n2.next(h));
    n3.register_with(relay.address());
    // The refusal is silence; a later packet proves the relay went on.
    EXPECT_FALSE(n3.next(h, 200));
    EXPECT_EQ(relay.node_count(), 2u);

    // A stranger's broadcast is not forwarded; a member's is.
    IpxHeader cast;
    std::memset(cast.destination.node, 0xFF, 6);
    cast.destination.socket = 0x452;
    n3.send(relay.address(), cast);
    const uint16_t p1 = n1.socket.local_address().port;
    const uint8_t n1_node[6] = {127, 0, 0, 1, static_cast<uint8_t>(p1 >> 8), static_cast<uint8_t>(p1)};
    std::memcpy(cast.source.node, n1_node, 6);
    cast.source.socket = 0x452;
    n1.send(relay.address(), cast);
    ASSERT_TRUE(n2.next(h));
    EXPECT_EQ(0, std::memcmp(h.source.node, n1_node, 6)) << "the stranger's broadcast came first";
    EXPECT_EQ(relay.forwarded_count(), 1u);
    relay.stop();
}

TEST(IpxRelayCore, PingsIdleNodesAndDropsTheSilent)
{
    IpxRelay relay;
    relay.set_event_sink(quiet_sink);
    IpxRelayTiming timing;
    timing.ping_interval_ms = 50;
    timing.missed_pings_limit = 3;
    relay.set_timing(timing);
    ASSERT_EQ(relay.bind("127.0.0.1", 0), 0);
    ASSERT_EQ(relay.start(), 0);
    RawNode answering, mute;
    IpxHeader h;
    answering.register_with(relay.address());
    ASSERT_TRUE(answering.next(h));
    mute.register_with(relay.address());
    ASSERT_TRUE(mute.next(h));
    // Answer pings for a while; the mute node is dropped meanwhile.
    int pings = 0;
    ASSERT_TRUE(wait_until([&] {
        IpxHeader ping;
        if (answering.next(ping, 100) && ping.destination.broadcast_node() &&
            ping.destination.socket == IPX_TUNNEL_SOCKET) {
            ++pings;
            IpxHeader reply;
            std::memcpy(reply.destination.node, ping.source.node, 6);
            reply.destination.socket = IPX_TUNNEL_SOCKET;
            answering.send(relay.address(), reply);
        }
        return pings >= 10 && relay.node_count() == 1;
    }));
    EXPECT_EQ(relay.node_count(), 1u) << "the answering node stays";
    relay.stop();
}

}
