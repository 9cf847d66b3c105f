#include "calls/tcp_caller_listener.h"

#include <cstdio>

namespace {
// Callers are accepted one per pass; a burst larger than the backlog loses
// its SYNs and waits out TCP's retransmission back-off, seconds per try, so
// the queue is deep (the kernel caps it at its own limit).
constexpr int LISTEN_BACKLOG = 1024;
}

int TcpCallerListener::listen_on(const char* address, int port, const char* name)
{
    socket_ = std::make_unique<TcpSocket>();
    if (socket_->open(address, port) != 0) {
        std::printf("%s socket init failed\n", name);
        socket_.reset();
        return -1;
    }
    if (socket_->listen(LISTEN_BACKLOG) != 0) {
        std::printf("%s socket listen failed\n", name);
        socket_.reset();
        return -1;
    }
    return 0;
}

int TcpCallerListener::trust_proxy(const std::vector<AddressPrefix>& trusted)
{
    if (trusted.empty() || !socket_)
        return 0;
    intake_ = std::make_unique<ProxyIntake>();
    if (intake_->start(*socket_, trusted) != 0) {
        std::printf("PROXY header reader could not start (no thread left)\n");
        intake_.reset();
        return -1;
    }
    return 0;
}

int TcpCallerListener::descriptor() const
{
    if (intake_)
        return intake_->descriptor();
    return socket_ ? socket_->handle() : -1;
}

bool TcpCallerListener::caller_waiting()
{
    if (intake_)
        return intake_->waiting();
    return socket_ && (socket_->poll() & PollReadable) != 0;
}

std::unique_ptr<TcpSocket> TcpCallerListener::accept_connection()
{
    if (intake_)
        return intake_->take();
    return socket_ ? socket_->accept() : nullptr;
}

void TcpCallerListener::close()
{
    // Its thread reads the socket: ended first.
    intake_.reset();
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
}
