// Measures the IPX relay on loopback: one-way latency added per hop (p50,
// p99) and the forwarding rate with 100 joined nodes. Not a test: run it
// by hand and read the figures.
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "ipx/ipx_endpoint.h"
#include "port/clock.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "port/udp_socket.h"

namespace {

double ms_since(uint64_t start) { return (performance_ticks() - start) / 1e6; }

struct RawNode {
    UdpSocket socket;
    uint8_t node[6] = {};
};

bool join_raw(RawNode& n, const UdpAddress& relay)
{
    std::string error;
    if (n.socket.open("127.0.0.1", 0, error) != 0)
        return false;
    IpxHeader reg;
    reg.destination.socket = reg.source.socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[64];
    write_ipx_header(reg, packet);
    n.socket.send_to(relay, packet, IPX_HEADER_SIZE);
    uint64_t start = performance_ticks();
    while (ms_since(start) < 2000) {
        UdpAddress from;
        n.socket.wait_readable(-1, 100);
        int got = n.socket.receive_from(packet, sizeof packet, from);
        IpxHeader h;
        if (got > 0 && parse_ipx_datagram(packet, got, h) && h.destination.socket == IPX_TUNNEL_SOCKET) {
            std::memcpy(n.node, h.destination.node, 6);
            return true;
        }
    }
    return false;
}

std::vector<uint8_t> packet_between(const RawNode& from, const RawNode& to, size_t data)
{
    IpxHeader h;
    h.length = static_cast<uint16_t>(IPX_HEADER_SIZE + data);
    std::memcpy(h.destination.node, to.node, 6);
    h.destination.socket = 0x4000;
    std::memcpy(h.source.node, from.node, 6);
    h.source.socket = 0x4000;
    std::vector<uint8_t> p(h.length, 0x55);
    write_ipx_header(h, p.data());
    return p;
}

// Blocking receive of one datagram with a 1 s limit; false on time-out.
bool receive_one(UdpSocket& s, uint8_t* buf, size_t size)
{
    UdpAddress from;
    uint64_t start = performance_ticks();
    while (ms_since(start) < 1000) {
        if (s.receive_from(buf, size, from) >= 0)
            return true;
        s.wait_readable(-1, 100);
    }
    return false;
}

struct Percentiles {
    double p50, p99;
};

Percentiles percentiles(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return {v[v.size() / 2], v[v.size() * 99 / 100]};
}

// Round trips between two sockets, echoing at b; one-way = half a trip.
Percentiles round_trips(UdpSocket& a, const UdpAddress& a_to, UdpSocket& b, const UdpAddress& b_to,
                        const std::vector<uint8_t>& ab, const std::vector<uint8_t>& ba, int count)
{
    std::vector<double> oneway;
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        uint8_t buf[2048];
        UdpAddress from;
        while (!stop) {
            if (b.receive_from(buf, sizeof buf, from) >= 0)
                b.send_to(b_to, ba.data(), ba.size());
            else
                b.wait_readable(-1, 50);
        }
    });
    uint8_t buf[2048];
    for (int i = 0; i < count; ++i) {
        uint64_t start = performance_ticks();
        a.send_to(a_to, ab.data(), ab.size());
        if (!receive_one(a, buf, sizeof buf))
            break;
        oneway.push_back((performance_ticks() - start) / 2e3); // microseconds
    }
    stop = true;
    echo.join();
    if (oneway.empty())
        return {-1, -1};
    return percentiles(oneway);
}

void latency(IpxRelay& relay)
{
    const int trips = 20000;
    RawNode a, b;
    if (!join_raw(a, relay.address()) || !join_raw(b, relay.address())) {
        std::printf("latency: nodes could not join\n");
        return;
    }
    std::vector<uint8_t> ab = packet_between(a, b, 64), ba = packet_between(b, a, 64);
    Percentiles direct = round_trips(a.socket, b.socket.local_address(), b.socket, a.socket.local_address(),
                                     ab, ba, trips);
    Percentiles relayed = round_trips(a.socket, relay.address(), b.socket, relay.address(), ab, ba, trips);
    std::printf("one-way latency, 94-byte packets, %d round trips:\n", trips);
    std::printf("  direct UDP        p50 %7.1f us   p99 %7.1f us\n", direct.p50, direct.p99);
    std::printf("  through the relay p50 %7.1f us   p99 %7.1f us\n", relayed.p50, relayed.p99);
    std::printf("  added by the hop  p50 %7.1f us   p99 %7.1f us\n", relayed.p50 - direct.p50,
                relayed.p99 - direct.p99);
}

