// IpxStack: the host's IPX stack over the UDP tunnel.
#include "ipx/ipx_stack.h"

#include <algorithm>
#include <chrono>
#include <cstring>

#include "ipx/ipx_notice.h"
#include "port/clock.h"

IpxStack::IpxStack()
    : sink_(print_ipx_notice),
      loop_(carrier_, IPX_MAX_PACKET + 1, [this] { return before_wait(); },
            [this](const UdpDatagram* datagrams, int count) {
                for (int i = 0; i < count; ++i)
                    handle_datagram(datagrams[i].data, datagrams[i].size, datagrams[i].peer);
            })
{
}

IpxStack::~IpxStack() { stop(); }

void IpxStack::set_timing(const IpxStackTiming& timing) { timing_ = timing; }

void IpxStack::set_notice_sink(void (*sink)(const char*)) { sink_ = sink ? sink : print_ipx_notice; }

int IpxStack::start(const char* server_ip, int server_port)
{
    if (loop_.started())
        return 0;
    if (!parse_ipv4(server_ip, server_.ip)) {
        last_error_ = std::string("IPX: the tunnel server address is not an IPv4 address: ") +
                      (server_ip ? server_ip : "(none)");
        return -1;
    }
    if (server_port <= 0 || server_port > 65535) {
        last_error_ = "IPX: the tunnel server port is out of range: " + std::to_string(server_port);
        return -1;
    }
    server_.port = static_cast<uint16_t>(server_port);
    // The carrier takes any free port; it listens on loopback only when the
    // server is there, so a local network is not exposed to others.
    bool loopback = (server_.ip >> 24) == 127;
    std::string error;
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (carrier_.open(loopback ? "127.0.0.1" : "0.0.0.0", 0, error) != 0) {
            last_error_ = "IPX: " + error;
            return -1;
        }
        carrier_address_ = carrier_.local_address();
        registered_ = false;
        next_registration_ = monotonic_ms();
        last_heard_ms_ = 0;
        answer_pending_ = false;
        unanswered_tries_ = 0;
        waiting_said_ = false;
        joined_said_ = false;
    }
    loop_.start("orva-ipx");
    return 0;
}

void IpxStack::stop()
{
    loop_.stop();
    std::lock_guard<std::mutex> hold(lock_);
    carrier_.close();
    registered_ = false;
}

IpxAddress IpxStack::local_address() const
{
    std::lock_guard<std::mutex> hold(lock_);
    return local_;
}

int IpxStack::before_wait()
{
    std::lock_guard<std::mutex> hold(lock_);
    uint64_t now = monotonic_ms();
    if (registered_ && !answer_pending_ &&
        now >= last_heard_ms_ + static_cast<uint64_t>(timing_.silence_limit_ms)) {
        // The server may have forgotten us; ask again, but keep
        // sending meanwhile: a server that still knows us answers.
        answer_pending_ = true;
        unanswered_tries_ = 0;
        next_registration_ = now;
    }
    if ((!registered_ || answer_pending_) && now >= next_registration_) {
        send_registration();
        next_registration_ = now + timing_.register_interval_ms;
    }
    uint64_t wake_at = (!registered_ || answer_pending_) ? next_registration_
                                                         : last_heard_ms_ + timing_.silence_limit_ms;
    return wake_at > now ? static_cast<int>(wake_at - now) : 0;
}

void IpxStack::send_registration()
{
    IpxHeader h;
    h.destination.socket = IPX_TUNNEL_SOCKET;
    h.source.socket = IPX_TUNNEL_SOCKET;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(h, packet);
    carrier_.send_to(server_, packet, sizeof packet);
    registrations_++;
    ++unanswered_tries_;
    if (unanswered_tries_ >= timing_.tries_before_waiting_notice && !waiting_said_) {
        waiting_said_ = true;
        joined_said_ = false;
        send_ipx_notice(sink_, "IPX: waiting for the tunnel server at %s", format_udp_address(server_).c_str());
    }
}

void IpxStack::answer_ping(const IpxHeader& ping)
{
    IpxHeader h;
    h.destination = ping.source;
    h.destination.socket = IPX_TUNNEL_SOCKET;
    h.source = local_;
    h.source.socket = 0;
    uint8_t packet[IPX_HEADER_SIZE];
    write_ipx_header(h, packet);
    carrier_.send_to(server_, packet, sizeof packet);
}

