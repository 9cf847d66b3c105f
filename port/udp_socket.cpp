// UdpSocket over the BSD socket API.
#include "port/udp_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

namespace {
sockaddr_in to_sockaddr(const UdpAddress& a)
{
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(a.ip);
    sa.sin_port = htons(a.port);
    return sa;
}
}

bool parse_ipv4(const char* text, uint32_t& ip)
{
    in_addr a{};
    if (text == nullptr || inet_pton(AF_INET, text, &a) != 1)
        return false;
    ip = ntohl(a.s_addr);
    return true;
}

std::string format_udp_address(const UdpAddress& address)
{
    in_addr a{};
    a.s_addr = htonl(address.ip);
    char text[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &a, text, sizeof text);
    return std::string(text) + ":" + std::to_string(address.port);
}

UdpSocket::~UdpSocket() { close(); }

int UdpSocket::open(const char* ip, int port, std::string& error)
{
    close();
    UdpAddress address;
    if (!parse_ipv4(ip, address.ip)) {
        error = std::string("not an IPv4 address: ") + (ip ? ip : "(none)");
        return -1;
    }
    if (port < 0 || port > 65535) {
        error = "not a UDP port: " + std::to_string(port);
        return -1;
    }
    address.port = static_cast<uint16_t>(port);
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd_ < 0) {
        error = std::string("cannot create a UDP socket: ") + std::strerror(errno);
        return -1;
    }
    // Bursts to many nodes must not overflow the default buffers.
    int buffer = 1 << 20;
    setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    setsockopt(fd_, SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    sockaddr_in sa = to_sockaddr(address);
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        error = "cannot bind UDP " + format_udp_address(address) + ": " + std::strerror(errno);
        close();
        return -1;
    }
    return 0;
}

void UdpSocket::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

UdpAddress UdpSocket::local_address() const
{
    UdpAddress a;
    sockaddr_in sa{};
    socklen_t len = sizeof sa;
    if (fd_ >= 0 && getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len) == 0) {
        a.ip = ntohl(sa.sin_addr.s_addr);
        a.port = ntohs(sa.sin_port);
    }
    return a;
}

int UdpSocket::send_to(const UdpAddress& to, const uint8_t* data, size_t size)
{
    return send_to(to, data, size, nullptr, 0);
}

int UdpSocket::send_to(const UdpAddress& to, const uint8_t* head, size_t head_size, const uint8_t* body,
                       size_t body_size)
{
    sockaddr_in sa = to_sockaddr(to);
    iovec parts[2] = {{const_cast<uint8_t*>(head), head_size}, {const_cast<uint8_t*>(body), body_size}};
    msghdr message{};
    message.msg_name = &sa;
    message.msg_namelen = sizeof sa;
    message.msg_iov = parts;
    message.msg_iovlen = body_size > 0 ? 2 : 1;
    for (;;) {
        ssize_t n = ::sendmsg(fd_, &message, 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ENOBUFS)
            return 0;
        return -1;
    }
}

int UdpSocket::receive_from(uint8_t* buffer, size_t size, UdpAddress& from)
{
    for (;;) {
        sockaddr_in sa{};
        socklen_t len = sizeof sa;
        ssize_t n = ::recvfrom(fd_, buffer, size, 0, reinterpret_cast<sockaddr*>(&sa), &len);
        if (n >= 0) {
            from.ip = ntohl(sa.sin_addr.s_addr);
            from.port = ntohs(sa.sin_port);
            return static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return -1;
        return -2;
    }
}

int UdpSocket::send_many(const UdpDatagram* datagrams, int count)
{
    constexpr int CHUNK = 64;
    int done = 0;
    while (done < count) {
        int n = count - done < CHUNK ? count - done : CHUNK;
        mmsghdr msgs[CHUNK];
        iovec iov[CHUNK];
        sockaddr_in to[CHUNK];
        std::memset(msgs, 0, sizeof(mmsghdr) * n);
        for (int i = 0; i < n; ++i) {
            const UdpDatagram& d = datagrams[done + i];
            to[i] = to_sockaddr(d.peer);
            iov[i].iov_base = const_cast<uint8_t*>(d.data);
            iov[i].iov_len = d.size;
            msgs[i].msg_hdr.msg_name = &to[i];
            msgs[i].msg_hdr.msg_namelen = sizeof to[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int sent = ::sendmmsg(fd_, msgs, n, 0);
        if (sent < 0) {
            if (errno == EINTR)
                continue;
            // Skip the datagram that failed (a peer gone, a full buffer),
            // so one bad destination does not hold back the rest.
            ++done;
            continue;
        }
        done += sent;
        if (sent < n)
            ++done;
    }
    return done;
}

int UdpSocket::receive_many(uint8_t* buffers, size_t each, UdpDatagram* datagrams, int count)
{
    constexpr int CHUNK = 64;
    if (count > CHUNK)
        count = CHUNK;
    mmsghdr msgs[CHUNK];
    iovec iov[CHUNK];
    sockaddr_in from[CHUNK];
    std::memset(msgs, 0, sizeof(mmsghdr) * count);
    for (int i = 0; i < count; ++i) {
        iov[i].iov_base = buffers + i * each;
        iov[i].iov_len = each;
        msgs[i].msg_hdr.msg_name = &from[i];
        msgs[i].msg_hdr.msg_namelen = sizeof from[i];
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
    }
    int n;
    do {
        n = ::recvmmsg(fd_, msgs, count, MSG_DONTWAIT, nullptr);
    } while (n < 0 && errno == EINTR);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    for (int i = 0; i < n; ++i) {
        datagrams[i].data = buffers + i * each;
        // A datagram longer than the buffer was cut; report what is there.
        datagrams[i].size = msgs[i].msg_len < each ? msgs[i].msg_len : each;
        datagrams[i].peer.ip = ntohl(from[i].sin_addr.s_addr);
        datagrams[i].peer.port = ntohs(from[i].sin_port);
    }
    return n;
}

bool UdpSocket::wait_readable(int wake_fd, int timeout_ms)
{
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    int n = ::poll(fds, wake_fd >= 0 ? 2 : 1, timeout_ms);
    return n > 0 && (fds[0].revents & POLLIN);
}