// The same trip between two IPX stacks and their endpoints, as the adapter
// uses them: sender's stack -> relay -> receiver's stack thread -> queue.
void endpoint_latency(IpxRelay& relay)
{
    auto quiet = [](const char*) {};
    IpxStack sa, sb;
    sa.set_notice_sink(quiet);
    sb.set_notice_sink(quiet);
    sa.start("127.0.0.1", relay.address().port);
    sb.start("127.0.0.1", relay.address().port);
    uint64_t start = performance_ticks();
    while (!(sa.registered() && sb.registered()) && ms_since(start) < 3000)
        sleep_ms(1);
    IpxEndpoint ea(sa), eb(sb);
    ea.open(0);
    eb.open(0);
    IpxAddress to_b = sb.local_address(), to_a = sa.local_address();
    to_b.socket = eb.socket_number();
    to_a.socket = ea.socket_number();
    ea.set_destination(to_b);
    eb.set_destination(to_a);
    std::atomic<bool> stop{false};
    std::thread echo([&] {
        uint8_t buf[1024];
        while (!stop) {
            int n = eb.receive(buf, sizeof buf);
            if (n > 0)
                eb.send(buf, n);
        }
    });
    std::vector<double> oneway;
    uint8_t data[64] = {}, buf[1024];
    for (int i = 0; i < 5000; ++i) {
        uint64_t t0 = performance_ticks();
        ea.send(data, sizeof data);
        while (ea.receive(buf, sizeof buf) == 0 && ms_since(t0) < 1000) {
        }
        oneway.push_back((performance_ticks() - t0) / 2e3);
    }
    stop = true;
    echo.join();
    Percentiles p = percentiles(oneway);
    std::printf("  endpoint to endpoint (busy-polled) p50 %7.1f us   p99 %7.1f us\n", p.p50, p.p99);
    sa.stop();
    sb.stop();
}

void forwarding_rate(IpxRelay& relay)
{
    const int nodes = 100;
    std::vector<RawNode> node(nodes);
    for (auto& n : node)
        if (!join_raw(n, relay.address())) {
            std::printf("rate: nodes could not join\n");
            return;
        }
    std::vector<std::vector<uint8_t>> packets;
    for (int i = 0; i < nodes; ++i)
        packets.push_back(packet_between(node[i], node[(i + 1) % nodes], 64));

    std::atomic<bool> stop{false};
    std::atomic<uint64_t> delivered{0};
    std::thread drain([&] {
        uint8_t buf[2048];
        UdpAddress from;
        while (!stop) {
            bool any = false;
            for (auto& n : node)
                while (n.socket.receive_from(buf, sizeof buf, from) >= 0) {
                    delivered++;
                    any = true;
                }
            if (!any)
                std::this_thread::yield();
        }
    });
    uint64_t forwarded_before = relay.forwarded_count();
    const double seconds = 3.0;
    uint64_t start = performance_ticks();
    uint64_t sent = 0;
    // The sender paces itself to what the relay has forwarded so that the
    // figure is the relay's rate, not the kernel's drop rate.
    while (ms_since(start) < seconds * 1000) {
        for (int burst = 0; burst < 64; ++burst) {
            int i = static_cast<int>(sent % nodes);
            node[i].socket.send_to(relay.address(), packets[i].data(), packets[i].size());
            ++sent;
        }
        while (sent - (relay.forwarded_count() - forwarded_before) > 512 && ms_since(start) < seconds * 1000)
            std::this_thread::yield();
    }
    double elapsed = ms_since(start) / 1000;
    uint64_t forwarded = relay.forwarded_count() - forwarded_before;
    stop = true;
    drain.join();
    std::printf("forwarding with %d joined nodes, 94-byte packets, %.1f s:\n", nodes, elapsed);
    std::printf("  sent %llu, forwarded %llu (%.0f packets/s), delivered %llu\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(forwarded),
                forwarded / elapsed, static_cast<unsigned long long>(delivered.load()));
}

}

int main()
{
    IpxRelay relay;
    relay.set_event_sink([](const char*) {});
    if (relay.bind("127.0.0.1", 0) != 0 || relay.start() != 0) {
        std::fprintf(stderr, "%s\n", relay.last_error().c_str());
        return 1;
    }
    latency(relay);
    endpoint_latency(relay);
    forwarding_rate(relay);
    relay.stop();
    return 0;
}
