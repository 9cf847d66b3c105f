// HttpServer: a small HTTP/1.1 and HTTPS server on one thread of its own.
// Every connection is driven by readiness (epoll), so a connection that
// stalls costs a descriptor and a few KiB and holds no one else up. One
// request per connection: read the head within the request time-out from
// accept, call the handler, write the reply, close. A reply may instead
// upgrade the connection (101), which is then handed to the upgrade handler
// with its socket, its TLS session and any bytes read past the request.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "calls/address_prefix.h"
#include "port/tcp_socket.h"
#include "web/http_request.h"
#include "web/tls_context.h"
#include "web/tls_stream.h"

struct HttpServerSettings {
    std::string ip;  // dotted IPv4 or IPv6; empty = every address, both families
    int port = 0;    // 0: a free port, see HttpServer::port()
    const TlsContext* tls = nullptr;  // null: plain HTTP; must outlive the server
    // A connection past this many open is closed at once (the newest).
    int max_connections = 1024;
    // From accept to the end of the request head (TLS handshake included).
    int request_timeout_ms = 5000;
    // From the start of the reply to its last byte handed to the system.
    int reply_timeout_ms = 30000;
    // Load balancers whose connections may open with a PROXY header (read
    // within the request time-out), naming the client: the request's peer.
    // LOCAL, their health check, is closed without a reply.
    std::vector<AddressPrefix> trust_proxy;
};

struct HttpReply {
    int status = 200;
    std::string reason = "OK";
    std::string content_type;
    std::string body;
    // Sent as given after the status line; Cache-Control: no-store is added
    // unless one is here.
    std::vector<std::pair<std::string, std::string>> headers;
    bool head_only = false;  // HEAD: the headers (Content-Length of body) without the body
    bool upgrade = false;    // 101: hand the connection over once this reply is written
};

// A connection handed over after an upgrade reply: its socket (non-blocking),
// its TLS session when it came over HTTPS, bytes read past the request, and
// the request.
struct UpgradedConnection {
    std::unique_ptr<TcpSocket> socket;
    std::unique_ptr<TlsStream> tls;
    std::string leftover;
    HttpRequest request;
};

class HttpServer {
public:
    // Called on the server's thread; must not block. Only GET and HEAD
    // requests reach it (others are answered 405).
    using Handler = std::function<HttpReply(const HttpRequest&)>;
    // Called on the server's thread; must not block.
    using UpgradeHandler = std::function<void(UpgradedConnection&&)>;

    HttpServer();
    ~HttpServer();
    HttpServer(const HttpServer&) = delete;
    HttpServer& operator=(const HttpServer&) = delete;

    // Listens and starts the thread (thread_name: at most 15 characters).
    // upgrade may be null when no reply upgrades. 0, or -1 with last_error.
    int start(const HttpServerSettings& settings, Handler handler, UpgradeHandler upgrade,
              const char* thread_name);
    // Closes the listener and every connection not handed over, and waits
    // for the thread to end.
    void stop();
    const std::string& last_error() const { return error_; }

    // The port listened on (the one chosen when the settings gave 0).
    int port() const { return port_; }
    // Connections open now (not counting those handed over).
    int open_connections() const { return open_connections_.load(); }

private:
    struct Loop;
    std::unique_ptr<Loop> loop_;
    std::string error_;
    int port_ = 0;
    std::atomic<int> open_connections_{0};
};
