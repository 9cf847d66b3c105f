#include "calls/proxy_intake.h"

#include <cerrno>
#include <string>
#include <sys/epoll.h>
#include <system_error>
#include <unistd.h>

#include "calls/proxy_header.h"
#include "port/worker_thread.h"

namespace {
// Connections taken per wake of the listener, so that a flood of them does
// not starve the headers under way.
constexpr int ACCEPTS_PER_WAKE = 64;
// A listener out of descriptors is not watched for this long, instead of
// waking the thread again at once for the connection it cannot take.
constexpr auto ACCEPT_PAUSE = std::chrono::milliseconds(100);
}

ProxyIntake::~ProxyIntake()
{
    stop();
}

int ProxyIntake::start(TcpSocket& listener, std::vector<AddressPrefix> trusted, int header_limit_ms)
{
    stop();
    listener_ = &listener;
    trusted_ = std::move(trusted);
    header_limit_ = std::chrono::milliseconds(header_limit_ms);
    epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
    if (epoll_fd_ < 0)
        return -1;
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = wake_.descriptor();
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, wake_.descriptor(), &e);
    watch_listener(true);
    stopping_.store(false);
    try {
        thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
        ::close(epoll_fd_);
        epoll_fd_ = -1;
        return -1;
    }
    return 0;
}

void ProxyIntake::stop()
{
    if (thread_.joinable()) {
        stopping_.store(true);
        wake_.signal();
        thread_.join();
    }
    if (epoll_fd_ >= 0) {
        ::close(epoll_fd_);
        epoll_fd_ = -1;
    }
    held_.clear();
    MutexHold hold(ready_lock_);
    ready_.clear();
    ready_event_.clear();
}

bool ProxyIntake::waiting()
{
    MutexHold hold(ready_lock_);
    return !ready_.empty();
}

std::unique_ptr<TcpSocket> ProxyIntake::take()
{
    std::unique_ptr<TcpSocket> socket;
    {
        MutexHold hold(ready_lock_);
        if (ready_.empty())
            return nullptr;
        socket = std::move(ready_.front());
        ready_.pop_front();
        if (ready_.empty())
            ready_event_.clear();
    }
    if (full_.load())
        wake_.signal();
    return socket;
}

void ProxyIntake::run()
{
    name_this_thread("orva-proxy");
    epoll_event events[64];
    while (!stopping_.load()) {
        auto now = Clock::now();
        auto wake_at = next_sweep_;
        if (!accepting_ && !full_.load() && resume_accepting_ < wake_at)
            wake_at = resume_accepting_;
        int timeout = -1;
        if (wake_at != Clock::time_point::max())
            timeout = int(std::max<long long>(
                0, std::chrono::duration_cast<std::chrono::milliseconds>(wake_at - now).count() + 1));
        const int n = ::epoll_wait(epoll_fd_, events, 64, timeout);
        for (int i = 0; i < n; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake_.descriptor())
                wake_.clear();
            else if (fd == listener_->handle())
                accept_some();
            else
                read_header(fd);
        }
        now = Clock::now();
        if (now >= next_sweep_)
            sweep(now);
        if (!accepting_) {
            size_t ready;
            {
                MutexHold hold(ready_lock_);
                ready = ready_.size();
            }
            full_.store(held_.size() + ready >= BOUND);
            if (!full_.load() && now >= resume_accepting_)
                watch_listener(true);
        }
    }
}

void ProxyIntake::watch_listener(bool on)
{
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.fd = listener_->handle();
    ::epoll_ctl(epoll_fd_, on ? EPOLL_CTL_ADD : EPOLL_CTL_DEL, listener_->handle(), &e);
    accepting_ = on;
}

void ProxyIntake::accept_some()
{
    for (int i = 0; i < ACCEPTS_PER_WAKE; ++i) {
        size_t ready;
        {
            MutexHold hold(ready_lock_);
            ready = ready_.size();
        }
        if (held_.size() + ready >= BOUND) {
            // Resumed when the calls have taken one.
            full_.store(true);
            watch_listener(false);
            return;
        }
        std::unique_ptr<TcpSocket> socket = listener_->accept();
        if (!socket) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                watch_listener(false);
                resume_accepting_ = Clock::now() + ACCEPT_PAUSE;
            }
            return;
        }
        if (!prefixes_contain(trusted_, socket->address())) {
            make_ready(std::move(socket));
            continue;
        }
        const int fd = socket->handle();
        // Edge-triggered: what has come of a header stays unread until it
        // is whole, so only new bytes may wake the thread for it.
        epoll_event e{};
        e.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
        e.data.fd = fd;
        if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &e) != 0)
            continue;
        const auto deadline = Clock::now() + header_limit_;
        held_.emplace(fd, Held{std::move(socket), deadline});
        if (deadline < next_sweep_)
            next_sweep_ = deadline;
        read_header(fd);
    }
}

void ProxyIntake::read_header(int fd)
{
    auto it = held_.find(fd);
    if (it == held_.end())
        return;
    TcpSocket& socket = *it->second.socket;
    ProxyHeader header;
    std::string why;
    const ProxyParse result = take_proxy_header(socket, header, why);
    if (result == ProxyParse::NeedMore)
        return;
    std::unique_ptr<TcpSocket> taken = std::move(it->second.socket);
    release(fd);
    if (result != ProxyParse::Done) {
        warnings_.closed(taken->address(), why);
        return;
    }
    // LOCAL: the balancer's own check, not a caller.
    if (header.kind == ProxyHeader::Kind::Local)
        return;
    taken->set_address(header.source);
    make_ready(std::move(taken));
}

void ProxyIntake::release(int fd)
{
    ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, fd, nullptr);
    held_.erase(fd);
}

void ProxyIntake::make_ready(std::unique_ptr<TcpSocket> socket)
{
    MutexHold hold(ready_lock_);
    ready_.push_back(std::move(socket));
    ready_event_.signal();
}

void ProxyIntake::sweep(Clock::time_point now)
{
    next_sweep_ = Clock::time_point::max();
    std::vector<int> late;
    for (const auto& [fd, held] : held_) {
        if (held.deadline <= now)
            late.push_back(fd);
        else if (held.deadline < next_sweep_)
            next_sweep_ = held.deadline;
    }
    for (int fd : late) {
        const TcpAddress from = held_[fd].socket->address();
        release(fd);
        warnings_.closed(from, "no PROXY header within " + std::to_string(header_limit_.count() / 1000) + " s");
    }
}
