#include "port/tcp_socket.h"

#include <cstdio>
#include <cstring>

TcpSocket::~TcpSocket()
{
    close();
}

int TcpSocket::open(const char* address_text, int port)
{
    close();
    // Only an IPv6 address has colons; it needs a socket of its family.
    handle_ = tcp_create(address_text && std::strchr(address_text, ':'));
    if (tcp_bind(handle_, address_text, port, address_) != 0) {
        std::printf("bind failed\n");
        return -1;
    }
    return 0;
}

int TcpSocket::listen(int backlog)
{
    if (tcp_listen(handle_, backlog) != 0) {
        std::printf("listen failed\n");
        return -1;
    }
    // A caller who gives up between the poll and the accept must not leave
    // the main loop blocked in accept.
    tcp_set_nonblocking(handle_);
    return 0;
}

int TcpSocket::poll()
{
    return tcp_poll(handle_);
}

int TcpSocket::wait(bool readable, bool writable, int timeout_ms, int wake_fd)
{
    return tcp_wait(handle_, readable, writable, timeout_ms, wake_fd);
}

std::unique_ptr<TcpSocket> TcpSocket::accept()
{
    TcpAddress peer;
    int accepted = tcp_accept(handle_, peer);
    if (accepted == TCP_INVALID)
        return nullptr;
    // The caller's I/O thread must never block in a send to a caller who
    // stopped reading.
    if (tcp_set_nonblocking(accepted) != 0) {
        tcp_close(accepted);
        return nullptr;
    }
    // A caller's Synch ends in an urgent Data Mark; read out of band, its
    // IAC would take the next keystroke with it as a command.
    tcp_set_urgent_inline(accepted);
    auto connection = std::make_unique<TcpSocket>();
    connection->handle_ = accepted;
    connection->address_ = peer;
    return connection;
}

int TcpSocket::receive(uint8_t* buffer, int length)
{
    return tcp_receive(handle_, buffer, length);
}

int TcpSocket::peek(uint8_t* buffer, int length)
{
    return tcp_peek(handle_, buffer, length);
}

int TcpSocket::send(const uint8_t* bytes, int length)
{
    return tcp_send(handle_, bytes, length);
}

int TcpSocket::release()
{
    const int handle = handle_;
    handle_ = TCP_INVALID;
    return handle;
}

void TcpSocket::adopt(int handle, const TcpAddress& address)
{
    close();
    handle_ = handle;
    address_ = address;
}

void TcpSocket::close()
{
    if (handle_ != TCP_INVALID) {
        tcp_close(handle_);
        handle_ = TCP_INVALID;
    }
}
