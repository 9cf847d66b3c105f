#include "web/web_listener.h"

#include <cstdio>

#include "web/web_settings.h"
#include "web/websocket_frames.h"
#include "web/websocket_transport.h"

WebListener::~WebListener()
{
    close();
}

int WebListener::open(const WebSettings& settings, const TlsContext* tls, WebFiles files)
{
    files_ = std::move(files);
    trust_proxy_ = settings.trust_proxy;
    HttpServerSettings http;
    // Every address of both families, as the Telnet listener's "::".
    http.ip = settings.ip;
    http.port = settings.port;
    http.tls = tls;
    http.request_timeout_ms = 5000;
    http.trust_proxy = settings.trust_proxy;
    if (server_.start(
            http, [this](const HttpRequest& request) { return serve(request); },
            [this](UpgradedConnection&& connection) { take(std::move(connection)); }, "orva-web") != 0) {
        std::printf("Web server init failed: %s\n", server_.last_error().c_str());
        return -1;
    }
    open_ = true;
    return 0;
}

HttpReply WebListener::serve(const HttpRequest& request) const
{
    HttpReply reply;
    reply.head_only = request.method == "HEAD";
    if (request.path == "/call") {
        WebSocketOffer offer{request.header("upgrade"), request.header("connection"),
                             request.header("sec-websocket-version"), request.header("sec-websocket-key"),
                             request.header("sec-websocket-protocol")};
        std::string protocol;
        std::string why;
        if (!ws_check_offer(request.method, offer, protocol, why)) {
            reply.status = 400;
            reply.reason = "Bad Request";
            reply.content_type = "text/plain; charset=utf-8";
            reply.body = why + "\n";
            if (!offer.version || *offer.version != "13")
                reply.headers.emplace_back("Sec-WebSocket-Version", "13");
            return reply;
        }
        reply.status = 101;
        reply.reason = "Switching Protocols";
        reply.upgrade = true;
        reply.head_only = false;
        reply.headers = {{"Upgrade", "websocket"},
                         {"Connection", "Upgrade"},
                         {"Sec-WebSocket-Accept", ws_accept_key(*offer.key)}};
        if (!protocol.empty())
            reply.headers.emplace_back("Sec-WebSocket-Protocol", protocol);
        return reply;
    }
    const WebFile* file = files_.find(request.path);
    if (!file) {
        reply.status = 404;
        reply.reason = "Not Found";
        reply.content_type = "text/plain; charset=utf-8";
        reply.body = "Not found\n";
        return reply;
    }
    reply.content_type = file->content_type;
    reply.body = file->body;
    return reply;
}

TcpAddress WebListener::caller_address(const HttpRequest& request, const std::vector<AddressPrefix>& trusted)
{
    const std::string* forwarded = request.header("x-forwarded-for");
    if (!forwarded || !prefixes_contain(trusted, request.peer))
        return request.peer;
    // Entries before the last were written by whoever the proxy heard
    // from, the caller included, and prove nothing.
    const size_t comma = forwarded->rfind(',');
    std::string last = forwarded->substr(comma == std::string::npos ? 0 : comma + 1);
    last.erase(0, last.find_first_not_of(" \t"));
    last.erase(last.find_last_not_of(" \t") + 1);
    TcpAddress address;
    if (!tcp_parse_address(last.c_str(), address))
        return request.peer;
    return address;
}

void WebListener::take(UpgradedConnection&& connection)
{
    MutexHold hold(queue_lock_);
    if (queue_.size() >= QUEUE_BOUND) {
        // The calls are this far behind: the newest goes, closed at once.
        if (connection.tls)
            connection.tls->shutdown();
        connection.socket->close();
        return;
    }
    queue_.push_back(std::move(connection));
    queued_.signal();
}

bool WebListener::caller_waiting()
{
    MutexHold hold(queue_lock_);
    return !queue_.empty();
}

std::unique_ptr<CallerTransport> WebListener::accept()
{
    UpgradedConnection connection;
    {
        MutexHold hold(queue_lock_);
        if (queue_.empty())
            return nullptr;
        connection = std::move(queue_.front());
        queue_.pop_front();
        if (queue_.empty())
            queued_.clear();
    }
    const TcpAddress peer = caller_address(connection.request, trust_proxy_);
    return std::make_unique<WebSocketTransport>(std::move(connection.socket), std::move(connection.tls),
                                                std::move(connection.leftover), peer);
}

void WebListener::close()
{
    if (open_) {
        server_.stop();
        open_ = false;
    }
    MutexHold hold(queue_lock_);
    for (UpgradedConnection& connection : queue_) {
        if (connection.tls)
            connection.tls->shutdown();
        connection.socket->close();
    }
    queue_.clear();
    queued_.clear();
}
