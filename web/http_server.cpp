#include "web/http_server.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <strings.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <thread>
#include <unordered_map>

#include "calls/proxy_header.h"
#include "port/wake_event.h"
#include "port/worker_thread.h"

namespace {
using Clock = std::chrono::steady_clock;

// A listener out of descriptors stops accepting this long instead of being
// woken again at once for the connection it cannot take.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
// Connections taken per wake of a listener, so a flood of them does not
// starve the connections already open.
constexpr int ACCEPTS_PER_WAKE = 64;
// After the reply, the peer's remaining bytes are read and dropped for this
// long, so that closing with them unread does not reset the connection
// before the peer has read the reply.
constexpr auto LINGER = std::chrono::seconds(1);
constexpr int LISTEN_BACKLOG = 1024;
constexpr int READ_CHUNK = 4096;

std::string reply_text(const HttpReply& reply)
{
    std::string text = "HTTP/1.1 " + std::to_string(reply.status) + " " + reply.reason + "\r\n";
    if (!reply.content_type.empty())
        text += "Content-Type: " + reply.content_type + "\r\n";
    bool cache_set = false;
    for (const auto& [name, value] : reply.headers) {
        text += name + ": " + value + "\r\n";
        cache_set = cache_set || strcasecmp(name.c_str(), "Cache-Control") == 0;
    }
    if (!reply.upgrade) {
        text += "Content-Length: " + std::to_string(reply.body.size()) + "\r\n";
        if (!cache_set)
            text += "Cache-Control: no-store\r\n";
        text += "X-Content-Type-Options: nosniff\r\nConnection: close\r\n";
    }
    text += "\r\n";
    // What follows a 101 is the new protocol's, not this reply's.
    if (!reply.head_only && !reply.upgrade)
        text += reply.body;
    return text;
}

HttpReply plain_reply(int status, const char* reason, const std::string& body)
{
    HttpReply reply;
    reply.status = status;
    reply.reason = reason;
    reply.content_type = "text/plain; charset=utf-8";
    reply.body = body + "\n";
    return reply;
}
}

struct HttpServer::Loop {
    struct Connection {
        enum class Stage { Proxy, Handshake, Reading, Writing, Lingering } stage = Stage::Reading;
        std::unique_ptr<TcpSocket> socket;
        std::unique_ptr<TlsStream> tls;
        HttpRequestParser parser;
        std::string leftover;
        std::string out;
        size_t sent = 0;
        bool upgrade = false;
        Clock::time_point deadline;
        uint32_t watched = EPOLLIN;
    };

    HttpServerSettings settings;
    Handler handler;
    UpgradeHandler upgrade;
    std::atomic<int>& open_count;
    std::string thread_name;
    int epoll_fd = -1;
    WakeEvent wake;
    std::vector<std::unique_ptr<TcpSocket>> listeners;
    std::unordered_map<int, std::unique_ptr<Connection>> connections;
    std::atomic<bool> stopping{false};
    std::thread thread;
    Clock::time_point next_sweep = Clock::time_point::max();
    bool accepting = true;
    Clock::time_point resume_accepting;
    ProxyHeaderWarnings proxy_warnings;

    explicit Loop(std::atomic<int>& count) : open_count(count) {}
    ~Loop()
    {
        if (epoll_fd >= 0)
            ::close(epoll_fd);
    }

    bool is_listener(int fd) const
    {
        for (const auto& l : listeners)
            if (l->handle() == fd)
                return true;
        return false;
    }

    void watch_listeners(bool on)
    {
        for (const auto& l : listeners) {
            epoll_event e{};
            e.events = EPOLLIN;
            e.data.fd = l->handle();
            ::epoll_ctl(epoll_fd, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, l->handle(), &e);
        }
        accepting = on;
    }

    void set_deadline(Connection& c, Clock::time_point when)
    {
        c.deadline = when;
        if (when < next_sweep)
            next_sweep = when;
    }

