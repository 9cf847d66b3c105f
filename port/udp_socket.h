// UdpSocket: a non-blocking IPv4 datagram socket, the carrier of the IPX
// tunnel. Replaces the IPX socket family's transport; nothing outside port/
// sees the socket API.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// An IPv4 address and UDP port, both in host order.
struct UdpAddress {
    uint32_t ip = 0;
    uint16_t port = 0;
    bool operator==(const UdpAddress& other) const { return ip == other.ip && port == other.port; }
    // One number per address, for lookup tables.
    uint64_t key() const { return (static_cast<uint64_t>(ip) << 16) | port; }
};

// Dotted IPv4 text to an address in host order; false when it is not one.
bool parse_ipv4(const char* text, uint32_t& ip);
std::string format_udp_address(const UdpAddress& address);

// One datagram of a batch: its bytes (not owned) and, to send, where to.
struct UdpDatagram {
    const uint8_t* data;
    size_t size;
    UdpAddress peer;
};

class UdpSocket {
public:
    UdpSocket() = default;
    ~UdpSocket();
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    // Creates the socket and binds it to ip:port (port 0 = any free one).
    // 0, or -1 with the reason in error.
    int open(const char* ip, int port, std::string& error);
    void close();
    int descriptor() const { return fd_; }
    // The address actually bound.
    UdpAddress local_address() const;

    // Bytes sent; 0 when the socket would block; -1 on any other error.
    int send_to(const UdpAddress& to, const uint8_t* data, size_t size);
    // The same for a datagram made of a head and a body that lie apart:
    // the kernel joins them, nothing is copied here.
    int send_to(const UdpAddress& to, const uint8_t* head, size_t head_size, const uint8_t* body,
                size_t body_size);
    // Bytes received (the datagram is cut to size; an empty one gives 0);
    // -1 when nothing waits; -2 on any other error.
    int receive_from(uint8_t* buffer, size_t size, UdpAddress& from);

    // Sends a batch in as few system calls as the kernel allows; returns
    // how many were sent (the rest would block or failed).
    int send_many(const UdpDatagram* datagrams, int count);
    // Receives up to count datagrams, the i-th into buffers + i * each (cut
    // to each bytes); sizes and senders go to datagrams. Returns how many,
    // 0 when nothing waits, -1 on an error.
    int receive_many(uint8_t* buffers, size_t each, UdpDatagram* datagrams, int count);

    // Waits up to timeout_ms (-1: without limit) until the socket is
    // readable or wake_fd is; true when the socket is readable.
    bool wait_readable(int wake_fd, int timeout_ms);

private:
    int fd_ = -1;
};
