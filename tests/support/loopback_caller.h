// A Telnet caller for tests: a plain TCP client on 127.0.0.1, and a
// listener that hands accepted connections to sessions.
#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "port/tcp_socket.h"

namespace support {

using namespace std::chrono_literals;

class LoopbackCaller {
public:
    // Connects to 127.0.0.1:port; receive_buffer > 0 shrinks SO_RCVBUF first.
    explicit LoopbackCaller(int port, int receive_buffer = 0);
    // Connects to address (IPv4 or IPv6) at port from the local address
    // from (such as 127.0.0.2; the system's choice when empty).
    LoopbackCaller(const std::string& address, int port, const std::string& from = "");
    ~LoopbackCaller();
    LoopbackCaller(const LoopbackCaller&) = delete;
    LoopbackCaller& operator=(const LoopbackCaller&) = delete;

    bool connected() const { return fd_ >= 0; }
    void send(const std::string& bytes);
    // Sends bytes as TCP urgent data (MSG_OOB).
    void send_urgent(const std::string& bytes);
    // Reads until count bytes have arrived in total or the deadline passes.
    std::string receive(size_t count, std::chrono::milliseconds timeout = 10s);
    // Reads until the connection closes or the deadline passes; closed tells
    // which.
    std::string receive_until_closed(bool& closed, std::chrono::milliseconds timeout = 10s);
    void hang_up();

private:
    int fd_ = -1;
};

// A listener on 127.0.0.1 at a free port.
class TestListener {
public:
    TestListener();
    int port() const { return port_; }
    // Waits for the next connection and accepts it; null on time-out.
    std::unique_ptr<TcpSocket> accept_next(std::chrono::milliseconds timeout = 10s);
    TcpSocket socket;

private:
    int port_ = 0;
};

// Name lookups that never leave the process.
bool lookup_fails(const TcpAddress&, std::string&);
bool lookup_answers_caller_example(const TcpAddress&, std::string& name);

}
