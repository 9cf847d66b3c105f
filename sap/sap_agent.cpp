#include "sap/sap_agent.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "stats/statistics_board.h"
#include "port/worker_thread.h"
#include "log/log_file.h"
#include "log/printable_text.h"
#include "port/clock.h"
#include "sap/sap_socket.h"

namespace {
uint32_t wall_clock_seconds()
{
    return static_cast<uint32_t>(wall_seconds());
}

bool same_name(const char* a, const char* b)
{
    return std::strncmp(a, b, SAP_NAME_LENGTH) == 0;
}
}

SapAgent::SapAgent() : stop_flag_(false), clock_(wall_clock_seconds) {}

SapAgent::~SapAgent()
{
    // shutdown has normally run; if not, the thread must leave its loop
    // before the socket and lists it uses go away.
    if (thread_ != nullptr) {
        stop_thread();
        release_worker(thread_);
    }
}

void SapAgent::stop_thread()
{
    stop_worker(stop_flag_, true, run_mutex_, [this] {
        if (socket_ != nullptr)
            socket_->wake();
    });
}

void SapAgent::set_output_wait(int count, int interval_ms)
{
    output_wait_count_ = count;
    output_wait_ms_ = interval_ms;
}

void SapAgent::use_socket(std::unique_ptr<SapSocket> socket)
{
    socket_ = std::move(socket);
}

int SapAgent::init()
{
    app_log.write(LOG_DEBUG, "SAP: Server init()");
    if (socket_ == nullptr)
        socket_.reset(new (std::nothrow) SapSocket(stack_));
    if (socket_ == nullptr) {
        app_log.write(LOG_ERROR, "SAP: unable to allocate server");
        return -1;
    }
    if (socket_->open() != 0) {
        app_log.write(LOG_ERROR, "SAP: unable to intialize");
        return -1;
    }
    stop_flag_.set(false);
    thread_ = WorkerThread::start(run, this, &run_mutex_, "orva-sap");
    app_log.write(LOG_DEBUG, "SAP: Server Thread Started");
    return 0;
}

int SapAgent::run(void* owner)
{
    SapAgent* agent = static_cast<SapAgent*>(owner);
    MutexHold hold(agent->run_mutex_);
    while (!agent->stop_flag_.get()) {
        const bool moved = agent->socket_->pump();
        const bool handled = agent->handle_record();
        agent->schedule_pass();
        // Records left in a datagram, or more datagrams, are taken at once;
        // otherwise the thread waits for the next datagram or pass.
        if (!moved && !handled)
            agent->socket_->wait(agent->wait_ms());
    }
    return 0;
}

int SapAgent::wait_ms()
{
    // Output the network cannot take yet is tried again soon; the stack's
    // joining is not signalled.
    if (socket_->pending_output() > 0)
        return std::min(OUTPUT_RETRY_MS, ms_to_next_wall_second());
    return ms_to_next_wall_second();
}

bool SapAgent::handle_record()
{
    if (socket_ == nullptr)
        return false;
    SapRecord record;
    if (!socket_->next_record(record))
        return false;

    const uint8_t* n = record.peer.node;
    app_log.write(LOG_DEBUG, "SAP: %s From: %02X%02X%02X%02X%02X%02X",
                  sap_operation_name(record.operation), n[0], n[1], n[2], n[3], n[4], n[5]);
    app_log.write(LOG_DEBUG, "SAP: Service: 0x%04X", record.service_type);

    // Queries go unanswered: the adapter offers no service of its own.
    if (record.operation == sap::GSR || record.operation == sap::NSR)
        handle_response(record);

    int count = server_count();
    stats_board.update([&](StatusFigures& f) { f.sap_servers = count; });
    return true;
}

