// TCP stream sockets: replaces the Windows Sockets TCP calls, select, the
// reverse lookup and the address text of the Telnet front end.
#pragma once

#include <cstdint>
#include <string>

#include "port/readiness.h"

// An IPv4 or IPv6 address and port; bytes in network order (an IPv4
// address in the first 4), port in host order.
struct TcpAddress {
    uint8_t bytes[16] = {};
    uint16_t port = 0;
    bool ipv6 = false;
};

// Room for the text of any address, IPv6 included, with its zero byte.
constexpr int TCP_ADDRESS_TEXT = 46;

constexpr int TCP_INVALID = -1;
// What tcp_receive returns when nothing is waiting on a non-blocking socket.
constexpr int TCP_WOULD_BLOCK = -2;

// A new stream socket (close-on-exec) of either family, or TCP_INVALID.
int tcp_create(bool ipv6 = false);
// Binds to address (dotted IPv4 or IPv6; null or empty = every local IPv4
// address) and port; bound receives the address used. An IPv6 socket also
// takes IPv4 callers where the system allows ("::" then listens on both).
// 0, or -1.
int tcp_bind(int handle, const char* address, int port, TcpAddress& bound);
// A numeric IPv4 ("192.0.2.7") or IPv6 ("2001:db8::1") address; never a
// name lookup. False when the text is neither.
bool tcp_parse_address(const char* text, TcpAddress& out);
int tcp_listen(int handle, int backlog);
// Readiness bits without waiting; a failed poll reports PollError.
int tcp_poll(int handle);
// Waits up to timeout_ms (-1: no limit) for the asked readiness (or an
// error), or until wake_fd, when given, is readable; the socket's bits seen,
// with PollWoken when the wake came; 0 when the time passed.
int tcp_wait(int handle, bool readable, bool writable, int timeout_ms, int wake_fd = -1);
// The next waiting connection (close-on-exec) with its peer, or TCP_INVALID.
// An IPv4 caller reaching an IPv6 listener is given as its IPv4 address.
int tcp_accept(int handle, TcpAddress& peer);
int tcp_set_nonblocking(int handle);
// Urgent data stays in the stream, where it was sent, instead of being taken
// out of it (a Telnet Synch's Data Mark is then read as a command). 0, or -1.
int tcp_set_urgent_inline(int handle);
// Bytes read, 0 when the peer has closed, TCP_WOULD_BLOCK, or -1.
int tcp_receive(int handle, uint8_t* buffer, int length);
// As tcp_receive, leaving the bytes where they are for the next read.
int tcp_peek(int handle, uint8_t* buffer, int length);
// Bytes sent (0 when it would block), or -1. Never raises SIGPIPE.
int tcp_send(int handle, const uint8_t* bytes, int length);
int tcp_close(int handle);

// The host name registered for the address; false when there is none.
bool tcp_reverse_name(const TcpAddress& address, std::string& name);
// The usual text of the address ("192.0.2.7", "2001:db8::1").
void tcp_address_text(const TcpAddress& address, char out[TCP_ADDRESS_TEXT]);
