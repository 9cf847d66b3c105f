// TelnetListener: a TCP port Telnet callers arrive on, and the character
// set its callers take.
#pragma once

#include <memory>

#include "calls/tcp_caller_listener.h"

class TelnetListener : public TcpCallerListener {
public:
    // Listens on address (dotted IPv4 or IPv6; null or empty = every local
    // IPv4 address) and port, for callers whose terminals take charset. 0,
    // or -1 after printing why.
    int open(const char* address, int port, Charset charset = Charset::Cp437);

    std::unique_ptr<CallerTransport> accept() override;

private:
    Charset charset_ = Charset::Cp437;
};
