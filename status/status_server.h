// The status server: the status page, /status.json and /metrics over HTTP
// on threads of its own (civetweb). It reads only copies: the page the
// console showed last and the board's figures taken under the board's lock,
// so no HTTP client can hold up the main loop or another thread.
#pragma once

#include <string>

#include "status/status_settings.h"

struct mg_context;

class StatusServer {
public:
    StatusServer() = default;
    ~StatusServer() { stop(); }
    StatusServer(const StatusServer&) = delete;
    StatusServer& operator=(const StatusServer&) = delete;

    // Listens on ip (dotted IPv4; empty = every address) and port. 0, or -1
    // with last_error saying why.
    int start(const std::string& ip, int port);
    // Waits for the requests in progress (each bounded by the request
    // time-out) and closes the listener.
    void stop();
    const std::string& last_error() const { return error_; }

private:
    mg_context* context_ = nullptr;
    std::string error_;
};

// Starts the server the settings ask for; 0 also when they ask for none,
// -1 after logging why it cannot listen.
int start_status_server(const StatusSettings& settings);
void stop_status_server();
