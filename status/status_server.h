// The status server: the status page, /status.json and /metrics over HTTP
// on a thread of its own. It reads only copies: the page the console showed
// last and the board's figures taken under the board's lock, so no HTTP
// client can hold up the main loop or another thread, and a client that
// stalls holds up no other client.
#pragma once

#include <string>

#include "status/status_settings.h"
#include "web/http_server.h"

class StatusServer {
public:
    StatusServer() = default;
    ~StatusServer() { stop(); }
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Listens on ip (IPv4 or IPv6; empty = every address) and port. 0, or
    // -1 with last_error saying why.
    int start(const std::string& ip, int port);
    // Closes the listener and every connection and waits for its thread.
    void stop();
    const std::string& last_error() const { return server_.last_error(); }

private:
    HttpServer server_;
};

// Starts the server the settings ask for; 0 also when they ask for none,
// -1 after logging why it cannot listen.
int start_status_server(const StatusSettings& settings);
void stop_status_server();