void IpxStack::handle_datagram(const uint8_t* datagram, size_t size, const UdpAddress& from)
{
    // Only the server speaks to us; anything else on the carrier is noise.
    if (!(from == server_)) {
        undeliverable_++;
        return;
    }
    IpxHeader h;
    if (!parse_ipx_datagram(datagram, size, h)) {
        malformed_++;
        return;
    }
    if (h.destination.socket != IPX_TUNNEL_SOCKET) {
        // The readers are woken once the lock is free: woken under it, each
        // would only wait again for the lock.
        std::vector<std::shared_ptr<IpxSocketBinding>> to_wake;
        {
            std::lock_guard<std::mutex> hold(lock_);
            last_heard_ms_ = monotonic_ms();
            deliver(h, datagram, size, to_wake);
        }
        for (const auto& binding : to_wake)
            binding->arrived.notify_one();
        return;
    }
    std::lock_guard<std::mutex> hold(lock_);
    last_heard_ms_ = monotonic_ms();
    if (h.destination.broadcast_node()) {
        if (registered_)
            answer_ping(h);
        return;
    }
    bool answer = h.source.socket == IPX_TUNNEL_SOCKET && !h.destination.zero_node();
    bool ours = registered_ && h.destination.same_host(local_);
    if (!answer || (registered_ && !answer_pending_ && !ours))
        return;
    bool changed = !ours;
    local_ = h.destination;
    local_.socket = 0;
    registered_ = true;
    answer_pending_ = false;
    unanswered_tries_ = 0;
    // Sockets held back until the stack joined can send now.
    if (arrival_event_)
        arrival_event_->signal();
    if (!joined_said_ || changed) {
        joined_said_ = true;
        waiting_said_ = false;
        send_ipx_notice(sink_, "IPX: joined the network as %s through %s",
               local_.host_text().c_str(), format_udp_address(server_).c_str());
    }
}

void IpxStack::deliver(const IpxHeader& h, const uint8_t* datagram, size_t size,
                       std::vector<std::shared_ptr<IpxSocketBinding>>& to_wake)
{
    bool broadcast = h.destination.broadcast_node();
    if (!broadcast && !(registered_ && std::equal(local_.node, local_.node + 6, h.destination.node))) {
        undeliverable_++;
        return;
    }
    auto range = bindings_.equal_range(h.destination.socket);
    bool delivered = false;
    for (auto it = range.first; it != range.second; ++it) {
        IpxSocketBinding* b = it->second.get();
        if (broadcast && !b->receive_broadcast)
            continue;
        if (b->queue.size() >= IPX_RECEIVE_QUEUE_LIMIT) {
            b->dropped_full++;
            continue;
        }
        b->queue.emplace_back(datagram, datagram + size);
        to_wake.push_back(it->second);
        delivered = true;
    }
    if (!delivered)
        undeliverable_++;
    else if (arrival_event_)
        arrival_event_->signal();
}

IpxSocketBinding* IpxStack::bind(uint16_t socket_number, bool reuse)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (socket_number == IPX_TUNNEL_SOCKET)
        return nullptr;
    if (socket_number == 0) {
        // Round the dynamic range so that a number just released is not
        // handed out again at once: late packets of an old circuit would
        // reach the new one.
        constexpr int span = IPX_DYNAMIC_SOCKET_LAST - IPX_DYNAMIC_SOCKET_FIRST + 1;
        for (int i = 0; i < span && socket_number == 0; ++i) {
            uint16_t candidate = next_dynamic_;
            next_dynamic_ = candidate == IPX_DYNAMIC_SOCKET_LAST ? IPX_DYNAMIC_SOCKET_FIRST
                                                                  : static_cast<uint16_t>(candidate + 1);
            if (bindings_.count(candidate) == 0)
                socket_number = candidate;
        }
        if (socket_number == 0)
            return nullptr;
        reuse = false;
    } else {
        auto range = bindings_.equal_range(socket_number);
        for (auto it = range.first; it != range.second; ++it)
            if (!reuse || !it->second->reuse)
                return nullptr;
    }
    auto b = std::make_shared<IpxSocketBinding>();
    b->socket_number = socket_number;
    b->reuse = reuse;
    return bindings_.emplace(socket_number, std::move(b))->second.get();
}

