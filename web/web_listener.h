// WebListener: where callers with only a browser arrive. An HTTP server
// of its own (thread "orva-web") serves the page and takes /call upgrades
// to WebSocket; each upgraded connection waits in a bounded queue until
// the calls accept it, as a WebSocketTransport.
#pragma once

#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "calls/address_prefix.h"
#include "calls/caller_listener.h"
#include "port/locks.h"
#include "port/wake_event.h"
#include "web/http_server.h"
#include "web/web_files.h"

struct WebSettings;

class WebListener : public CallerListener {
public:
    // Upgraded connections waiting for the calls; past it one is closed.
    static constexpr size_t QUEUE_BOUND = 64;

    WebListener() = default;
    ~WebListener() override;
    WebListener(const WebListener&) = delete;
    WebListener& operator=(const WebListener&) = delete;

    // Serves files and takes calls as settings say, over TLS with tls
    // (null: plain HTTP; it must outlive the listener). 0, or -1 after
    // printing why.
    int open(const WebSettings& settings, const TlsContext* tls, WebFiles files);

    int descriptor() const override { return queued_.descriptor(); }
    bool caller_waiting() override;
    std::unique_ptr<CallerTransport> accept() override;
    void close() override;

    // The caller's address: the one a trusted proxy appended to
    // X-Forwarded-For (its last entry) when the connection comes from a
    // proxy in trusted, else the connection's own (after a PROXY header,
    // the caller it named).
    static TcpAddress caller_address(const HttpRequest& request, const std::vector<AddressPrefix>& trusted);

private:
    HttpReply serve(const HttpRequest& request) const;
    void take(UpgradedConnection&& connection);

    HttpServer server_;
    WebFiles files_;
    std::vector<AddressPrefix> trust_proxy_;
    bool open_ = false;
    // Readable while a connection waits in queue_.
    WakeEvent queued_;
    Mutex queue_lock_;
    std::deque<UpgradedConnection> queue_;
};
