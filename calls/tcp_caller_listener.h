// TcpCallerListener: what every listener on a TCP port shares: opening it
// with a deep backlog, whether a caller waits, the next connection, and
// closing it; behind a load balancer, the PROXY header that names each
// caller. A transport's listener adds what its connections need.
#pragma once

#include <memory>

#include "calls/caller_listener.h"
#include "calls/proxy_intake.h"
#include "port/tcp_socket.h"

class TcpCallerListener : public CallerListener {
public:
    int descriptor() const override;
    bool caller_waiting() override;
    void close() override;

    // Once open: connections from trusted must begin with a PROXY header,
    // which names their caller; they are read on a thread of their own
    // before the calls see them. 0, or -1 after printing why.
    int trust_proxy(const std::vector<AddressPrefix>& trusted);

    // The listening socket, null until open succeeded and after close.
    TcpSocket* socket() { return socket_.get(); }

protected:
    // Listens on address (dotted IPv4 or IPv6; null or empty = every local
    // IPv4 address) and port. 0, or -1 after printing "<name> socket init
    // failed" or "<name> socket listen failed".
    int listen_on(const char* address, int port, const char* name);
    // The next connection, or null.
    std::unique_ptr<TcpSocket> accept_connection();

private:
    std::unique_ptr<TcpSocket> socket_;
    // Only when a balancer is trusted.
    std::unique_ptr<ProxyIntake> intake_;
};
