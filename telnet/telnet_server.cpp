#include "telnet/telnet_server.h"

#include <cstdio>
#include <cstring>

#include "app/statistics_board.h"

namespace {
constexpr int LISTEN_BACKLOG = 1024;
}

int TelnetServer::init(const char* address, int port)
{
    load_counters(total_connections, counters_path.c_str());
    counters_loaded = true;
    stats_board.set_total_connections(total_connections);
    stats_board.set_next_session(uint16_t(session_counter + 1));

    relay_queue = std::make_unique<ByteQueue>(1024, 128, 256);

    listener = std::make_unique<TcpSocket>();
    if (listener->open(address, port) != 0) {
        std::printf("Server socket init failed\n");
        return -1;
    }
    // Callers are accepted one per pass; a burst larger than the backlog
    // loses its SYNs and waits out TCP's retransmission back-off, seconds
    // per try, so the queue is deep (the kernel caps it at its own limit).
    if (listener->listen(LISTEN_BACKLOG) != 0) {
        std::printf("Server socket listen failed\n");
        return -1;
    }
    std::memcpy(service_name, "KELB", 5);
    return 0;
}

void TelnetServer::shutdown()
{
    // Every I/O thread winds down at once; closing them one by one would
    // wait out each idle thread's socket wait in turn.
    for (auto& call : calls) {
        if (call->session)
            call->session->request_stop();
    }
    for (auto& call : calls) {
        if (call->link)
            call->link->close_if_open();
        if (call->session)
            call->session->close_if_open();
    }
    for (auto& link : ending_links)
        link->close();
    ending_links.clear();
    // Saved once the calls have given back their descriptors: a process out
    // of them could not open the file before.
    if (counters_loaded)
        save_counters(total_connections, counters_path.c_str());
    if (listener) {
        listener->close();
        listener.reset();
    }
    relay_queue.reset();
}
