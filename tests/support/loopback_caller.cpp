#include "tests/support/loopback_caller.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <stdexcept>
#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/free_port.h"
#include "tests/support/loopback_socket.h"
#include "tests/support/wait_until.h"

namespace support {

LoopbackCaller::LoopbackCaller(int port, int receive_buffer)
{
    fd_ = dial_loopback(port, {.wait = true, .receive_buffer = receive_buffer});
}

LoopbackCaller::LoopbackCaller(const std::string& address, int port, const std::string& from)
{
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* to = nullptr;
    addrinfo* local = nullptr;
    if (::getaddrinfo(address.c_str(), std::to_string(port).c_str(), &hints, &to) == 0 &&
        (from.empty() || ::getaddrinfo(from.c_str(), "0", &hints, &local) == 0)) {
        fd_ = ::socket(to->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd_ >= 0 && ((local && ::bind(fd_, local->ai_addr, local->ai_addrlen) != 0) ||
                         ::connect(fd_, to->ai_addr, to->ai_addrlen) != 0)) {
            ::close(fd_);
            fd_ = -1;
        }
    }
    if (to)
        ::freeaddrinfo(to);
    if (local)
        ::freeaddrinfo(local);
}

LoopbackCaller::~LoopbackCaller()
{
    hang_up();
}

void LoopbackCaller::send(const std::string& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            throw std::runtime_error("caller send failed");
        done += size_t(n);
    }
}

void LoopbackCaller::send_urgent(const std::string& bytes)
{
    if (::send(fd_, bytes.data(), bytes.size(), MSG_OOB | MSG_NOSIGNAL) != ssize_t(bytes.size()))
        throw std::runtime_error("caller urgent send failed");
}

static std::string read_until(int fd, size_t count, bool& closed, std::chrono::milliseconds timeout)
{
    std::string got;
    closed = false;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buffer[65536];
    while (got.size() < count) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0)
            continue;
        // Never past count, so a caller can read a stream piece by piece.
        size_t want = std::min(sizeof buffer, count - got.size());
        ssize_t n = ::recv(fd, buffer, want, 0);
        if (n <= 0) {
            closed = true;
            break;
        }
        got.append(buffer, size_t(n));
    }
    return got;
}

std::string LoopbackCaller::receive(size_t count, std::chrono::milliseconds timeout)
{
    bool closed;
    return read_until(fd_, count, closed, timeout);
}

std::string LoopbackCaller::receive_until_closed(bool& closed, std::chrono::milliseconds timeout)
{
    return read_until(fd_, SIZE_MAX, closed, timeout);
}

void LoopbackCaller::hang_up()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

TestListener::TestListener()
{
    port_ = free_tcp_port();
    if (socket.open("127.0.0.1", port_) != 0 || socket.listen(64) != 0)
        throw std::runtime_error("test listener failed");
}

std::unique_ptr<TcpSocket> TestListener::accept_next(std::chrono::milliseconds timeout)
{
    if (!wait_until([&] { return (socket.poll() & PollReadable) != 0; }, timeout))
        return nullptr;
    return socket.accept();
}

bool lookup_fails(const TcpAddress&, std::string&)
{
    return false;
}

bool lookup_answers_caller_example(const TcpAddress&, std::string& name)
{
    name = "caller.example";
    return true;
}

}
