#include "tests/support/ipx_network.h"

#include "port/clock.h"

#include <string>
#include <thread>
#include <vector>

namespace {

using namespace support;

TEST_F(IpxNetwork, UnicastBothWaysAndBroadcastOnlyToReceivers)
{
    IpxEndpoint ea(a), eb(b), eb_deaf(b);
    ASSERT_EQ(ea.open(0), 0);
    ASSERT_EQ(eb.open(0x5555), 0);
    ASSERT_GE(ea.socket_number(), IPX_DYNAMIC_SOCKET_FIRST);
    ASSERT_LE(ea.socket_number(), IPX_DYNAMIC_SOCKET_LAST);
    EXPECT_TRUE(ea.poll() & PollWritable);

    aim(ea, b, 0x5555);
    const uint8_t hello[] = "hello b";
    ASSERT_EQ(ea.send(hello, sizeof hello), static_cast<int>(sizeof hello));
    uint8_t buf[600];
    ASSERT_EQ(receive_within(eb, buf, sizeof buf), static_cast<int>(sizeof hello));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "hello b");

    aim(eb, a, ea.socket_number());
    const uint8_t back[] = "hello a";
    ASSERT_EQ(eb.send(back, sizeof back), static_cast<int>(sizeof back));
    ASSERT_EQ(receive_within(ea, buf, sizeof buf), static_cast<int>(sizeof back));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "hello a");

    // Two endpoints on one socket number through reuse; only the one that
    // asked for broadcasts hears one.
    IpxEndpoint listener(b), deaf(b);
    ASSERT_EQ(listener.open(0x452), 0);
    ASSERT_EQ(deaf.open(0x452), 0);
    ASSERT_EQ(listener.set_receive_broadcast(1), 0);
    IpxEndpoint caster(a);
    ASSERT_EQ(caster.open(0x452), 0);
    aim_broadcast(caster, 0x452);
    EXPECT_EQ(caster.send(hello, sizeof hello), -1) << "broadcast without the option";
    ASSERT_EQ(caster.set_broadcast(1), 0);
    ASSERT_EQ(caster.send(hello, sizeof hello), static_cast<int>(sizeof hello));
    ASSERT_EQ(receive_within(listener, buf, sizeof buf), static_cast<int>(sizeof hello));
    // A unicast after the broadcast reaches both sharers; the deaf one must
    // see only that, proving the broadcast was kept from it.
    aim(caster, b, 0x452);
    const uint8_t direct[] = "direct";
    ASSERT_EQ(caster.send(direct, sizeof direct), static_cast<int>(sizeof direct));
    ASSERT_EQ(receive_within(deaf, buf, sizeof buf), static_cast<int>(sizeof direct));
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buf)), "direct");
    EXPECT_EQ(deaf.receive(buf, sizeof buf), 0);
    EXPECT_EQ(caster.poll() & PollReadable, 0) << "the sender hears no echo of its own broadcast";
    (void)eb_deaf;
}

// Milliseconds that e.wait(timeout_ms) took, with what runs meanwhile.
double timed_wait(IpxEndpoint& e, int timeout_ms, const std::function<void()>& meanwhile = [] {})
{
    double took = -1;
    std::thread waiter([&] {
        const uint64_t start = performance_ticks();
        e.wait(timeout_ms);
        took = static_cast<double>(performance_ticks() - start) / 1e6;
    });
    meanwhile();
    waiter.join();
    return took;
}

TEST_F(IpxNetwork, WaitEndsWithADatagramOrAWakeElseAtItsTimeout)
{
    IpxEndpoint sender(a), receiver(b);
    ASSERT_EQ(sender.open(0), 0);
    ASSERT_EQ(receiver.open(0), 0);
    aim(sender, b, receiver.socket_number());
    const uint8_t ping[] = "ping";
    uint8_t buf[64];

    // Nothing comes: the whole timeout passes.
    EXPECT_GE(timed_wait(receiver, 30), 29.0);

    // A datagram arriving ends a long wait early, and is there to take.
    // (Whether it comes before or during the wait, the wait ends early.)
    double took = timed_wait(receiver, 10000, [&] {
        ASSERT_EQ(sender.send(ping, sizeof ping), static_cast<int>(sizeof ping));
    });
    EXPECT_LT(took, 5000.0);
    EXPECT_EQ(receiver.receive(buf, sizeof buf), static_cast<int>(sizeof ping));

    // One already waiting: no wait at all.
    ASSERT_EQ(sender.send(ping, sizeof ping), static_cast<int>(sizeof ping));
    ASSERT_TRUE(wait_until([&] { return (receiver.poll() & PollReadable) != 0; }));
    EXPECT_LT(timed_wait(receiver, 10000), 5000.0);
    EXPECT_EQ(receiver.receive(buf, sizeof buf), static_cast<int>(sizeof ping));

    // Another thread's wake ends it too, and is used up by that wait.
    took = timed_wait(receiver, 10000, [&] { receiver.wake(); });
    EXPECT_LT(took, 5000.0);
    EXPECT_GE(timed_wait(receiver, 30), 29.0);
}

