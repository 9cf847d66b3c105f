// TCP stream sockets over BSD sockets and poll(2).
#include "port/tcp.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {
// The socket address of a, and its length.
socklen_t to_sockaddr(const TcpAddress& a, sockaddr_storage& storage)
{
    storage = {};
    if (a.ipv6) {
        auto* s = reinterpret_cast<sockaddr_in6*>(&storage);
        s->sin6_family = AF_INET6;
        s->sin6_port = htons(a.port);
        std::memcpy(&s->sin6_addr, a.bytes, 16);
        return sizeof *s;
    }
    auto* s = reinterpret_cast<sockaddr_in*>(&storage);
    s->sin_family = AF_INET;
    s->sin_port = htons(a.port);
    std::memcpy(&s->sin_addr.s_addr, a.bytes, 4);
    return sizeof *s;
}

TcpAddress from_sockaddr(const sockaddr_storage& storage)
{
    TcpAddress a;
    if (storage.ss_family == AF_INET6) {
        const auto& s = reinterpret_cast<const sockaddr_in6&>(storage);
        a.port = ntohs(s.sin6_port);
        // An IPv4 caller on a listener of both families is an IPv4 caller.
        if (IN6_IS_ADDR_V4MAPPED(&s.sin6_addr)) {
            std::memcpy(a.bytes, s.sin6_addr.s6_addr + 12, 4);
        } else {
            std::memcpy(a.bytes, &s.sin6_addr, 16);
            a.ipv6 = true;
        }
        return a;
    }
    const auto& s = reinterpret_cast<const sockaddr_in&>(storage);
    std::memcpy(a.bytes, &s.sin_addr.s_addr, 4);
    a.port = ntohs(s.sin_port);
    return a;
}
}

int tcp_create(bool ipv6)
{
    int handle = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (handle < 0)
        return TCP_INVALID;
    // Lets a restarted adapter listen again while old callers' connections
    // linger in TIME_WAIT; a port held by a live listener still fails.
    int on = 1;
    ::setsockopt(handle, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    return handle;
}

bool tcp_parse_address(const char* text, TcpAddress& out)
{
    out = TcpAddress{};
    if (!text)
        return false;
    if (::inet_pton(AF_INET, text, out.bytes) == 1)
        return true;
    out.ipv6 = true;
    return ::inet_pton(AF_INET6, text, out.bytes) == 1;
}

int tcp_bind(int handle, const char* address, int port, TcpAddress& bound)
{
    bound = TcpAddress{};
    if (address && *address) {
        // Numbers only, never a name lookup; IPv4 as inet_aton reads it.
        in_addr v4{};
        if (::inet_aton(address, &v4) != 0) {
            std::memcpy(bound.bytes, &v4.s_addr, 4);
        } else if (::inet_pton(AF_INET6, address, bound.bytes) == 1) {
            bound.ipv6 = true;
        } else {
            return -1;
        }
    }
    bound.port = uint16_t(port);
    if (handle < 0 || port < 0 || port > 65535)
        return -1;
    if (bound.ipv6) {
        int off = 0;
        ::setsockopt(handle, IPPROTO_IPV6, IPV6_V6ONLY, &off, sizeof off);
    }
    sockaddr_storage s;
    socklen_t length = to_sockaddr(bound, s);
    return ::bind(handle, reinterpret_cast<sockaddr*>(&s), length) == 0 ? 0 : -1;
}

int tcp_listen(int handle, int backlog)
{
    return ::listen(handle, backlog) == 0 ? 0 : -1;
}

namespace {
int poll_for(int handle, short events, int wake_fd, int timeout_ms)
{
    pollfd p[2]{};
    p[0].fd = handle;
    p[0].events = events;
    p[1].fd = wake_fd;
    p[1].events = POLLIN;
    int n = ::poll(p, wake_fd >= 0 ? 2 : 1, timeout_ms);
    if (n < 0)
        return errno == EINTR ? 0 : PollError;
    if (n == 0)
        return 0;
    int bits = 0;
    if (p[0].revents & POLLIN)
        bits |= PollReadable;
    if (p[0].revents & POLLOUT)
        bits |= PollWritable;
    if (p[0].revents & (POLLERR | POLLHUP | POLLNVAL))
        bits |= PollError;
    if (wake_fd >= 0 && (p[1].revents & POLLIN))
        bits |= PollWoken;
    return bits;
}
}

int tcp_poll(int handle)
{
    return poll_for(handle, POLLIN | POLLOUT, -1, 0);
}

int tcp_wait(int handle, bool readable, bool writable, int timeout_ms, int wake_fd)
{
    short events = short((readable ? POLLIN : 0) | (writable ? POLLOUT : 0));
    return poll_for(handle, events, wake_fd, timeout_ms);
}

int tcp_accept(int handle, TcpAddress& peer)
{
    sockaddr_storage s{};
    socklen_t length = sizeof s;
    int accepted = ::accept4(handle, reinterpret_cast<sockaddr*>(&s), &length, SOCK_CLOEXEC);
    if (accepted < 0)
        return TCP_INVALID;
    peer = from_sockaddr(s);
    return accepted;
}

int tcp_set_nonblocking(int handle)
{
    int flags = ::fcntl(handle, F_GETFL);
    if (flags < 0)
        return -1;
    return ::fcntl(handle, F_SETFL, flags | O_NONBLOCK) == 0 ? 0 : -1;
}

int tcp_set_urgent_inline(int handle)
{
    int on = 1;
    return ::setsockopt(handle, SOL_SOCKET, SO_OOBINLINE, &on, sizeof on) == 0 ? 0 : -1;
}

namespace {
int receive_with(int handle, uint8_t* buffer, int length, int flags)
{
    ssize_t n = ::recv(handle, buffer, size_t(length), flags);
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return TCP_WOULD_BLOCK;
    return -1;
}
}

int tcp_receive(int handle, uint8_t* buffer, int length)
{
    return receive_with(handle, buffer, length, 0);
}

int tcp_peek(int handle, uint8_t* buffer, int length)
{
    return receive_with(handle, buffer, length, MSG_PEEK);
}

int tcp_send(int handle, const uint8_t* bytes, int length)
{
    ssize_t n = ::send(handle, bytes, size_t(length), MSG_NOSIGNAL);
    if (n >= 0)
        return int(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)
        return 0;
    return -1;
}

int tcp_close(int handle)
{
    if (handle < 0)
        return -1;
    return ::close(handle) == 0 ? 0 : -1;
}

bool tcp_reverse_name(const TcpAddress& address, std::string& name)
{
    sockaddr_storage s;
    socklen_t length = to_sockaddr(address, s);
    char host[NI_MAXHOST];
    if (::getnameinfo(reinterpret_cast<sockaddr*>(&s), length, host, sizeof host, nullptr, 0,
                      NI_NAMEREQD) != 0)
        return false;
    name = host;
    return true;
}

void tcp_address_text(const TcpAddress& address, char out[TCP_ADDRESS_TEXT])
{
    if (!::inet_ntop(address.ipv6 ? AF_INET6 : AF_INET, address.bytes, out, TCP_ADDRESS_TEXT))
        out[0] = '\0';
}