    void run()
    {
        name_this_thread(thread_name.c_str());
        epoll_event events[64];
        while (!stopping.load()) {
            auto now = Clock::now();
            auto wake_at = std::min(next_sweep, accepting ? Clock::time_point::max() : resume_accepting);
            int timeout = -1;
            if (wake_at != Clock::time_point::max())
                timeout = int(std::max<long long>(
                    0, std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now).count() + 1));
            int n = ::epoll_wait(epoll_fd, events, 64, timeout);
            for (int i = 0; i < n; ++i) {
                int fd = events[i].data.fd;
                if (fd == wake.descriptor())
                    wake.clear();
                else if (is_listener(fd))
                    accept_from(fd);
                else
                    drive(fd);
            }
            now = Clock::now();
            if (!accepting && now >= resume_accepting)
                watch_listeners(true);
            if (now >= next_sweep)
                sweep(now);
        }
    }

    void accept_from(int listener_fd)
    {
        TcpSocket* listener = nullptr;
        for (const auto& l : listeners)
            if (l->handle() == listener_fd)
                listener = l.get();
        for (int i = 0; i < ACCEPTS_PER_WAKE; ++i) {
            std::unique_ptr<TcpSocket> socket = listener->accept();
            if (!socket) {
                if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                    watch_listeners(false);
                    resume_accepting = Clock::now() + ACCEPT_PAUSE;
                }
                return;
            }
            // Past the limit the newest goes at once: those open keep what
            // they have.
            if (int(connections.size()) >= settings.max_connections)
                continue;
            auto c = std::make_unique<Connection>();
            int fd = socket->handle();
            c->socket = std::move(socket);
            c->parser.request().peer = c->socket->address();
            if (settings.tls) {
                c->tls = std::make_unique<TlsStream>(*settings.tls, fd);
                c->stage = Connection::Stage::Handshake;
            }
            if (prefixes_contain(settings.trust_proxy, c->socket->address())) {
                c->stage = Connection::Stage::Proxy;
                // What has come of a header stays unread until it is
                // whole: only new bytes may wake the loop for it.
                c->watched = EPOLLIN | EPOLLET;
            }
            set_deadline(*c, Clock::now() + std::chrono::milliseconds(settings.request_timeout_ms));
            epoll_event e{};
            e.events = c->watched;
            e.data.fd = fd;
            if (::epoll_ctl(epoll_fd, EPOLL_CTL_ADD, fd, &e) != 0)
                continue;
            connections.emplace(fd, std::move(c));
            open_count.store(int(connections.size()));
            // A client may have sent its request with the connection.
            drive(fd);
        }
    }

    void close_connection(int fd)
    {
        auto it = connections.find(fd);
        if (it == connections.end())
            return;
        ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        connections.erase(it);
        open_count.store(int(connections.size()));
    }

    void watch(int fd, Connection& c, int readiness)
    {
        uint32_t events = (readiness & PollWritable) ? EPOLLOUT : EPOLLIN;
        if (events == c.watched)
            return;
        epoll_event e{};
        e.events = events;
        e.data.fd = fd;
        ::epoll_ctl(epoll_fd, EPOLL_CTL_MOD, fd, &e);
        c.watched = events;
    }

    int receive(Connection& c, uint8_t* buffer, int length)
    {
        return c.tls ? c.tls->receive(buffer, length) : c.socket->receive(buffer, length);
    }

    // Moves the connection on as far as it can go without waiting.
    void drive(int fd)
    {
        auto it = connections.find(fd);
        if (it == connections.end())
            return;
        Connection& c = *it->second;
        using Stage = Connection::Stage;
        if (c.stage == Stage::Proxy && !read_proxy_header(fd, c))
            return;
        if (c.stage == Stage::Handshake) {
            int done = c.tls->handshake();
            if (done < 0)
                return close_connection(fd);
            if (done == 0)
                return watch(fd, c, c.tls->wanted());
            c.stage = Stage::Reading;
        }
        if (c.stage == Stage::Reading) {
            uint8_t buffer[READ_CHUNK];
            for (;;) {
                int n = receive(c, buffer, sizeof buffer);
                if (n == TCP_WOULD_BLOCK)
                    return watch(fd, c, c.tls ? c.tls->wanted() : PollReadable);
                if (n <= 0)
                    return close_connection(fd);
                size_t used = 0;
                auto result = c.parser.feed(buffer, size_t(n), used);
                if (result == HttpRequestParser::Result::NeedMore)
                    continue;
                if (result == HttpRequestParser::Result::Complete)
                    c.leftover.assign(reinterpret_cast<char*>(buffer) + used, size_t(n) - used);
                answer(c, result == HttpRequestParser::Result::Complete);
                break;
            }
        }
        if (c.stage == Stage::Writing) {
            while (c.sent < c.out.size()) {
                const auto* bytes = reinterpret_cast<const uint8_t*>(c.out.data()) + c.sent;
                int length = int(std::min<size_t>(c.out.size() - c.sent, 1 << 20));
                int n = c.tls ? c.tls->send(bytes, length) : c.socket->send(bytes, length);
                if (n < 0)
                    return close_connection(fd);
                if (n == 0)
                    return watch(fd, c, c.tls ? c.tls->wanted() : PollWritable);
                c.sent += size_t(n);
            }
            if (c.upgrade && upgrade)
                return hand_over(fd);
            if (c.tls)
                c.tls->shutdown();
            ::shutdown(fd, SHUT_WR);
            c.stage = Stage::Lingering;
            set_deadline(c, Clock::now() + LINGER);
            c.out.clear();
        }
        if (c.stage == Stage::Lingering) {
            uint8_t buffer[READ_CHUNK];
            for (;;) {
                int n = c.socket->receive(buffer, sizeof buffer);
                if (n == TCP_WOULD_BLOCK)
                    return watch(fd, c, PollReadable);
                if (n <= 0)
                    return close_connection(fd);
            }
        }
    }

    // Reads what has come of a PROXY header, before TLS and HTTP; true once
    // the connection goes on to them. A connection that opens otherwise
    // goes on as it came, its client the balancer (which may name the
    // client in X-Forwarded-For).
    bool read_proxy_header(int fd, Connection& c)
    {
        ProxyHeader header;
        std::string why;
        switch (take_proxy_header(*c.socket, header, why)) {
        case ProxyParse::NeedMore:
            return false;
        case ProxyParse::Invalid:
            proxy_warnings.closed(c.socket->address(), why);
            close_connection(fd);
            return false;
        case ProxyParse::Done:
            if (header.kind == ProxyHeader::Kind::Local) {
                close_connection(fd);
                return false;
            }
            c.socket->set_address(header.source);
            c.parser.request().peer = header.source;
            break;
        case ProxyParse::NotProxy:
            break;
        }
        c.stage = c.tls ? Connection::Stage::Handshake : Connection::Stage::Reading;
        return true;
    }

    // Makes the reply to the request just read (or refused) and starts it.
    void answer(Connection& c, bool well_formed)
    {
        const HttpRequest& request = c.parser.request();
        HttpReply reply;
        if (!well_formed) {
            reply = plain_reply(400, "Bad Request", "Bad request: " + c.parser.error());
        } else if (request.method != "GET" && request.method != "HEAD") {
            reply = plain_reply(405, "Method Not Allowed", "GET or HEAD only");
            reply.headers.emplace_back("Allow", "GET, HEAD");
        } else if (request.header("transfer-encoding") ||
                   (request.header("content-length") && *request.header("content-length") != "0")) {
            reply = plain_reply(400, "Bad Request", "Bad request: a request body is not accepted");
        } else {
            try {
                reply = handler(request);
            } catch (const std::exception&) {
                reply = plain_reply(500, "Internal Server Error", "The reply could not be made");
            }
            if (request.method == "HEAD")
                reply.head_only = true;
        }
        c.upgrade = reply.upgrade;
        c.out = reply_text(reply);
        c.stage = Connection::Stage::Writing;
        set_deadline(c, Clock::now() + std::chrono::milliseconds(settings.reply_timeout_ms));
    }

    void hand_over(int fd)
    {
        auto it = connections.find(fd);
        std::unique_ptr<Connection> c = std::move(it->second);
        ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
        connections.erase(it);
        open_count.store(int(connections.size()));
        UpgradedConnection handed;
        handed.socket = std::move(c->socket);
        handed.tls = std::move(c->tls);
        handed.leftover = std::move(c->leftover);
        handed.request = std::move(c->parser.request());
        upgrade(std::move(handed));
    }

    // Closes every connection past its deadline and notes the next one due.
    void sweep(Clock::time_point now)
    {
        next_sweep = Clock::time_point::max();
        std::vector<int> late;
        for (const auto& [fd, c] : connections) {
            if (c->deadline <= now)
                late.push_back(fd);
            else if (c->deadline < next_sweep)
                next_sweep = c->deadline;
        }
        for (int fd : late)
            close_connection(fd);
    }
};

