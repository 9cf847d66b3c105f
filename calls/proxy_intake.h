// ProxyIntake: a listener's connections when a load balancer stands in
// front of it. A thread of its own accepts them. One from a trusted address
// is held until its PROXY header has come, which names the caller it
// carries: at most the header limit, then it is closed; one whose header
// says LOCAL (the balancer's health check) is closed quietly. Any other
// connection passes as it came: its address is the caller's, whatever it
// sends. The calls take the connections ready one at a time.
#pragma once

#include <atomic>
#include <chrono>
#include <deque>
#include <memory>
#include <thread>
#include <unordered_map>
#include <vector>

#include "calls/address_prefix.h"
#include "calls/proxy_header.h"
#include "port/locks.h"
#include "port/tcp_socket.h"
#include "port/wake_event.h"

class ProxyIntake {
public:
    // Connections held for their header and ready for the calls, together;
    // at the bound the thread stops accepting and the kernel's backlog
    // holds the rest.
    static constexpr size_t BOUND = 256;
    static constexpr int HEADER_LIMIT_MS = 5000;

    ProxyIntake() = default;
    ~ProxyIntake();
    ProxyIntake(const ProxyIntake&) = delete;
    ProxyIntake& operator=(const ProxyIntake&) = delete;

    // Starts taking listener's connections (non-blocking; it must outlive
    // stop), trusting the balancers in trusted. 0, or -1 when no thread or
    // epoll set could be made.
    int start(TcpSocket& listener, std::vector<AddressPrefix> trusted, int header_limit_ms = HEADER_LIMIT_MS);
    // Ends the thread and closes every connection not taken.
    void stop();

    // Readable while a connection is ready.
    int descriptor() const { return ready_event_.descriptor(); }
    bool waiting();
    // The next connection ready, its address the caller's; null when none.
    std::unique_ptr<TcpSocket> take();

private:
    using Clock = std::chrono::steady_clock;
    struct Held {
        std::unique_ptr<TcpSocket> socket;
        Clock::time_point deadline;
    };

    void run();
    void accept_some();
    // Reads what has come of a held connection's header; once it is whole
    // (or wrong) the connection leaves the held ones.
    void read_header(int fd);
    void release(int fd);
    void make_ready(std::unique_ptr<TcpSocket> socket);
    void watch_listener(bool on);
    // Closes the held connections past their deadline.
    void sweep(Clock::time_point now);

    TcpSocket* listener_ = nullptr;
    std::vector<AddressPrefix> trusted_;
    std::chrono::milliseconds header_limit_{HEADER_LIMIT_MS};
    int epoll_fd_ = -1;
    std::thread thread_;
    std::atomic<bool> stopping_{false};
    // Stop, or room made by a take while the thread waits for it.
    WakeEvent wake_;
    std::atomic<bool> full_{false};

    // The thread's own.
    std::unordered_map<int, Held> held_;
    bool accepting_ = false;
    Clock::time_point resume_accepting_;
    Clock::time_point next_sweep_ = Clock::time_point::max();
    ProxyHeaderWarnings warnings_;

    Mutex ready_lock_;
    std::deque<std::unique_ptr<TcpSocket>> ready_;
    // Readable while ready_ holds a connection.
    WakeEvent ready_event_;
};
