// SapAnnouncer: the board host simulator's SAP side. It answers queries for
// its service type, broadcasts its servers at an interval and announces
// them down (hops 16) when stopped cleanly.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sap/sap_record.h"

class IpxStack;
class SapSocket;

class SapAnnouncer {
public:
    // Uses the process-wide IPX stack unless another is given.
    explicit SapAnnouncer(IpxStack* stack = nullptr);
    ~SapAnnouncer();
    SapAnnouncer(const SapAnnouncer&) = delete;
    SapAnnouncer& operator=(const SapAnnouncer&) = delete;

    // One simulated server: its name and where its circuits are served.
    void add_server(const std::string& name, const IpxAddress& address);
    void set_service_type(uint16_t type) { service_type_ = type; }
    void set_interval_ms(int interval_ms) { interval_ms_ = interval_ms; }
    // A silent announcer listens but never sends anything.
    void set_silent(bool silent) { silent_ = silent; }
    // Broadcast once at start as well as at every interval.
    void set_announce_on_start(bool on) { announce_on_start_ = on; }

    // Opens the SAP socket. 0, or -1 (the reason is printed).
    int start();
    // One non-blocking step: answers what arrived, broadcasts when due.
    // Returns when the next step is due, in monotonic_ms: at once while
    // datagrams wait either way, else the next broadcast (UINT64_MAX when
    // none is due: stopped, or silent).
    uint64_t poll();
    // Broadcasts every server down, waits up to about a second for that to
    // leave, and closes. Safe to call more than once.
    void stop();

    // Queries for our type heard, and of those answered (none when silent).
    int queries_heard() const { return queries_heard_; }
    int queries_answered() const { return queries_answered_; }
    int broadcasts_sent() const { return broadcasts_sent_; }

private:
    struct Server {
        std::string name;
        IpxAddress address;
    };
    void queue_response(uint16_t operation, const Server& server, const IpxAddress& to, uint16_t hops);
    void broadcast_all(uint16_t hops);

    IpxStack* stack_;
    std::unique_ptr<SapSocket> socket_;
    std::vector<Server> servers_;
    uint16_t service_type_ = 0x9191;
    int interval_ms_ = 60000;
    bool silent_ = false;
    bool announce_on_start_ = true;
    uint64_t next_broadcast_ = 0;
    int queries_heard_ = 0;
    int queries_answered_ = 0;
    int broadcasts_sent_ = 0;
};
