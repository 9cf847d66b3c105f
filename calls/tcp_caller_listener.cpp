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

bool TcpCallerListener::caller_waiting()
{
    return socket_ && (socket_->poll() & PollReadable) != 0;
}

std::unique_ptr<TcpSocket> TcpCallerListener::accept_connection()
{
    return socket_ ? socket_->accept() : nullptr;
}

void TcpCallerListener::close()
{
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
}