void SapAgent::handle_response(const SapRecord& record)
{
    app_log.write(LOG_DEBUG, "SAP: Server: %s", printable_text(record.name).c_str());
    app_log.write(LOG_DEBUG, "SAP: Hops: %d", record.hops);
    {
        MutexHold hold(lists_mutex_);
        auto found = network_list_.end();
        for (auto it = network_list_.begin(); it != network_list_.end(); ++it) {
            if (same_name(it->name, record.name) && it->address == record.server) {
                found = it;
                break;
            }
        }
        if (found != network_list_.end())
            app_log.write(LOG_DEBUG, "SAP: Found in Network List");

        if (record.hops == SAP_HOPS_DOWN) {
            if (found != network_list_.end()) {
                app_log.write(LOG_DEBUG, "SAP: Removed Server from List");
                network_list_.erase(found);
            } else {
                app_log.write(LOG_DEBUG, "SAP: Server Not in List");
            }
        } else if (found == network_list_.end()) {
            app_log.write(LOG_DEBUG, "SAP: Added Server to List");
            ServerRecord server;
            std::memcpy(server.name, record.name, SAP_NAME_LENGTH);
            server.address = record.server;
            server.heard = clock_();
            network_list_.push_back(server);
        } else {
            app_log.write(LOG_DEBUG, "SAP: Update Server Record");
            found->heard = clock_();
        }
    }
    // Posted after the lists lock is released: the two are never held together.
    stats_board.update([&](StatusFigures& f) { copy_text(f.last_sap, record.name); });
}

void SapAgent::schedule_pass()
{
    uint32_t now = clock_();
    if (now == last_pass_)
        return;
    last_pass_ = now;

    MutexHold hold(lists_mutex_);
    for (auto it = network_list_.begin(); it != network_list_.end();) {
        // Unsigned, so a clock stepped backwards ages a record out at once
        // rather than keeping it for ever; it returns when heard again.
        if (static_cast<uint32_t>(now - it->heard) > SAP_SERVER_AGE_LIMIT) {
            app_log.write(LOG_DEBUG, "SAP: Server %s assumed down, removed", printable_text(it->name).c_str());
            it = network_list_.erase(it);
        } else {
            ++it;
        }
    }

    for (uint16_t type : query_list_) {
        app_log.write(LOG_DEBUG, "SAP: Sending Server Query for 0x%04X", type);
        SapRecord query;
        query.operation = sap::NSQ;
        query.service_type = type;
        query.peer = ipx_broadcast(SAP_SOCKET);
        if (socket_ != nullptr)
            socket_->queue_record(query);
    }
    query_list_.clear();
}

void SapAgent::add_query(uint16_t service_type)
{
    MutexHold hold(lists_mutex_);
    query_list_.push_back(service_type);
}

bool SapAgent::find_server(const char* name, IpxAddress& out)
{
    MutexHold hold(lists_mutex_);
    // The list is in the order first heard: the oldest record of the name
    // wins, so two live hosts of one name never take calls by turns.
    for (const ServerRecord& server : network_list_) {
        if (same_name(server.name, name)) {
            out = server.address;
            return true;
        }
    }
    return false;
}

int SapAgent::server_count()
{
    MutexHold hold(lists_mutex_);
    return static_cast<int>(network_list_.size());
}

void SapAgent::shutdown()
{
    app_log.write(LOG_INFO, "SAP: Server shutdown()");
    if (socket_ != nullptr) {
        // The SAP thread is still pumping; queued datagrams get a bounded
        // time to leave, unless no network was ever there to take them.
        for (int i = 0; i < output_wait_count_ && socket_->pending_output() > 0 && socket_->output_possible();
             ++i) {
            app_log.write(LOG_DEBUG, "SAP: Server waiting for output");
            sleep_ms(output_wait_ms_);
        }
    }
    stop_thread();
    if (socket_ != nullptr) {
        socket_->close();
        socket_.reset();
    }
    if (thread_ != nullptr) {
        release_worker(thread_);
        thread_ = nullptr;
    }
}

SapAgent sap_agent;
