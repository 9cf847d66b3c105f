#include "bench/reference_server.h"

#include <cerrno>
#include <memory>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/support/loopback_socket.h"
#include "tools/board_sim/pattern_check.h"

namespace {

struct Connection {
    int fd = -1;
    ReferenceServer::Mode mode = ReferenceServer::Mode::Echo;
    long amount = 0;
    long sent = 0;                      // bulk: pattern bytes written
    std::string out;                    // bytes waiting to be written
    std::unique_ptr<PatternCheck> check;
    bool close_after_out = false;
    bool dead = false;
};

void write_out(Connection& c)
{
    while (!c.out.empty()) {
        const ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.dead = true;
            return;
        }
        c.out.erase(0, static_cast<size_t>(n));
    }
    if (c.close_after_out)
        c.dead = true;
    if (c.mode != ReferenceServer::Mode::Bulk)
        return;
    while (c.sent < c.amount) {
        const long left = c.amount - c.sent;
        const size_t n = static_cast<size_t>(left < PatternCheck::RUN_BYTES ? left : PatternCheck::RUN_BYTES);
        const ssize_t w = ::send(c.fd, PatternCheck::run_from(c.sent), n, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (w < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                c.dead = true;
            return;
        }
        c.sent += w;
    }
}

}

ReferenceServer::ReferenceServer(int listeners)
{
    for (int i = 0; i < listeners; ++i) {
        int port = 0;
        const int fd = support::listen_loopback(256, port, true);
        if (fd < 0) {
            for (int l : listeners_)
                ::close(l);
            throw std::runtime_error("reference server: cannot listen on 127.0.0.1");
        }
        listeners_.push_back(fd);
        ports_.push_back(port);
    }
    thread_ = std::thread([this] { run(); });
}

ReferenceServer::~ReferenceServer()
{
    stop_ = true;
    thread_.join();
    for (int fd : listeners_)
        ::close(fd);
}

void ReferenceServer::set_mode(Mode mode, long amount, const std::string& text)
{
    std::lock_guard<std::mutex> hold(mode_lock_);
    mode_ = mode;
    amount_ = amount;
    text_ = text;
}

void ReferenceServer::run()
{
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<pollfd> fds;
    char buffer[65536];
    while (!stop_) {
        fds.clear();
        for (int fd : listeners_)
            fds.push_back(pollfd{fd, POLLIN, 0});
        for (auto& c : connections) {
            short events = POLLIN;
            if (!c->out.empty() || (c->mode == Mode::Bulk && c->sent < c->amount))
                events |= POLLOUT;
            fds.push_back(pollfd{c->fd, events, 0});
        }
        if (::poll(fds.data(), fds.size(), 10) <= 0)
            continue;
        const size_t first = listeners_.size();
        for (size_t l = 0; l < first; ++l) {
            if (!(fds[l].revents & POLLIN))
                continue;
            for (;;) {
                const int fd = ::accept4(listeners_[l], nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
                if (fd < 0)
                    break;
                auto c = std::make_unique<Connection>();
                c->fd = fd;
                {
                    std::lock_guard<std::mutex> hold(mode_lock_);
                    c->mode = mode_;
                    c->amount = amount_;
                    if (mode_ == Mode::Refuse) {
                        c->out = text_;
                        c->close_after_out = true;
                    }
                }
                if (c->mode == Mode::Verify)
                    c->check = std::make_unique<PatternCheck>(c->amount);
                write_out(*c);
                connections.push_back(std::move(c));
                open_ = static_cast<int>(connections.size());
            }
        }
        // Connections accepted in this pass have no entry in fds yet.
        for (size_t i = first; i < fds.size(); ++i) {
            Connection& c = *connections[i - first];
            if (fds[i].revents & (POLLIN | POLLERR | POLLHUP)) {
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) {
                    c.dead = true;
                } else if (n > 0) {
                    if (c.mode == Mode::Echo)
                        c.out.append(buffer, static_cast<size_t>(n));
                    else if (c.check)
                        c.out += c.check->take(reinterpret_cast<uint8_t*>(buffer), static_cast<int>(n));
                }
            }
            if (!c.dead)
                write_out(c);
        }
        for (size_t i = 0; i < connections.size();) {
            if (connections[i]->dead) {
                ::close(connections[i]->fd);
                connections.erase(connections.begin() + static_cast<long>(i));
                open_ = static_cast<int>(connections.size());
            } else {
                ++i;
            }
        }
    }
    for (auto& c : connections)
        ::close(c->fd);
}