void IpxStack::release(IpxSocketBinding* binding)
{
    if (binding == nullptr)
        return;
    std::lock_guard<std::mutex> hold(lock_);
    auto range = bindings_.equal_range(binding->socket_number);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.get() == binding) {
            bindings_.erase(it);
            return;
        }
    }
}

void IpxStack::set_receive_broadcast(IpxSocketBinding* binding, bool on)
{
    std::lock_guard<std::mutex> hold(lock_);
    binding->receive_broadcast = on;
}

int IpxStack::readiness(IpxSocketBinding* binding)
{
    std::lock_guard<std::mutex> hold(lock_);
    int bits = 0;
    if (!binding->queue.empty())
        bits |= 1;
    if (registered_ && carrier_.descriptor() >= 0)
        bits |= 2;
    return bits;
}

void IpxStack::wait(IpxSocketBinding* binding, int timeout_ms)
{
    std::unique_lock<std::mutex> hold(lock_);
    binding->arrived.wait_for(hold, std::chrono::milliseconds(timeout_ms),
                              [binding] { return !binding->queue.empty() || binding->wake_requested; });
    binding->wake_requested = false;
}

void IpxStack::set_arrival_event(WakeEvent* event)
{
    std::lock_guard<std::mutex> hold(lock_);
    arrival_event_ = event;
}

void IpxStack::wake(IpxSocketBinding* binding)
{
    {
        std::lock_guard<std::mutex> hold(lock_);
        binding->wake_requested = true;
    }
    // Outside the lock, so the woken thread need not wait for it; the
    // binding's owner is the caller, so it cannot go meanwhile.
    binding->arrived.notify_one();
}

int IpxStack::take_packet(IpxSocketBinding* binding, std::vector<uint8_t>& packet)
{
    std::lock_guard<std::mutex> hold(lock_);
    if (binding->queue.empty()) {
        packet.clear();
        return 0;
    }
    packet.swap(binding->queue.front());
    binding->queue.pop_front();
    return static_cast<int>(packet.size());
}

int IpxStack::take(IpxSocketBinding* binding, uint8_t* buffer, int size, bool with_header)
{
    if (size < 0 || (buffer == nullptr && size > 0))
        return -1;
    std::lock_guard<std::mutex> hold(lock_);
    if (binding->queue.empty())
        return 0;
    std::vector<uint8_t> packet = std::move(binding->queue.front());
    binding->queue.pop_front();
    size_t offset = with_header ? 0 : IPX_HEADER_SIZE;
    size_t n = packet.size() - offset;
    if (n > static_cast<size_t>(size))
        n = static_cast<size_t>(size);
    if (n > 0)
        std::memcpy(buffer, packet.data() + offset, n);
    return static_cast<int>(n);
}

int IpxStack::send(IpxSocketBinding* binding, const IpxAddress& to, const uint8_t* data, int count,
                   bool broadcast_allowed)
{
    if (count < 0 || static_cast<size_t>(count) > IPX_MAX_PACKET - IPX_HEADER_SIZE ||
        (data == nullptr && count > 0))
        return -1;
    if (to.broadcast_node() && !broadcast_allowed)
        return -1;
    std::lock_guard<std::mutex> hold(lock_);
    if (!registered_ || carrier_.descriptor() < 0)
        return 0;
    IpxHeader h;
    h.length = static_cast<uint16_t>(IPX_HEADER_SIZE + count);
    h.destination = to;
    h.source = local_;
    h.source.socket = binding->socket_number;
    // The header and the caller's bytes leave as one datagram, uncopied.
    uint8_t header[IPX_HEADER_SIZE];
    write_ipx_header(h, header);
    int n = carrier_.send_to(server_, header, IPX_HEADER_SIZE, data, size_t(count));
    if (n < 0)
        return -1;
    return n == 0 ? 0 : count;
}

IpxStack& ipx_stack()
{
    // Never destroyed: endpoints of other process-wide objects may be closed
    // after static destruction has begun.
    static IpxStack* stack = new IpxStack;
    return *stack;
}
