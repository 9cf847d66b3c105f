// IpxRelay: the server side of the IPX tunnel.
#include "ipx/ipx_relay.h"

#include "ipx/ipx_notice.h"
#include "port/clock.h"

namespace {
uint64_t node_key(const IpxAddress& address)
{
    uint64_t k = 0;
    for (uint8_t b : address.node)
        k = (k << 8) | b;
    return k;
}

// The address handed to a node: network 0, node = IPv4 address and UDP port
// of its carrier, so it is unique and stable across re-registration.
IpxAddress assigned_address(const UdpAddress& udp)
{
    IpxAddress a;
    a.node[0] = static_cast<uint8_t>(udp.ip >> 24);
    a.node[1] = static_cast<uint8_t>(udp.ip >> 16);
    a.node[2] = static_cast<uint8_t>(udp.ip >> 8);
    a.node[3] = static_cast<uint8_t>(udp.ip);
    a.node[4] = static_cast<uint8_t>(udp.port >> 8);
    a.node[5] = static_cast<uint8_t>(udp.port);
    return a;
}

}

IpxRelay::IpxRelay()
    : sink_(print_ipx_notice),
      loop_(socket_, IPX_MAX_PACKET + 1, [this] { return before_wait(); },
            [this](const UdpDatagram* datagrams, int count) { received(datagrams, count); })
{
}

IpxRelay::~IpxRelay() { stop(); }

void IpxRelay::set_timing(const IpxRelayTiming& timing) { timing_ = timing; }

void IpxRelay::set_event_sink(void (*sink)(const char*)) { sink_ = sink ? sink : print_ipx_notice; }

int IpxRelay::bind(const char* address, int port)
{
    std::string error;
    if (socket_.open(address, port, error) != 0) {
        last_error_ = "IPX relay: " + error;
        return -1;
    }
    address_ = socket_.local_address();
    own_address_ = assigned_address(address_);
    own_address_.socket = IPX_TUNNEL_SOCKET;
    return 0;
}

int IpxRelay::start()
{
    if (socket_.descriptor() < 0) {
        last_error_ = "IPX relay: not bound";
        return -1;
    }
    if (loop_.started())
        return 0;
    next_tick_ = monotonic_ms() + timing_.ping_interval_ms;
    loop_.start("orva-relay");
    return 0;
}

void IpxRelay::run()
{
    next_tick_ = monotonic_ms() + timing_.ping_interval_ms;
    loop_.run();
}

void IpxRelay::request_stop() { loop_.request_stop(); }

void IpxRelay::stop()
{
    loop_.stop();
    socket_.close();
}

int IpxRelay::before_wait()
{
    const uint64_t now = monotonic_ms();
    if (now >= next_tick_) {
        tick(now);
        next_tick_ = now + timing_.ping_interval_ms;
    }
    return static_cast<int>(next_tick_ - now);
}

void IpxRelay::received(const UdpDatagram* datagrams, int count)
{
    // The batch's forwards go out together: one system call in, one out.
    const uint64_t now = monotonic_ms();
    outgoing_.clear();
    for (int i = 0; i < count; ++i)
        handle(datagrams[i].data, datagrams[i].size, datagrams[i].peer, now);
    if (!outgoing_.empty())
        forwarded_ += socket_.send_many(outgoing_.data(), static_cast<int>(outgoing_.size()));
}

void IpxRelay::handle(const uint8_t* datagram, size_t size, const UdpAddress& from, uint64_t now)
{
    IpxHeader h;
    if (!parse_ipx_datagram(datagram, size, h)) {
        malformed_++;
        return;
    }
    if (h.destination.socket == IPX_TUNNEL_SOCKET && h.destination.zero_node()) {
        register_node(from, now);
        return;
    }
    auto it = nodes_.find(from.key());
    if (it == nodes_.end())
        return; // not registered: nothing to forward it as
    Node& sender = it->second;
    sender.last_heard_ms = now;
    // The tunnel's own socket (ping answers and the like) ends here.
    if (h.destination.socket == IPX_TUNNEL_SOCKET)
        return;
    if (!h.source.same_host(sender.address)) {
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
        Node n;
        n.udp = from;
        n.address = assigned_address(from);
        it = nodes_.emplace(from.key(), n).first;
        by_ipx_node_[node_key(n.address)] = from.key();
        node_count_ = nodes_.size();
        send_ipx_notice(sink_, "IPX relay: node %s joined from %s (%zu %s)", n.address.host_text().c_str(),
              format_udp_address(from).c_str(), nodes_.size(), nodes_.size() == 1 ? "node" : "nodes");
    }
    Node& node = it->second;
    node.last_heard_ms = now;
    IpxHeader answer;
    answer.destination = node.address;
    answer.destination.socket = IPX_TUNNEL_SOCKET;
    answer.source = own_address_;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(answer, packet);
    socket_.send_to(from, packet, sizeof packet);
}

void IpxRelay::forward(const Node& sender, const IpxHeader& h, const uint8_t* datagram, size_t size)
{
    // Queued, not sent: the batch goes out once the whole batch is read.
    if (h.destination.broadcast_node()) {
        for (auto& entry : nodes_)
            if (&entry.second != &sender)
                outgoing_.push_back({datagram, size, entry.second.udp});
        return;
    }
    auto target = by_ipx_node_.find(node_key(h.destination));
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
    ping.destination = ipx_broadcast(IPX_TUNNEL_SOCKET);
    ping.source = own_address_;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(ping, packet);
    for (auto it = nodes_.begin(); it != nodes_.end();) {
        Node& n = it->second;
        uint64_t silent = now - n.last_heard_ms;
        if (silent > limit) {
            by_ipx_node_.erase(node_key(n.address));
            std::string name = n.address.host_text();
            std::string udp = format_udp_address(n.udp);
            it = nodes_.erase(it);
            node_count_ = nodes_.size();
            send_ipx_notice(sink_, "IPX relay: node %s at %s left: no answer to pings (%zu %s)", name.c_str(),
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
