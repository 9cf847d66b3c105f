// UdpLoop: the receive loop of a thread that serves one UDP socket. It waits
// until the socket is readable, its wake event is signalled or its owner's
// next timer is due, then takes what waits in batches, until asked to stop.
// The tunnel relay and the IPX stack each run one.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <thread>

#include "port/udp_socket.h"
#include "port/wake_event.h"

// Datagrams taken in one system call, and at most after one wait, so that
// a flood cannot keep the owner from its timers and its stop flag.
constexpr int UDP_LOOP_BATCH = 64;
constexpr int UDP_LOOP_MOST_PER_WAIT = 4096;

class UdpLoop {
public:
    // Called on the loop's thread before each wait: ms until the owner's
    // next timer is due (-1: none).
    using BeforeWait = std::function<int()>;
    // Called on the loop's thread with each batch received; the bytes last
    // until it returns.
    using Received = std::function<void(const UdpDatagram* datagrams, int count)>;

    // Datagrams longer than datagram_size are cut to it.
    UdpLoop(UdpSocket& socket, size_t datagram_size, BeforeWait before_wait, Received received);
    ~UdpLoop();  // stops the thread
    UdpLoop(const UdpLoop&) = delete;
    UdpLoop& operator=(const UdpLoop&) = delete;

    // Runs the loop on a thread of its own, named name, a stop asked for
    // earlier forgotten; nothing when it runs already.
    void start(const char* name = nullptr);
    // Runs the loop in the caller until request_stop.
    void run();
    // Ends the loop soon; safe from a signal handler.
    void request_stop();
    // Ends the loop and waits for its thread.
    void stop();
    bool started() const { return thread_.joinable(); }
    bool stopping() const { return stopping_.load(); }

private:
    UdpSocket& socket_;
    size_t datagram_size_;
    BeforeWait before_wait_;
    Received received_;
    WakeEvent wake_;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
};
