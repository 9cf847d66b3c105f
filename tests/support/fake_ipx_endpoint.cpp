// IpxEndpoint on the in-memory test network of fake_ipx_network.h.
#include <cstring>
#include <deque>
#include <map>
#include <mutex>

#include "ipx/ipx_endpoint.h"
#include "ipx/ipx_packet.h"
#include "tests/support/fake_ipx_network.h"
#include "port/clock.h"

namespace {

struct Queued {
    support::fake_ipx::Datagram bytes;
    uint16_t sender;
};

struct Network {
    std::mutex lock;
    std::map<uint16_t, std::deque<Queued>> queues;
    std::map<uint16_t, int> sent;
    std::map<uint16_t, bool> bound;
    uint16_t next_free = 0x4000;
    bool writable = true;
    bool fail_poll = false;
    int refuse = 0;
};

Network& net()
{
    static Network n;
    return n;
}

}

struct IpxSocketBinding {
    uint16_t socket = 0;
    bool header = false;
};

namespace support::fake_ipx {

void reset()
{
    std::lock_guard<std::mutex> g(net().lock);
    net().queues.clear();
    net().sent.clear();
    net().bound.clear();
    net().next_free = 0x4000;
    net().writable = true;
    net().fail_poll = false;
    net().refuse = 0;
}

void set_writable(bool writable)
{
    std::lock_guard<std::mutex> g(net().lock);
    net().writable = writable;
}

void inject(uint16_t socket, const Datagram& bytes, uint16_t sender_socket)
{
    std::lock_guard<std::mutex> g(net().lock);
    net().queues[socket].push_back({bytes, sender_socket});
}

std::vector<Datagram> take(uint16_t socket)
{
    std::lock_guard<std::mutex> g(net().lock);
    std::vector<Datagram> out;
    for (auto& q : net().queues[socket])
        out.push_back(q.bytes);
    net().queues[socket].clear();
    return out;
}

int sent_count(uint16_t socket)
{
    std::lock_guard<std::mutex> g(net().lock);
    return net().sent[socket];
}

void refuse_sends(int n)
{
    std::lock_guard<std::mutex> g(net().lock);
    net().refuse = n;
}

void fail_next_poll()
{
    std::lock_guard<std::mutex> g(net().lock);
    net().fail_poll = true;
}

}

IpxEndpoint::IpxEndpoint() : stack_(nullptr) {}
IpxEndpoint::IpxEndpoint(IpxStack& stack) : stack_(&stack) {}
IpxEndpoint::~IpxEndpoint()
{
    close();
}

int IpxEndpoint::open(uint16_t socket_number)
{
    std::lock_guard<std::mutex> g(net().lock);
    if (socket_number == 0) {
        while (net().bound[net().next_free])
            ++net().next_free;
        socket_number = net().next_free++;
    } else if (net().bound[socket_number]) {
        return -1;
    }
    net().bound[socket_number] = true;
    binding_ = new IpxSocketBinding{socket_number, false};
    return 0;
}

int IpxEndpoint::set_destination(const IpxAddress& destination)
{
    destination_ = destination;
    return 0;
}

int IpxEndpoint::poll()
{
    std::lock_guard<std::mutex> g(net().lock);
    if (net().fail_poll || !binding_) {
        net().fail_poll = false;
        return -1;
    }
    int bits = net().writable ? PollWritable : 0;
    if (!net().queues[binding_->socket].empty())
        bits |= PollReadable;
    return bits;
}

int IpxEndpoint::receive_packet(std::vector<uint8_t>& packet)
{
    packet.resize(IPX_MAX_PACKET);
    const int n = receive(packet.data(), int(packet.size()));
    packet.resize(n > 0 ? size_t(n) : 0);
    return n;
}

int IpxEndpoint::receive(uint8_t* buffer, int size)
{
    std::lock_guard<std::mutex> g(net().lock);
    if (!binding_)
        return -1;
    auto& q = net().queues[binding_->socket];
    if (q.empty())
        return 0;
    Queued d = q.front();
    q.pop_front();
    int at = 0;
    if (binding_->header) {
        // Only the fields the tests read: length and the source socket.
        uint8_t header[30] = {};
        header[2] = static_cast<uint8_t>((30 + d.bytes.size()) >> 8);
        header[3] = static_cast<uint8_t>(30 + d.bytes.size());
        header[28] = static_cast<uint8_t>(d.sender >> 8);
        header[29] = static_cast<uint8_t>(d.sender);
        at = size < 30 ? size : 30;
        std::memcpy(buffer, header, at);
    }
    int n = static_cast<int>(d.bytes.size());
    if (n > size - at)
        n = size - at;
    if (n > 0)
        std::memcpy(buffer + at, d.bytes.data(), n);
    return at + n;
}

// The in-memory network has nothing to wait on: a cycle a millisecond.
void IpxEndpoint::wait(int) { sleep_ms(1); }

void IpxEndpoint::wake() {}

int IpxEndpoint::send(const uint8_t* bytes, int count)
{
    std::lock_guard<std::mutex> g(net().lock);
    if (!binding_)
        return -1;
    if (!net().writable)
        return 0;
    if (net().refuse > 0) {
        --net().refuse;
        return 0;
    }
    net().queues[destination_.socket].push_back({support::fake_ipx::Datagram(bytes, bytes + count), binding_->socket});
    ++net().sent[destination_.socket];
    return count;
}

int IpxEndpoint::close()
{
    std::lock_guard<std::mutex> g(net().lock);
    if (binding_) {
        net().bound[binding_->socket] = false;
        delete binding_;
        binding_ = nullptr;
    }
    return 0;
}

int IpxEndpoint::set_receive_header(int on)
{
    if (binding_)
        binding_->header = on != 0;
    return 0;
}

int IpxEndpoint::set_broadcast(int)
{
    return 0;
}

int IpxEndpoint::set_receive_broadcast(int)
{
    return 0;
}

uint16_t IpxEndpoint::socket_number() const
{
    return binding_ ? binding_->socket : 0;
}
