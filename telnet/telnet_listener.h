// TelnetListener: the TCP listener Telnet callers arrive on.
#pragma once

#include <memory>

#include "calls/caller_listener.h"
#include "port/tcp_socket.h"

class TelnetListener : public CallerListener {
public:
    // Listens on address (dotted IPv4 or IPv6; null or empty = every local
    // IPv4 address) and port. 0, or -1 after printing why.
    int open(const char* address, int port);

    int descriptor() const override { return socket_ ? socket_->handle() : -1; }
    bool caller_waiting() override;
    std::unique_ptr<CallerTransport> accept() override;
    void close() override;

    // The listening socket, null until open succeeded and after close.
    TcpSocket* socket() { return socket_.get(); }

private:
    std::unique_ptr<TcpSocket> socket_;
};
