// IpxEndpoint: a non-blocking IPX datagram socket with one destination.
#pragma once

#include <cstdint>
#include <vector>

#include "ipx/ipx_address.h"
#include "port/readiness.h"

class IpxStack;
struct IpxSocketBinding;

class IpxEndpoint {
public:
    // Uses the process-wide IPX stack unless another is given (tests join
    // several stacks in one process).
    IpxEndpoint();
    explicit IpxEndpoint(IpxStack& stack);
    ~IpxEndpoint();
    IpxEndpoint(const IpxEndpoint&) = delete;
    IpxEndpoint& operator=(const IpxEndpoint&) = delete;

    // Binds socket_number (host order; 0 = a free number from 0x4000 up).
    // A non-zero number asks for address reuse first. 0, or -1.
    int open(uint16_t socket_number);
    // Where send delivers. Returns 0.
    int set_destination(const IpxAddress& destination);
    // Readiness bits; PollWritable only once the stack has joined the
    // network; -1 when the test itself fails.
    int poll();
    // Bytes received, 0 when nothing is waiting, -1 on any other error.
    int receive(uint8_t* buffer, int size);
    // The next datagram whole, header and all, into packet (which gives up
    // its old contents); its size as receive counts it.
    int receive_packet(std::vector<uint8_t>& packet);
    // Bytes sent, 0 when it would block, -1 on any other error.
    int send(const uint8_t* bytes, int count);
    // Waits up to timeout_ms for a datagram, or until another thread calls
    // wake; at once when one is waiting.
    void wait(int timeout_ms);
    void wake();
    int close();

    // Received datagrams begin with their 30-byte IPX header.
    int set_receive_header(int on);
    // Sending to the broadcast node is allowed.
    int set_broadcast(int on);
    // Broadcasts addressed to our socket are delivered to us.
    int set_receive_broadcast(int on);

    // The bound socket number (host order), 0 before open.
    uint16_t socket_number() const;

private:
    IpxStack* stack_;
    IpxSocketBinding* binding_ = nullptr;
    IpxAddress destination_;
    bool receive_header_ = false;
    bool broadcast_ = false;
};
