#include <cstring>
#include <gtest/gtest.h>
#include <random>
#include <vector>

#include "ipx/ipx_endpoint.h"
#include "ipx/ipx_packet.h"
#include "ipx/ipx_stack.h"

namespace {

std::vector<uint8_t> packet(const IpxHeader& h, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(IPX_HEADER_SIZE + data.size());
    IpxHeader copy = h;
    copy.length = static_cast<uint16_t>(out.size());
    write_ipx_header(copy, out.data());
    std::copy(data.begin(), data.end(), out.begin() + IPX_HEADER_SIZE);
    return out;
}

TEST(IpxPacket, HeaderRoundTripsBigEndian)
{
    IpxHeader h;
    h.transport_control = 3;
    h.packet_type = 4;
    const uint8_t net[4] = {1, 2, 3, 4}, node[6] = {5, 6, 7, 8, 9, 10};
    std::memcpy(h.destination.network, net, 4);
    std::memcpy(h.destination.node, node, 6);
    h.destination.socket = 0x0452;
    std::memcpy(h.source.node, node, 6);
    h.source.socket = 0x4001;
    std::vector<uint8_t> p = packet(h, {0xAA, 0xBB});
    const uint8_t expect[32] = {0xFF, 0xFF, 0, 32, 3, 4, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10,
                                0x04, 0x52, 0, 0, 0, 0, 5, 6, 7, 8, 9, 10, 0x40, 0x01, 0xAA, 0xBB};
    ASSERT_EQ(p.size(), 32u);
    EXPECT_EQ(0, std::memcmp(p.data(), expect, 32));
    IpxHeader back;
    ASSERT_TRUE(parse_ipx_datagram(p.data(), p.size(), back));
    EXPECT_EQ(back.length, 32);
    EXPECT_EQ(back.destination.socket, 0x0452);
    EXPECT_EQ(back.source.socket, 0x4001);
    EXPECT_EQ(0, std::memcmp(back.destination.node, node, 6));
}

TEST(IpxAddressForm, WireBytesTextAndComparison)
{
    const uint8_t wire[IpxAddress::WIRE_SIZE] = {0, 0, 0, 0x2A, 2, 0x11, 0x22, 0x33, 0x44, 0xAB, 0x40, 0x01};
    IpxAddress a = IpxAddress::read(wire);
    EXPECT_EQ(a.socket, 0x4001);
    EXPECT_EQ(a.host_text(), "0000002A:0211223344AB");
    EXPECT_EQ(a.text(), "0000002A:0211223344AB:4001");
    uint8_t out[IpxAddress::WIRE_SIZE + 2] = {};
    a.write(out + 1);
    EXPECT_EQ(std::memcmp(out + 1, wire, sizeof wire), 0);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[IpxAddress::WIRE_SIZE + 1], 0) << "nothing written past the address";

    IpxAddress other_socket = a;
    other_socket.socket = 0x4002;
    EXPECT_FALSE(a == other_socket);
    EXPECT_TRUE(a.same_host(other_socket));
    other_socket.node[5] ^= 1;
    EXPECT_FALSE(a.same_host(other_socket));
    EXPECT_TRUE(ipx_broadcast(0x452).broadcast_node());
    EXPECT_FALSE(a.broadcast_node() || a.zero_node());
}

TEST(IpxPacket, ShortOrLyingDatagramsAreNotPackets)
{
    IpxHeader h;
    std::vector<uint8_t> good = packet(h, {1, 2, 3});
    IpxHeader out;
    ASSERT_TRUE(parse_ipx_datagram(good.data(), good.size(), out));
    // Every truncation, in a buffer of exactly that size so that a read
    // past the end shows under the address sanitizer.
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        EXPECT_FALSE(parse_ipx_datagram(cut.data(), cut.size(), out)) << n << " bytes";
    }
    // A length field larger or smaller than the datagram.
    for (uint16_t claimed : {0, 29, 30, 32, 34, 0xFFFF}) {
        std::vector<uint8_t> lie = good;
        lie[2] = static_cast<uint8_t>(claimed >> 8);
        lie[3] = static_cast<uint8_t>(claimed);
        EXPECT_FALSE(parse_ipx_datagram(lie.data(), lie.size(), out)) << claimed;
    }
    EXPECT_FALSE(parse_ipx_datagram(nullptr, 30, out));
}

