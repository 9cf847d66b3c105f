// SapAgent: the SAP thread, the network list of servers heard, the query
// list, and the lookup of a server's address by name.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "port/locks.h"
#include "sap/sap_record.h"

class IpxStack;
class SapSocket;
class WorkerThread;

constexpr uint16_t BOARD_SERVICE_TYPE = 0x9191;
// Seconds of silence after which a server is taken as gone.
constexpr uint32_t SAP_SERVER_AGE_LIMIT = 180;

struct ServerRecord {
    char name[SAP_NAME_LENGTH + 1] = {};
    IpxAddress address;
    uint32_t heard = 0;
};

using SapClock = uint32_t (*)();

class SapAgent {
public:
    SapAgent();
    ~SapAgent();
    SapAgent(const SapAgent&) = delete;
    SapAgent& operator=(const SapAgent&) = delete;

    // Opens the SAP socket and starts the SAP thread. 0, or -1.
    int init();
    void add_query(uint16_t service_type);
    // The oldest record of that name; out is left alone when none.
    bool find_server(const char* name, IpxAddress& out);
    // Waits a bounded time for queued output, stops the thread, closes.
    void shutdown();

    static int run(void* agent);
    // One received record into the network list; false when none was read.
    bool handle_record();
    // Ageing and queries, at most once per clock second.
    void schedule_pass();
    int server_count();

    // Test hooks.
    // Wall-clock seconds by default; tests step their own clock.
    void set_clock(SapClock clock) { clock_ = clock; }
    // The IPX stack the socket uses (the process-wide one by default).
    void set_stack(IpxStack* stack) { stack_ = stack; }
    // How long shutdown waits for output: count waits of interval_ms.
    void set_output_wait(int count, int interval_ms);
    // The socket in use, for tests that drive the agent without its thread.
    SapSocket* socket() { return socket_.get(); }
    // Tests: a socket that was never opened, so records can be fed to it.
    void use_socket(std::unique_ptr<SapSocket> socket);

private:
    // Stops the SAP thread and waits until it has left its loop.
    void stop_thread();
    // How soon queued output is tried again while the network cannot take it.
    static constexpr int OUTPUT_RETRY_MS = 20;

    void handle_response(const SapRecord& record);
    // How long the thread may wait for a datagram: until the next pass.
    int wait_ms();

    std::unique_ptr<SapSocket> socket_;
    IpxStack* stack_ = nullptr;
    Mutex run_mutex_;
    GuardedFlag stop_flag_;
    std::unique_ptr<WorkerThread> thread_;
    uint32_t last_pass_ = 0;
    Mutex lists_mutex_;
    std::vector<ServerRecord> network_list_;
    std::vector<uint16_t> query_list_;
    SapClock clock_;
    int output_wait_count_ = 1000;
    int output_wait_ms_ = 10;
};

extern SapAgent sap_agent;
