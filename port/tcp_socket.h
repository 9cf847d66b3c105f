// TcpSocket: the listening socket and every caller's connection.
#pragma once

#include <memory>

#include "port/tcp.h"

class TcpSocket {
public:
    TcpSocket() = default;
    // Closes the socket if its owner has not.
    ~TcpSocket();
    TcpSocket(const TcpSocket&) = delete;
    TcpSocket& operator=(const TcpSocket&) = delete;

    // Creates the socket and binds it (address: dotted IPv4 or IPv6, "::"
    // for every address of both families; null or empty = every local IPv4
    // address). Prints "bind failed" on failure. 0, or -1.
    int open(const char* address_text, int port);
    // Listens without blocking accept; prints "listen failed" on failure.
    // 0, or -1.
    int listen(int backlog);
    // Readiness bits (PollReadable, PollWritable, PollError), never waiting.
    int poll();
    // Waits up to timeout_ms (-1: no limit) for the asked readiness or an
    // error, or until wake_fd (when given) is readable.
    int wait(bool readable, bool writable, int timeout_ms, int wake_fd = -1);
    // The next waiting connection, in non-blocking mode, or null when accept
    // fails (for example when no descriptor is left).
    std::unique_ptr<TcpSocket> accept();
    // Bytes read, 0 when the peer has closed, TCP_WOULD_BLOCK, or -1.
    int receive(uint8_t* buffer, int length);
    // As receive, leaving the bytes for the next receive.
    int peek(uint8_t* buffer, int length);
    // Bytes sent (0 when it would block), or -1.
    int send(const uint8_t* bytes, int length);
    void close();
    // Gives the descriptor to a new owner, who closes it; the socket holds
    // none from then on.
    int release();
    // Takes an open descriptor (a listener made with the tcp_ calls, say)
    // to own and close; address is its local address.
    void adopt(int handle, const TcpAddress& address);

    int handle() const { return handle_; }
    // The listener's local address, or a connection's peer.
    const TcpAddress& address() const { return address_; }
    // A connection's peer as a trusted load balancer named it.
    void set_address(const TcpAddress& address) { address_ = address; }

private:
    int handle_ = TCP_INVALID;
    TcpAddress address_;
};
