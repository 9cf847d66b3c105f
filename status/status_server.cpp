#include "status/status_server.h"

#include <civetweb.h>
#include <cstring>
#include <memory>

#include "console/shown_page.h"
#include "log/log_file.h"
#include "status/metrics_text.h"
#include "status/page_html.h"
#include "status/status_json.h"

#if defined(__SANITIZE_THREAD__)
// The HTTP library dates its own error replies (a request that timed out or
// was malformed) with gmtime, whose one buffer its threads share: at worst
// such a reply carries another's Date. ThreadSanitizer builds accept that
// race, and only that one.
extern "C" const char* __tsan_default_suppressions()
{
    return "race:gmtime\n";
}
#endif

namespace {
// At most this many requests are served at once; a few more wait in the
// accept queue and the listen backlog, the rest are refused by the kernel.
constexpr const char* SERVING_THREADS = "4";
constexpr const char* QUEUED_CONNECTIONS = "8";
constexpr const char* LISTEN_BACKLOG = "8";
// A client that sends its request or takes the answer slower than this is
// dropped, so a stalled one holds a thread for no longer.
constexpr const char* REQUEST_TIMEOUT_MS = "5000";
constexpr const char* MAX_REQUEST_BYTES = "8192";

std::unique_ptr<StatusServer> running_server;
// What the library said while a server started on this thread, for the
// reason of a failure (its error text alone does not say why).
thread_local std::string* start_messages = nullptr;

void reply(mg_connection* conn, int status, const char* reason, const char* type, const std::string& body,
           bool head)
{
    mg_printf(conn,
              "HTTP/1.1 %d %s\r\n"
              "Content-Type: %s\r\n"
              "Content-Length: %zu\r\n"
              "Cache-Control: no-store\r\n"
              "X-Content-Type-Options: nosniff\r\n"
              "Connection: close\r\n\r\n",
              status, reason, type, body.size());
    if (!head)
        mg_write(conn, body.data(), body.size());
}

int handle_request(mg_connection* conn, void*)
{
    const mg_request_info* request = mg_get_request_info(conn);
    const char* method = request->request_method ? request->request_method : "";
    const char* uri = request->local_uri ? request->local_uri : "";
    bool head = std::strcmp(method, "HEAD") == 0;
    if (!head && std::strcmp(method, "GET") != 0) {
        reply(conn, 405, "Method Not Allowed", "text/plain; charset=utf-8", "GET or HEAD only\n", false);
        return 405;
    }

    if (std::strcmp(uri, "/") == 0 || std::strcmp(uri, "/screen") == 0) {
        auto page = std::make_unique<PageImage>();
        if (!copy_shown_page(*page)) {
            reply(conn, 503, "Service Unavailable", "text/plain; charset=utf-8", "No page drawn yet\n", head);
            return 503;
        }
        bool whole = uri[1] == 0;
        reply(conn, 200, "OK", "text/html; charset=utf-8", whole ? page_html(*page) : page_rows_html(*page), head);
        return 200;
    }
    if (std::strcmp(uri, "/status.json") == 0 || std::strcmp(uri, "/metrics") == 0) {
        // Made in place on the heap: the figures are too large for a serving thread's stack.
        std::unique_ptr<StatusFigures> figures(new StatusFigures(stats_board.figures()));
        if (uri[1] == 's') {
            auto page = std::make_unique<PageImage>();
            bool drawn = copy_shown_page(*page);
            reply(conn, 200, "OK", "application/json", status_json(*figures, drawn ? page.get() : nullptr), head);
        } else {
            reply(conn, 200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics_text(*figures), head);
        }
        return 200;
    }
    reply(conn, 404, "Not Found", "text/plain; charset=utf-8", "Not found: try /, /status.json or /metrics\n", head);
    return 404;
}

int log_message(const mg_connection*, const char* message)
{
    // The first says why; the others follow from it.
    if (start_messages && start_messages->empty())
        *start_messages = message;
    app_log.write(LOG_DEBUG, "Status server: %s", message);
    return 1;
}

}

int StatusServer::start(const std::string& ip, int port)
{
    stop();
    std::string ports = ip.empty() ? std::to_string(port) : ip + ":" + std::to_string(port);
    const char* options[] = {
        "listening_ports", ports.c_str(),
        "num_threads", SERVING_THREADS,
        "connection_queue", QUEUED_CONNECTIONS,
        "listen_backlog", LISTEN_BACKLOG,
        "request_timeout_ms", REQUEST_TIMEOUT_MS,
        "max_request_size", MAX_REQUEST_BYTES,
        "enable_keep_alive", "no",
        nullptr,
    };
    mg_callbacks callbacks{};
    callbacks.log_message = log_message;
    mg_init_data init{&callbacks, nullptr, options};
    char text[256] = {};
    unsigned code = 0;
    mg_error_data error{&code, text, sizeof text};
    mg_init_library(0);
    std::string messages;
    start_messages = &messages;
    context_ = mg_start2(&init, &error);
    start_messages = nullptr;
    if (!context_) {
        error_ = "cannot listen on " + ports + ": " + (messages.empty() ? text : messages);
        mg_exit_library();
        return -1;
    }
    mg_set_request_handler(context_, "/", handle_request, nullptr);
    return 0;
}

void StatusServer::stop()
{
    if (!context_)
        return;
    mg_stop(context_);
    context_ = nullptr;
    mg_exit_library();
}

int start_status_server(const StatusSettings& settings)
{
    if (!settings.wanted)
        return 0;
    running_server = std::make_unique<StatusServer>();
    if (running_server->start(settings.ip, settings.port) != 0) {
        app_log.write(LOG_ERROR, "Status server: %s", running_server->last_error().c_str());
        running_server.reset();
        return -1;
    }
    app_log.write(LOG_INFO, "Status server: http://%s:%d/ (the page, /status.json, /metrics)",
                  settings.ip.empty() ? "0.0.0.0" : settings.ip.c_str(), settings.port);
    return 0;
}

void stop_status_server()
{
    running_server.reset();
}