HttpServer::HttpServer() = default;

HttpServer::~HttpServer()
{
    stop();
}

namespace {
// A listening socket on address and port, or null with error set.
std::unique_ptr<TcpSocket> listen_on(const char* address, int port, bool ipv6, std::string& error)
{
    int fd = tcp_create(ipv6);
    TcpAddress bound;
    if (fd == TCP_INVALID || tcp_bind(fd, address, port, bound) != 0 || tcp_listen(fd, LISTEN_BACKLOG) != 0 ||
        tcp_set_nonblocking(fd) != 0) {
        int why = errno;
        std::string where = !address || !*address ? std::string("0.0.0.0")
                            : std::strchr(address, ':') ? "[" + std::string(address) + "]"
                                                        : std::string(address);
        error = "cannot listen on " + where + ":" + std::to_string(port) + ": " + std::strerror(why);
        errno = why;
        if (fd != TCP_INVALID)
            tcp_close(fd);
        errno = why;
        return nullptr;
    }
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        bound.port = ntohs(local.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6&>(local).sin6_port
                                                       : reinterpret_cast<sockaddr_in&>(local).sin_port);
    auto socket = std::make_unique<TcpSocket>();
    socket->adopt(fd, bound);
    return socket;
}
}

int HttpServer::start(const HttpServerSettings& settings, Handler handler, UpgradeHandler upgrade,
                      const char* thread_name)
{
    stop();
    auto loop = std::make_unique<Loop>(open_connections_);
    loop->settings = settings;
    loop->handler = std::move(handler);
    loop->upgrade = std::move(upgrade);
    loop->thread_name = thread_name ? thread_name : "orva-http";

    std::unique_ptr<TcpSocket> listener;
    if (settings.ip.empty()) {
        // One socket takes both families where the system has IPv6; where
        // it has not, every IPv4 address.
        std::string ignored;
        listener = listen_on("::", settings.port, true, ignored);
        if (!listener && errno != EADDRINUSE && errno != EACCES)
            listener = listen_on(nullptr, settings.port, false, error_);
        else if (!listener)
            error_ = ignored;
    } else {
        listener = listen_on(settings.ip.c_str(), settings.port, settings.ip.find(':') != std::string::npos, error_);
    }
    if (!listener)
        return -1;
    port_ = listener->address().port;
    loop->listeners.push_back(std::move(listener));

    loop->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
    if (loop->epoll_fd < 0) {
        error_ = std::string("cannot make an epoll set: ") + std::strerror(errno);
        return -1;
    }
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = loop->wake.descriptor();
    ::epoll_ctl(loop->epoll_fd, EPOLL_CTL_ADD, loop->wake.descriptor(), &e);
    loop->watch_listeners(true);
    try {
        Loop* running = loop.get();
        loop->thread = std::thread([running] { running->run(); });
    } catch (const std::system_error& failure) {
        error_ = std::string("cannot start its thread: ") + failure.what();
        return -1;
    }
    loop_ = std::move(loop);
    return 0;
}

void HttpServer::stop()
{
    if (!loop_)
        return;
    loop_->stopping.store(true);
    loop_->wake.signal();
    loop_->thread.join();
    loop_.reset();
    open_connections_.store(0);
}
