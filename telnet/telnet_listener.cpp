#include "telnet/telnet_listener.h"

#include <cstdio>

#include "telnet/telnet_transport.h"

namespace {
constexpr int LISTEN_BACKLOG = 1024;
}

int TelnetListener::open(const char* address, int port, Charset charset)
{
    charset_ = charset;
    socket_ = std::make_unique<TcpSocket>();
    if (socket_->open(address, port) != 0) {
        std::printf("Server socket init failed\n");
        socket_.reset();
        return -1;
    }
    // Callers are accepted one per pass; a burst larger than the backlog
    // loses its SYNs and waits out TCP's retransmission back-off, seconds
    // per try, so the queue is deep (the kernel caps it at its own limit).
    if (socket_->listen(LISTEN_BACKLOG) != 0) {
        std::printf("Server socket listen failed\n");
        socket_.reset();
        return -1;
    }
    return 0;
}

bool TelnetListener::caller_waiting()
{
    return socket_ && (socket_->poll() & PollReadable) != 0;
}

std::unique_ptr<CallerTransport> TelnetListener::accept()
{
    std::unique_ptr<TcpSocket> connection = socket_ ? socket_->accept() : nullptr;
    if (!connection)
        return nullptr;
    return std::make_unique<TelnetTransport>(std::move(connection), charset_);
}

void TelnetListener::close()
{
    if (socket_) {
        socket_->close();
        socket_.reset();
    }
}