TEST_F(IpxNetwork, ReceiveHeaderCarriesTheSenderAddress)
{
    IpxEndpoint sender(a), sap(b);
    ASSERT_EQ(sender.open(0), 0);
    ASSERT_EQ(sap.open(0x452), 0);
    ASSERT_EQ(sap.set_receive_header(1), 0);
    aim(sender, b, 0x452);
    const uint8_t data[] = {1, 2, 3, 4, 5};
    ASSERT_EQ(sender.send(data, sizeof data), 5);
    uint8_t buf[100];
    ASSERT_EQ(receive_within(sap, buf, sizeof buf), 35);
    EXPECT_EQ(buf[0], 0xFF);
    EXPECT_EQ(buf[1], 0xFF);
    EXPECT_EQ((buf[2] << 8) | buf[3], 35) << "length field";
    EXPECT_EQ(buf[5], 0) << "packet type";
    const IpxAddress b_address = b.local_address();
    EXPECT_EQ(0, std::memcmp(buf + 6, b_address.network, 4));
    EXPECT_EQ(0, std::memcmp(buf + 10, b_address.node, 6));
    EXPECT_EQ((buf[16] << 8) | buf[17], 0x452);
    EXPECT_EQ(0, std::memcmp(buf + 18, a.local_address().network, 4));
    EXPECT_EQ(0, std::memcmp(buf + 22, a.local_address().node, 6));
    EXPECT_EQ((buf[28] << 8) | buf[29], sender.socket_number());
    EXPECT_EQ(0, std::memcmp(buf + 30, data, 5));
    // The relay assigns network 0 and node = carrier IPv4 address and port.
    UdpAddress carrier = a.carrier_address();
    const uint8_t expected_node[6] = {127, 0, 0, 1, static_cast<uint8_t>(carrier.port >> 8),
                                      static_cast<uint8_t>(carrier.port)};
    EXPECT_EQ(0, std::memcmp(a.local_address().node, expected_node, 6));
    EXPECT_EQ(0, std::memcmp(a.local_address().network, "\0\0\0\0", 4));
}

TEST_F(IpxNetwork, UnboundSocketAndTunnelSocketAreNotDelivered)
{
    IpxEndpoint sender(a), other(b);
    ASSERT_EQ(sender.open(0), 0);
    ASSERT_EQ(other.open(0x6000), 0);
    aim(sender, b, 0x6001); // nobody bound
    const uint8_t data[] = "lost";
    uint64_t before = b.undeliverable_count();
    ASSERT_EQ(sender.send(data, sizeof data), static_cast<int>(sizeof data));
    ASSERT_TRUE(wait_until([&] { return b.undeliverable_count() > before; }));
    EXPECT_EQ(other.poll() & PollReadable, 0);

    // No endpoint can take the tunnel's own socket.
    IpxEndpoint tunnel(b);
    EXPECT_EQ(tunnel.open(IPX_TUNNEL_SOCKET), -1);
    EXPECT_EQ(tunnel.poll(), -1);
    EXPECT_EQ(tunnel.receive(nullptr, 0), -1);
}

