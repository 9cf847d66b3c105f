// IpxRelay: the server side of the IPX tunnel over UDP. Nodes register, get
// an address, and their packets are forwarded to one node or to all. Serves
// the standalone relay tool and the adapter's host mode alike.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "ipx/ipx_packet.h"
#include "ipx/udp_loop.h"
#include "port/udp_socket.h"

struct IpxRelayTiming {
    // Idle nodes are pinged this often.
    int ping_interval_ms = 5000;
    // A node silent for this many intervals is dropped.
    int missed_pings_limit = 3;
    // Registrations beyond this many nodes are refused, so a flood of forged
    // UDP sources cannot grow the table without end.
    size_t max_nodes = 4096;
};

class IpxRelay {
public:
    IpxRelay();
    ~IpxRelay(); // stops the thread
    IpxRelay(const IpxRelay&) = delete;
    IpxRelay& operator=(const IpxRelay&) = delete;

    void set_timing(const IpxRelayTiming& timing);
    // Where the join and leave lines go; by default standard output. Called
    // on the relay's thread.
    void set_event_sink(void (*sink)(const char* line));

    // Binds address:port (port 0 = a free one). 0, or -1 with the reason
    // in last_error.
    int bind(const char* address, int port);
    const std::string& last_error() const { return last_error_; }
    UdpAddress address() const { return address_; }

    // Runs the loop on a thread of its own. 0, or -1 when not bound.
    int start();
    // Runs the loop in the caller until request_stop.
    void run();
    // Ends the loop soon; safe from a signal handler.
    void request_stop();
    // Ends the loop, waits for the thread and releases the port.
    void stop();

    size_t node_count() const { return node_count_.load(); }
    uint64_t forwarded_count() const { return forwarded_.load(); }
    uint64_t forged_count() const { return forged_.load(); }
    uint64_t malformed_count() const { return malformed_.load(); }

    // The loop's two steps, for tests that drive the relay without traffic
    // on a socket: one datagram received from an address at a time (ms of
    // the monotonic clock), and the periodic ping and expiry pass. Only
    // the loop's thread may call them while it runs.
    void handle(const uint8_t* datagram, size_t size, const UdpAddress& from, uint64_t now);
    void tick(uint64_t now);

private:
    struct Node {
        UdpAddress udp;
        IpxAddress address;
        uint64_t last_heard_ms = 0;
    };

    int before_wait();
    void received(const UdpDatagram* datagrams, int count);
    void register_node(const UdpAddress& from, uint64_t now);
    void forward(const Node& sender, const IpxHeader& h, const uint8_t* datagram, size_t size);

    IpxRelayTiming timing_;
    void (*sink_)(const char*);
    UdpSocket socket_;
    UdpAddress address_;
    IpxAddress own_address_;
    UdpLoop loop_;
    std::string last_error_;

    // Owned by the loop.
    uint64_t next_tick_ = 0;
    std::unordered_map<uint64_t, Node> nodes_;          // by UDP address key
    std::unordered_map<uint64_t, uint64_t> by_ipx_node_; // IPX node -> UDP key
    std::vector<UdpDatagram> outgoing_;

    std::atomic<size_t> node_count_{0};
    std::atomic<uint64_t> forwarded_{0};
    std::atomic<uint64_t> forged_{0};
    std::atomic<uint64_t> malformed_{0};
};
