#include "tools/sap_announcer/sap_announcer.h"

#include <cstdio>
#include <cstring>

#include "port/host_description.h"
#include "port/clock.h"
#include "sap/sap_socket.h"

namespace {
constexpr uint64_t TICKS_PER_MS = PERFORMANCE_TICKS_PER_SECOND / 1000;
// Any service type, in a general query.
constexpr uint16_t ALL_SERVICES = 0xFFFF;

}

SapAnnouncer::SapAnnouncer(IpxStack* stack) : stack_(stack) {}

SapAnnouncer::~SapAnnouncer() = default;

void SapAnnouncer::add_server(const std::string& name, const IpxAddress& address)
{
    servers_.push_back(Server{name.substr(0, SAP_NAME_LENGTH), address});
}

int SapAnnouncer::start()
{
    // The socket asks for broadcasts only once the host is known.
    describe_host();
    socket_ = std::make_unique<SapSocket>(stack_);
    if (socket_->open() != 0) {
        std::fprintf(stderr, "SAP: cannot open the SAP socket\n");
        socket_.reset();
        return -1;
    }
    uint64_t now = performance_ticks();
    next_broadcast_ = announce_on_start_ ? now : now + static_cast<uint64_t>(interval_ms_) * TICKS_PER_MS;
    return 0;
}

void SapAnnouncer::queue_response(uint16_t operation, const Server& server, const IpxAddress& to,
                                  uint16_t hops)
{
    SapRecord r;
    r.operation = operation;
    r.service_type = service_type_;
    std::memcpy(r.name, server.name.c_str(), server.name.size());
    r.server = server.address;
    r.hops = hops;
    r.peer = to;
    socket_->queue_record(r);
}

void SapAnnouncer::broadcast_all(uint16_t hops)
{
    for (const Server& server : servers_)
        queue_response(sap::GSR, server, ipx_broadcast(SAP_SOCKET), hops);
    ++broadcasts_sent_;
}

uint64_t SapAnnouncer::poll()
{
    if (socket_ == nullptr)
        return UINT64_MAX;
    // A pump moves at most one datagram each way; go on while it moves any.
    bool moved = true;
    for (int i = 0; i < 16 && moved; ++i)
        moved = socket_->pump();
    // Output waits that the last pump could not send.
    const bool stuck = !moved && socket_->pending_output() > 0;

    SapRecord r;
    // Bounded, so a flood of queries cannot hold up the simulator's loop.
    for (int i = 0; i < 16 && socket_->reader().datagrams_held() > 0; ++i) {
        if (!socket_->next_record(r))
            continue;
        bool ours = r.service_type == service_type_ || (r.operation == sap::GSQ && r.service_type == ALL_SERVICES);
        if ((r.operation == sap::NSQ || r.operation == sap::GSQ) && ours)
            ++queries_heard_;
        if ((r.operation == sap::NSQ || r.operation == sap::GSQ) && ours && !silent_) {
            uint16_t answer = r.operation == sap::NSQ ? sap::NSR : sap::GSR;
            for (const Server& server : servers_)
                queue_response(answer, server, r.peer, 1);
            ++queries_answered_;
        }
    }

    if (!silent_ && performance_ticks() >= next_broadcast_) {
        broadcast_all(1);
        next_broadcast_ = performance_ticks() + static_cast<uint64_t>(interval_ms_) * TICKS_PER_MS;
    }

    const uint64_t now = monotonic_ms();
    // Still moving, records to read, or answers just queued: go on at once.
    // Output the carrier would not take is tried again shortly.
    if (moved || socket_->reader().datagrams_held() > 0)
        return now;
    if (socket_->pending_output() > 0)
        return stuck ? now + 1 : now;
    return silent_ ? UINT64_MAX : (next_broadcast_ + TICKS_PER_MS - 1) / TICKS_PER_MS;
}

void SapAnnouncer::stop()
{
    if (socket_ == nullptr)
        return;
    if (!silent_) {
        broadcast_all(SAP_HOPS_DOWN);
        for (int i = 0; i < 1000 && socket_->pending_output() > 0; ++i) {
            socket_->pump();
            sleep_ms(1);
        }
    }
    socket_->close();
    socket_.reset();
}