TEST_F(IpxNetwork, ForgedSourceIsDroppedByTheRelay)
{
    IpxEndpoint target(b);
    ASSERT_EQ(target.open(0x4444), 0);

    // A raw node that registers, then claims to be stack a.
    UdpSocket rogue;
    std::string error;
    ASSERT_EQ(rogue.open("127.0.0.1", 0, error), 0) << error;
    IpxHeader reg;
    reg.destination.socket = reg.source.socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[40];
    write_ipx_header(reg, packet);
    ASSERT_EQ(rogue.send_to(relay.address(), packet, IPX_HEADER_SIZE), 30);
    UdpAddress from;
    ASSERT_TRUE(wait_until([&] { return rogue.receive_from(packet, sizeof packet, from) == 30; }));

    IpxHeader forged;
    forged.length = 34;
    forged.destination = b.local_address();
    forged.destination.socket = 0x4444;
    forged.source = a.local_address();
    forged.source.socket = 0x4000;
    write_ipx_header(forged, packet);
    std::memcpy(packet + 30, "evil", 4);
    ASSERT_EQ(rogue.send_to(relay.address(), packet, 34), 34);
    ASSERT_TRUE(wait_until([&] { return relay.forged_count() == 1; }));
    EXPECT_EQ(target.poll() & PollReadable, 0);

    // The same packet with its true source goes through.
    std::memcpy(packet + 22, packet + 10, 0); // keep destination
    uint8_t own_node[6];
    std::memcpy(own_node, packet + 22, 6);
    IpxHeader honest = forged;
    const uint8_t rogue_node[6] = {127, 0, 0, 1, static_cast<uint8_t>(rogue.local_address().port >> 8),
                                   static_cast<uint8_t>(rogue.local_address().port)};
    std::memset(honest.source.network, 0, 4);
    std::memcpy(honest.source.node, rogue_node, 6);
    write_ipx_header(honest, packet);
    ASSERT_EQ(rogue.send_to(relay.address(), packet, 34), 34);
    uint8_t buf[64];
    EXPECT_EQ(receive_within(target, buf, sizeof buf), 4);
    EXPECT_EQ(0, std::memcmp(buf, "evil", 4));
}

TEST_F(IpxNetwork, SocketNumbersAndReuse)
{
    IpxEndpoint first(a), second(a), third(a), dyn1(a), dyn2(a);
    ASSERT_EQ(first.open(0x452), 0);
    EXPECT_EQ(second.open(0x452), 0) << "a chosen number asks for reuse";
    // Dynamic numbers are never shared and never repeat at once.
    ASSERT_EQ(dyn1.open(0), 0);
    uint16_t n1 = dyn1.socket_number();
    dyn1.close();
    ASSERT_EQ(dyn2.open(0), 0);
    EXPECT_NE(dyn2.socket_number(), n1);
    EXPECT_EQ(third.open(dyn2.socket_number()), -1) << "a dynamic binding refuses sharers";
    EXPECT_EQ(dyn2.open(0), -1) << "an endpoint opens once";
    EXPECT_EQ(dyn1.close(), -1);
    EXPECT_EQ(dyn2.close(), 0);
}

TEST_F(IpxNetwork, FullReceiveQueueDropsNewDatagrams)
{
    IpxEndpoint sender(a), sink(b);
    ASSERT_EQ(sender.open(0), 0);
    ASSERT_EQ(sink.open(0), 0);
    aim(sender, b, sink.socket_number());
    const int total = static_cast<int>(IPX_RECEIVE_QUEUE_LIMIT) + 50;
    for (int i = 0; i < total; ++i) {
        uint8_t data[4] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i), 0, 0};
        // The carrier may be briefly full; each packet is sent once.
        ASSERT_TRUE(wait_until([&] { return sender.send(data, 4) == 4; }));
    }
    uint64_t expect_dropped = 50;
    ASSERT_TRUE(wait_until([&] { return b.undeliverable_count() >= expect_dropped; }));
    int received = 0;
    uint8_t buf[8];
    while (sink.receive(buf, sizeof buf) == 4) {
        EXPECT_EQ((buf[0] << 8) | buf[1], received) << "oldest first, none lost before the limit";
        ++received;
    }
    EXPECT_EQ(received, static_cast<int>(IPX_RECEIVE_QUEUE_LIMIT));
}

TEST_F(IpxNetwork, RelayRestartIsSurvived)
{
    IpxEndpoint ea(a), eb(b);
    ASSERT_EQ(ea.open(0), 0);
    ASSERT_EQ(eb.open(0), 0);
    aim(ea, b, eb.socket_number());
    uint16_t port = relay.address().port;
    relay.stop();
    IpxRelay second;
    second.set_event_sink(quiet_sink);
    ASSERT_EQ(second.bind("127.0.0.1", port), 0) << second.last_error();
    ASSERT_EQ(second.start(), 0);
    ASSERT_TRUE(wait_until([&] { return second.node_count() == 2; }, std::chrono::seconds(5)))
        << "both stacks register again";
    const uint8_t data[] = "again";
    // Nothing reports an error meanwhile; packets flow once rejoined.
    uint8_t buf[32];
    int n = -1;
    ASSERT_TRUE(wait_until([&] {
        if (ea.poll() < 0 || eb.poll() < 0)
            return false;
        if (ea.send(data, sizeof data) < 0)
            return false;
        n = receive_within(eb, buf, sizeof buf, 50);
        return n > 0;
    }));
    EXPECT_EQ(n, static_cast<int>(sizeof data));
    second.stop();
}

}
