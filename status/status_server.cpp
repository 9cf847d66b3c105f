#include "status/status_server.h"

#include <memory>

#include "console/shown_page.h"
#include "log/log_file.h"
#include "status/metrics_text.h"
#include "status/page_html.h"
#include "status/status_json.h"

namespace {
std::unique_ptr<StatusServer> running_server;

HttpReply reply(int status, const char* reason, const char* type, std::string body)
{
    HttpReply r;
    r.status = status;
    r.reason = reason;
    r.content_type = type;
    r.body = std::move(body);
    return r;
}

HttpReply handle_request(const HttpRequest& request)
{
    const std::string& uri = request.path;
    if (uri == "/" || uri == "/screen") {
        auto page = std::make_unique<PageImage>();
        if (!copy_shown_page(*page))
            return reply(503, "Service Unavailable", "text/plain; charset=utf-8", "No page drawn yet\n");
        return reply(200, "OK", "text/html; charset=utf-8", uri == "/" ? page_html(*page) : page_rows_html(*page));
    }
    if (uri == "/status.json" || uri == "/metrics") {
        // Made in place on the heap: the figures are too large for a thread's stack.
        std::unique_ptr<StatusFigures> figures(new StatusFigures(stats_board.figures()));
        if (uri == "/status.json") {
            auto page = std::make_unique<PageImage>();
            bool drawn = copy_shown_page(*page);
            return reply(200, "OK", "application/json", status_json(*figures, drawn ? page.get() : nullptr));
        }
        return reply(200, "OK", "text/plain; version=0.0.4; charset=utf-8", metrics_text(*figures));
    }
    return reply(404, "Not Found", "text/plain; charset=utf-8", "Not found: try /, /status.json or /metrics\n");
}
}

int StatusServer::start(const std::string& ip, int port)
{
    HttpServerSettings settings;
    settings.ip = ip;
    settings.port = port;
    return server_.start(settings, handle_request, nullptr, "orva-http");
}

void StatusServer::stop()
{
    server_.stop();
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
