#include "tests/support/loopback_socket.h"

#include <arpa/inet.h>
#include <cerrno>
#include <cstdint>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace support {

namespace {

sockaddr_in loopback(int port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int close_failed(int fd)
{
    ::close(fd);
    return -1;
}

}

int dial_loopback(int port, const DialOptions& how)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (how.wait ? 0 : SOCK_NONBLOCK), 0);
    if (fd < 0)
        return -1;
    if (how.receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &how.receive_buffer, sizeof how.receive_buffer);
    if (how.from) {
        sockaddr_in local = loopback(0);
        if (::inet_pton(AF_INET, how.from, &local.sin_addr) != 1 ||
            ::bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return close_failed(fd);
    }
    const sockaddr_in to = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 && (how.wait || errno != EINPROGRESS))
        return close_failed(fd);
    return fd;
}

int listen_loopback(int backlog, int& port, bool nonblocking)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0)
        return -1;
    const sockaddr_in a = loopback(0);
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, backlog) != 0)
        return close_failed(fd);
    port = local_port(fd);
    return port != 0 ? fd : close_failed(fd);
}

int local_port(int fd)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return 0;
    return ntohs(a.sin_port);
}

}
