// TelnetListener: a TCP port Telnet callers arrive on, and the character
// set its callers take.
#pragma once

#include <memory>

#include "calls/caller_listener.h"
#include "port/tcp_socket.h"

class TelnetListener : public CallerListener {
public:
    // Listens on address (dotted IPv4 or IPv6; null or empty = every local
    // IPv4 address) and port, for callers whose terminals take charset. 0,
    // or -1 after printing why.
    int open(const char* address, int port, Charset charset = Charset::Cp437);

    int descriptor() const override { return socket_ ? socket_->handle() : -1; }
    bool caller_waiting() override;
    std::unique_ptr<CallerTransport> accept() override;
    void close() override;

    // The listening socket, null until open succeeded and after close.
    TcpSocket* socket() { return socket_.get(); }

private:
    std::unique_ptr<TcpSocket> socket_;
    Charset charset_ = Charset::Cp437;
};
