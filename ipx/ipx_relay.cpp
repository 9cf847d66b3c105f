// IpxRelay: the server side of the IPX tunnel.
#include "ipx/ipx_relay.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "port/clock.h"

namespace {
uint64_t now_ms() { return performance_ticks() / 1000000u; }

void print_event(const char* line)
{
    std::printf("%s\n", line);
    std::fflush(stdout);
}

uint64_t node_key(const uint8_t node[6])
{
    uint64_t k = 0;
    for (int i = 0; i < 6; ++i)
        k = (k << 8) | node[i];
    return k;
}

// The address handed to a node: network 0, node = IPv4 address and UDP port
// of its carrier, so it is unique and stable across re-registration.
void assign_node(const UdpAddress& udp, uint8_t node[6])
{
    node[0] = static_cast<uint8_t>(udp.ip >> 24);
    node[1] = static_cast<uint8_t>(udp.ip >> 16);
    node[2] = static_cast<uint8_t>(udp.ip >> 8);
    node[3] = static_cast<uint8_t>(udp.ip);
    node[4] = static_cast<uint8_t>(udp.port >> 8);
    node[5] = static_cast<uint8_t>(udp.port);
}

}

IpxRelay::IpxRelay() : sink_(print_event) {}

IpxRelay::~IpxRelay() { stop(); }

void IpxRelay::set_timing(const IpxRelayTiming& timing) { timing_ = timing; }

void IpxRelay::set_event_sink(void (*sink)(const char*)) { sink_ = sink ? sink : print_event; }

int IpxRelay::bind(const char* address, int port)
{
    std::string error;
    if (socket_.open(address, port, error) != 0) {
        last_error_ = "IPX relay: " + error;
        return -1;
    }
    address_ = socket_.local_address();
    assign_node(address_, own_node_);
    return 0;
}

int IpxRelay::start()
{
    if (socket_.descriptor() < 0) {
        last_error_ = "IPX relay: not bound";
        return -1;
    }
    if (thread_.joinable())
        return 0;
    stopping_ = false;
    thread_ = std::thread([this] { run(); });
    return 0;
}

void IpxRelay::request_stop()
{
    stopping_ = true;
    wake_.signal();
}

void IpxRelay::stop()
{
    request_stop();
    if (thread_.joinable())
        thread_.join();
    socket_.close();
}

void IpxRelay::run()
{
    // A batch of whole datagrams at a time: one system call in, one out.
    constexpr int BATCH = 64;
    std::vector<uint8_t> buffers(static_cast<size_t>(BATCH) * (IPX_MAX_PACKET + 1));
    UdpDatagram received[BATCH];
    uint64_t next_tick = now_ms() + timing_.ping_interval_ms;
    while (!stopping_) {
        uint64_t now = now_ms();
        if (now >= next_tick) {
            tick(now);
            next_tick = now + timing_.ping_interval_ms;
        }
        socket_.wait_readable(wake_.descriptor(), static_cast<int>(next_tick - now));
        now = now_ms();
        for (int round = 0; round < 64 && !stopping_; ++round) {
            int n = socket_.receive_many(buffers.data(), IPX_MAX_PACKET + 1, received, BATCH);
            if (n <= 0)
                break;
            outgoing_.clear();
            for (int i = 0; i < n; ++i)
                handle(received[i].data, received[i].size, received[i].peer, now);
            if (!outgoing_.empty())
                forwarded_ += socket_.send_many(outgoing_.data(), static_cast<int>(outgoing_.size()));
            if (n < BATCH)
                break;
        }
    }
}

void IpxRelay::handle(const uint8_t* datagram, size_t size, const UdpAddress& from, uint64_t now)
{
    IpxHeader h;
    if (!parse_ipx_datagram(datagram, size, h)) {
        malformed_++;
        return;
    }
    if (h.destination_socket == IPX_TUNNEL_SOCKET && is_zero_node(h.destination_node)) {
        register_node(from, now);
        return;
    }
    auto it = nodes_.find(from.key());
    if (it == nodes_.end())
        return; // not registered: nothing to forward it as
    Node& sender = it->second;
    sender.last_heard_ms = now;
    // The tunnel's own socket (ping answers and the like) ends here.
    if (h.destination_socket == IPX_TUNNEL_SOCKET)
        return;
    if (!same_address(h.source_network, h.source_node, sender.network, sender.node)) {
        forged_++;
        return;
    }
    forward(sender, h, datagram, size);
}

void IpxRelay::register_node(const UdpAddress& from, uint64_t now)
{
    auto it = nodes_.find(from.key());
    if (it == nodes_.end()) {
        if (nodes_.size() >= timing_.max_nodes)
            return;
        Node n{};
        n.udp = from;
        assign_node(from, n.node);
        it = nodes_.emplace(from.key(), n).first;
        by_ipx_node_[node_key(n.node)] = from.key();
        node_count_ = nodes_.size();
        event("IPX relay: node %s joined from %s (%zu %s)", format_ipx_address(n.network, n.node).c_str(),
              format_udp_address(from).c_str(), nodes_.size(), nodes_.size() == 1 ? "node" : "nodes");
    }
    Node& node = it->second;
    node.last_heard_ms = now;
    IpxHeader answer;
    std::memcpy(answer.destination_network, node.network, 4);
    std::memcpy(answer.destination_node, node.node, 6);
    answer.destination_socket = IPX_TUNNEL_SOCKET;
    std::memcpy(answer.source_node, own_node_, 6);
    answer.source_socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(answer, packet);
    socket_.send_to(from, packet, sizeof packet);
}

void IpxRelay::forward(const Node& sender, const IpxHeader& h, const uint8_t* datagram, size_t size)
{
    // Queued, not sent: the batch goes out once the whole batch is read.
    if (is_broadcast_node(h.destination_node)) {
        for (auto& entry : nodes_)
            if (&entry.second != &sender)
                outgoing_.push_back({datagram, size, entry.second.udp});
        return;
    }
    auto target = by_ipx_node_.find(node_key(h.destination_node));
    if (target == by_ipx_node_.end())
        return;
    auto node = nodes_.find(target->second);
    if (node != nodes_.end())
        outgoing_.push_back({datagram, size, node->second.udp});
}

void IpxRelay::tick(uint64_t now)
{
    uint64_t interval = static_cast<uint64_t>(timing_.ping_interval_ms);
    uint64_t limit = interval * static_cast<uint64_t>(timing_.missed_pings_limit);
    IpxHeader ping;
    std::memset(ping.destination_node, 0xFF, 6);
    ping.destination_socket = IPX_TUNNEL_SOCKET;
    std::memcpy(ping.source_node, own_node_, 6);
    ping.source_socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(ping, packet);
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        Node& n = it->second;
        uint64_t silent = now - n.last_heard_ms;
        if (silent > limit) {
            by_ipx_node_.erase(node_key(n.node));
            std::string name = format_ipx_address(n.network, n.node);
            std::string udp = format_udp_address(n.udp);
            it = nodes_.erase(it);
            node_count_ = nodes_.size();
            event("IPX relay: node %s at %s left: no answer to pings (%zu %s)", name.c_str(),
                  udp.c_str(), nodes_.size(), nodes_.size() == 1 ? "node" : "nodes");
            continue;
        }
        // Only idle nodes need asking; traffic already shows the rest alive.
        // Half an interval of silence counts as idle, so that every node
        // hears from us at least once an interval.
        if (silent * 2 >= interval)
            socket_.send_to(n.udp, packet, sizeof packet);
        ++it;
    }
}

void IpxRelay::event(const char* format, ...)
{
    char line[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
    sink_(line);
}
