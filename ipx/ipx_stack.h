// IpxStack: the host's IPX stack, carried in UDP through a tunnel server.
// Replaces the IPX socket family: it registers with the server, answers its
// pings and delivers each incoming packet to the socket bound to its
// destination socket number.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipx/ipx_packet.h"
#include "ipx/udp_loop.h"
#include "port/udp_socket.h"
#include "port/wake_event.h"

// Datagrams a socket holds before new ones are dropped, as a kernel socket
// drops when its buffer is full.
constexpr size_t IPX_RECEIVE_QUEUE_LIMIT = 256;
// Socket numbers that open(0) hands out.
constexpr uint16_t IPX_DYNAMIC_SOCKET_FIRST = 0x4000;
constexpr uint16_t IPX_DYNAMIC_SOCKET_LAST = 0x7FFF;

// One bound socket number. Its fields are guarded by the stack's lock.
struct IpxSocketBinding {
    uint16_t socket_number = 0;
    bool reuse = false;
    bool receive_broadcast = false;
    // Whole packets, header first.
    std::deque<std::vector<uint8_t>> queue;
    uint64_t dropped_full = 0;
    // Signalled when a datagram is queued or wake is asked for.
    std::condition_variable arrived;
    bool wake_requested = false;
};

struct IpxStackTiming {
    // Registration is repeated this often until the server answers.
    int register_interval_ms = 1000;
    // With nothing heard from the server for this long, register again: a
    // restarted server no longer knows us.
    int silence_limit_ms = 12000;
    // Unanswered registrations before saying we are waiting.
    int tries_before_waiting_notice = 2;
};

class IpxStack {
public:
    IpxStack();
    ~IpxStack(); // stops the thread
    IpxStack(const IpxStack&) = delete;
    IpxStack& operator=(const IpxStack&) = delete;

    // Where the stack's notices go (waiting for the server, joined); by
    // default standard output. Called on the stack's thread.
    void set_notice_sink(void (*sink)(const char* line));

    // Opens the carrier socket and starts registering with the server;
    // never waits for it. 0, or -1 when the socket or address is unusable
    // (reason in last_error).
    int start(const char* server_ip, int server_port);
    // Ends the thread and closes the carrier. Bindings stay valid until
    // released.
    void stop();
    bool started() const { return loop_.started(); }
    const std::string& last_error() const { return last_error_; }

    bool registered() const { return registered_.load(); }
    // The assigned network and node (zero before registration).
    IpxAddress local_address() const;
    // The carrier's own UDP address.
    UdpAddress carrier_address() const { return carrier_address_; }

    // Binds socket_number (0: a free dynamic number). A number already bound
    // is refused unless this and every earlier binding asked for reuse.
    // Null when refused.
    IpxSocketBinding* bind(uint16_t socket_number, bool reuse);
    void release(IpxSocketBinding* binding);
    void set_receive_broadcast(IpxSocketBinding* binding, bool on);

    // Readiness bits as IpxEndpoint::poll reports them.
    int readiness(IpxSocketBinding* binding);
    // Copies the oldest datagram (with or without its header) into buffer,
    // cut to size. Bytes copied, 0 when nothing waits.
    int take(IpxSocketBinding* binding, uint8_t* buffer, int size, bool with_header);
    // The next datagram, header and all, moved into packet; its size, or 0.
    int take_packet(IpxSocketBinding* binding, std::vector<uint8_t>& packet);
    // Waits up to timeout_ms until a datagram waits for binding or wake is
    // called for it; returns at once when one already waits.
    void wait(IpxSocketBinding* binding, int timeout_ms);
    void wake(IpxSocketBinding* binding);
    // One event for every binding: signalled whenever a datagram is queued
    // for any of them and when the stack joins the network, so that one
    // thread can wait on all its sockets at once. Null for none; the event
    // must outlive the stack or be unset first.
    void set_arrival_event(WakeEvent* event);
    // Sends one packet from binding's socket. Bytes of data sent, 0 when it
    // would block (not registered yet, carrier full), -1 when refused.
    int send(IpxSocketBinding* binding, const IpxAddress& to, const uint8_t* data, int count,
             bool broadcast_allowed);

    // Counters for tests and diagnostics.
    uint64_t malformed_count() const { return malformed_.load(); }
    uint64_t undeliverable_count() const { return undeliverable_.load(); }
    uint64_t registration_count() const { return registrations_.load(); }

    // Handles one datagram as if it came from the carrier (the thread's own
    // path; tests feed hostile input through it).
    void handle_datagram(const uint8_t* datagram, size_t size, const UdpAddress& from);

    // Test hooks.
    // Shorter intervals. Call before start.
    void set_timing(const IpxStackTiming& timing);

private:
    int before_wait();
    void send_registration();
    void answer_ping(const IpxHeader& ping);
    // Called holding lock_; the bindings that took the datagram are added
    // to to_wake, to be woken once the lock is released.
    void deliver(const IpxHeader& header, const uint8_t* datagram, size_t size,
                 std::vector<std::shared_ptr<IpxSocketBinding>>& to_wake);

    IpxStackTiming timing_;
    void (*sink_)(const char*) = nullptr;
    UdpSocket carrier_;
    UdpAddress server_;
    UdpAddress carrier_address_;
    UdpLoop loop_;
    std::string last_error_;

    mutable std::mutex lock_;
    std::atomic<bool> registered_{false};
    IpxAddress local_;
    // Shared so that a binding released meanwhile is still there to be
    // woken after a delivery.
    std::multimap<uint16_t, std::shared_ptr<IpxSocketBinding>> bindings_;
    uint16_t next_dynamic_ = IPX_DYNAMIC_SOCKET_FIRST;
    WakeEvent* arrival_event_ = nullptr;

    // Owned by the thread.
    uint64_t next_registration_ = 0;
    uint64_t last_heard_ms_ = 0;
    bool answer_pending_ = false;
    int unanswered_tries_ = 0;
    bool waiting_said_ = false;
    bool joined_said_ = false;

    std::atomic<uint64_t> malformed_{0};
    std::atomic<uint64_t> undeliverable_{0};
    std::atomic<uint64_t> registrations_{0};
};

// The process-wide stack that endpoints use unless given another.
IpxStack& ipx_stack();