// Hostile datagrams fed to a stack the way its carrier delivers them: none
// crashes it, none is delivered, and real packets among them arrive intact.
TEST(IpxStackInput, MalformedDatagramsAreDroppedAndGoodOnesStillArrive)
{
    UdpSocket server;
    std::string error;
    ASSERT_EQ(server.open("127.0.0.1", 0, error), 0) << error;
    IpxStack stack;
    stack.set_notice_sink([](const char*) {});
    ASSERT_EQ(stack.start("127.0.0.1", server.local_address().port), 0);
    UdpAddress from = server.local_address();

    // Registration answer: network 0, node 0A..0F.
    const uint8_t node[6] = {0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F};
    IpxHeader answer;
    std::memcpy(answer.destination.node, node, 6);
    answer.destination.socket = answer.source.socket = IPX_TUNNEL_SOCKET;
    std::vector<uint8_t> reg = packet(answer, {});
    stack.handle_datagram(reg.data(), reg.size(), from);
    ASSERT_TRUE(stack.registered());

    IpxEndpoint endpoint(stack);
    ASSERT_EQ(endpoint.open(0x4242), 0);
    ASSERT_EQ(endpoint.set_receive_broadcast(1), 0);
    IpxHeader data_header;
    std::memcpy(data_header.destination.node, node, 6);
    data_header.destination.socket = 0x4242;
    std::vector<uint8_t> good = packet(data_header, {'o', 'k'});

    std::mt19937 random(12345);
    uint64_t malformed_before = stack.malformed_count();
    int malformed_sent = 0;
    for (int round = 0; round < 2000; ++round) {
        std::vector<uint8_t> junk(random() % 80);
        for (auto& byte : junk)
            byte = static_cast<uint8_t>(random());
        // Half the rounds aim the junk at our socket, so only the checks
        // keep it out.
        if (round % 2 && junk.size() >= 18) {
            junk[16] = 0x42;
            junk[17] = 0x42;
        }
        IpxHeader ignored;
        if (!parse_ipx_datagram(junk.data(), junk.size(), ignored))
            ++malformed_sent;
        stack.handle_datagram(junk.data(), junk.size(), from);
        uint8_t buf[128];
        while (endpoint.receive(buf, sizeof buf) > 0) {
            // Whatever slipped through must have been a well-formed packet.
        }
    }
    EXPECT_EQ(stack.malformed_count() - malformed_before, static_cast<uint64_t>(malformed_sent));
    EXPECT_GT(malformed_sent, 1900);

    // Truncated and lying copies of a real packet, then the real one.
    for (size_t n = 0; n < good.size(); ++n) {
        std::vector<uint8_t> cut(good.begin(), good.begin() + n);
        stack.handle_datagram(cut.data(), cut.size(), from);
    }
    std::vector<uint8_t> lie = good;
    lie[3] = 200;
    stack.handle_datagram(lie.data(), lie.size(), from);
    EXPECT_EQ(endpoint.poll() & PollReadable, 0);
    stack.handle_datagram(good.data(), good.size(), from);
    uint8_t buf[16];
    ASSERT_EQ(endpoint.receive(buf, sizeof buf), 2);
    EXPECT_EQ(0, std::memcmp(buf, "ok", 2));

    // From anyone but the server, and to the tunnel socket: never delivered.
    UdpAddress stranger = from;
    stranger.port = static_cast<uint16_t>(from.port + 1);
    stack.handle_datagram(good.data(), good.size(), stranger);
    IpxHeader to_tunnel = data_header;
    to_tunnel.destination.socket = IPX_TUNNEL_SOCKET;
    std::vector<uint8_t> t = packet(to_tunnel, {'x'});
    stack.handle_datagram(t.data(), t.size(), from);
    EXPECT_EQ(endpoint.receive(buf, sizeof buf), 0);
    stack.stop();
}

}
