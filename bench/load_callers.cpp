#include "bench/load_callers.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <memory>
#include <poll.h>
#include <random>
#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/loopback_socket.h"
#include "tools/board_sim/pattern_check.h"

namespace {

// Appends the data bytes among bytes[0..count) to out, the adapter's own
// Telnet commands taken out; a command split between reads is carried.
void strip_telnet(TelnetInputState& state, const uint8_t* bytes, int count, std::string& out)
{
    const size_t at = out.size();
    out.resize(at + size_t(count));
    out.resize(at + size_t(telnet_strip_commands(state, bytes, count, reinterpret_cast<uint8_t*>(out.data() + at))));
}

int64_t now_ns()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

constexpr int64_t MS = 1000000;
// Connections opened through the adapter that have not heard it yet.
constexpr int MAX_UNANSWERED = 2;

}

CallerGroup::~CallerGroup()
{
    hang_up();
}

int caller_receive(Caller& c, uint8_t* buffer, int size)
{
    if (c.ssh)
        return c.ssh->receive(buffer, size);
    const ssize_t n = ::recv(c.fd, buffer, size_t(size), MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return -1;
    return n < 0 ? 0 : int(n);
}

int caller_send(Caller& c, const void* bytes, int count)
{
    if (c.ssh)
        return c.ssh->send(static_cast<const uint8_t*>(bytes), count);
    const ssize_t n = ::send(c.fd, bytes, size_t(count), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0)
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    return int(n);
}

void CallerGroup::hang_up()
{
    for (Caller& c : callers_)
        if (!c.ssh && c.fd >= 0)
            ::close(c.fd);
    callers_.clear();
}

void CallerGroup::take(Caller& c, const uint8_t* bytes, int count, int64_t now)
{
    std::string& into = c.ready ? c.data : c.head;
    if (c.ssh)
        into.append(reinterpret_cast<const char*>(bytes), size_t(count));
    else
        strip_telnet(c.telnet, bytes, count, into);
    if (c.ready)
        return;
    const std::string prefix = "Connected to KELB line ";
    const size_t at = c.head.find(prefix);
    const size_t end = at == std::string::npos ? at : c.head.find("\r\n", at);
    if (end == std::string::npos)
        return;
    c.line = std::atoi(c.head.c_str() + at + prefix.size());
    c.data = c.head.substr(end + 2);
    c.head.erase(end + 2);
    c.ready = true;
    c.ready_ns = now;
}

bool CallerGroup::open_caller(int port, std::string& error)
{
    Caller c;
    c.fd = support::dial_loopback(port, {.wait = !ssh_terminal_.empty()});
    if (c.fd < 0) {
        error = "cannot connect";
        return false;
    }
    if (!ssh_terminal_.empty()) {
        // One handshake at a time: each SSH caller is in before the next dials.
        c.ssh = std::make_unique<support::SshCallerLink>();
        if (!c.ssh->open(c.fd, ssh_terminal_.c_str(), error))
            return false;
    }
    callers_.push_back(std::move(c));
    return true;
}

bool CallerGroup::wait_connected(const std::vector<size_t>& which, int64_t deadline, std::string& error)
{
    // Ready once the connection is made: writable without an error.
    std::vector<pollfd> fds;
    std::vector<size_t> owner;
    for (;;) {
        fds.clear();
        owner.clear();
        for (size_t i : which) {
            if (callers_[i].fd < 0) {
                error = "cannot connect";
                return false;
            }
            if (!callers_[i].ready) {
                fds.push_back(pollfd{callers_[i].fd, POLLOUT, 0});
                owner.push_back(i);
            }
        }
        if (fds.empty())
            return true;
        if (now_ns() > deadline) {
            error = std::to_string(fds.size()) + " connections not made";
            return false;
        }
        ::poll(fds.data(), fds.size(), 10);
        const int64_t now = now_ns();
        for (size_t k = 0; k < fds.size(); ++k) {
            if (!(fds[k].revents & (POLLOUT | POLLERR | POLLHUP)))
                continue;
            int so_error = 0;
            socklen_t len = sizeof so_error;
            getsockopt(fds[k].fd, SOL_SOCKET, SO_ERROR, &so_error, &len);
            if (so_error != 0) {
                error = "connection refused";
                return false;
            }
            callers_[owner[k]].ready = true;
            callers_[owner[k]].ready_ns = now;
        }
    }
}

bool CallerGroup::connect(const std::vector<int>& ports, int count, int timeout_ms, std::string& error)
{
    const int64_t deadline = now_ns() + timeout_ms * MS;
    if (!through_adapter_) {
        std::vector<size_t> all;
        for (int i = 0; i < count; ++i) {
            if (!open_caller(ports[static_cast<size_t>(i) % ports.size()], error))
                return false;
            all.push_back(static_cast<size_t>(i));
        }
        if (!wait_connected(all, deadline, error))
            return false;
        if (busy_text_.empty())
            return true;
        // A refusal comes at once; wait a little for it and dial again.
        for (int round = 0; round < 50; ++round) {
            const int64_t settle = now_ns() + 20 * MS;
            while (now_ns() < settle)
                pump(5);
            std::vector<size_t> again;
            for (size_t i = 0; i < callers_.size(); ++i) {
                Caller& c = callers_[i];
                if (c.data.rfind(busy_text_, 0) != 0)
                    continue;
                ::close(c.fd);
                c = Caller();
                c.fd = support::dial_loopback(ports[i % ports.size()]);
                again.push_back(i);
            }
            if (again.empty())
                return true;
            error = std::to_string(again.size()) + " callers turned away, the first on port " +
                    std::to_string(ports[again.front() % ports.size()]);
            if (!wait_connected(again, deadline, error))
                return false;
        }
        error = "the relay kept refusing callers: " + error;
        return false;
    }
    // Callers dial one after another, as people do, a couple at a time:
    // the figures are for calls, not for a connection storm.
    for (;;) {
        int unanswered = 0;
        for (Caller& c : callers_)
            unanswered += c.head.empty() && !c.ready && !c.closed ? 1 : 0;
        while (static_cast<int>(callers_.size()) < count && unanswered < MAX_UNANSWERED) {
            if (!open_caller(ports[callers_.size() % ports.size()], error))
                return false;
            ++unanswered;
        }
        pump(2);
        int waiting = count - static_cast<int>(callers_.size());
        for (Caller& c : callers_) {
            if (c.closed && !c.ready) {
                error = "the adapter hung up before the board answered: " + c.head;
                return false;
            }
            waiting += c.ready ? 0 : 1;
        }
        if (waiting == 0)
            return true;
        if (now_ns() > deadline) {
            error = std::to_string(waiting) + " callers never reached a board line";
            return false;
        }
    }
}

void CallerGroup::pump(int timeout_ms)
{
    std::vector<pollfd> fds;
    std::vector<Caller*> owners;
    for (Caller& c : callers_) {
        if (c.closed)
            continue;
        fds.push_back(pollfd{c.fd, POLLIN, 0});
        owners.push_back(&c);
    }
    bool due = false;
    for (const Caller* c : owners)
        due = due || (c->ssh && c->ssh->read_due());
    if (fds.empty() || (::poll(fds.data(), fds.size(), due ? 0 : timeout_ms) <= 0 && !due))
        return;
    const int64_t now = now_ns();
    uint8_t buffer[65536];
    for (size_t i = 0; i < fds.size(); ++i) {
        Caller& c = *owners[i];
        if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP)) && !(c.ssh && c.ssh->read_due()))
            continue;
        // Over SSH the library may hold more than one read gives.
        for (int reads = 0; reads < (c.ssh ? 64 : 1); ++reads) {
            const int n = caller_receive(c, buffer, sizeof buffer);
            if (n > 0)
                take(c, buffer, n, now);
            else if (n == 0)
                c.closed = true;
            if (n <= 0)
                break;
        }
    }
}

EchoResult run_echo(CallerGroup& group, int samples, int pause_min_ms, int pause_max_ms, int timeout_ms)
{
    struct Typist {
        long typed = 0;
        int64_t sent_at = 0;
        int64_t next_at = 0;
        bool waiting = false;
        bool gone = false;
    };
    EchoResult r;
    std::mt19937 random(7);
    std::uniform_int_distribution<int64_t> pause(pause_min_ms * MS, pause_max_ms * MS);
    auto& callers = group.callers();
    std::vector<Typist> typists(callers.size());
    int64_t now = now_ns();
    const int64_t deadline = now + timeout_ms * MS;
    for (Typist& t : typists)
        t.next_at = now + pause(random);  // spread the first keystrokes
    for (Caller& c : callers)
        c.data.clear();  // anything before the first keystroke is not an echo
    for (;;) {
        now = now_ns();
        int64_t next = now + 5 * MS;
        bool busy = false;
        for (size_t i = 0; i < callers.size(); ++i) {
            Typist& t = typists[i];
            Caller& c = callers[i];
            if (t.gone || (t.typed >= samples && !t.waiting))
                continue;
            busy = true;
            if (t.waiting && now - t.sent_at > 2000 * MS) {
                ++r.unanswered;
                t.gone = true;  // a keystroke lost leaves the line stuck
                continue;
            }
            if (!t.waiting && now >= t.next_at) {
                const char b = PatternCheck::byte_at(t.typed);
                t.sent_at = now_ns();
                if (caller_send(c, &b, 1) != 1) {
                    ++r.unanswered;
                    t.gone = true;
                    continue;
                }
                t.waiting = true;
            }
            if (!t.waiting)
                next = std::min(next, t.next_at);
        }
        if (!busy || now > deadline)
            break;
        const int wait_ms = static_cast<int>(std::max<int64_t>(0, (next - now) / MS));
        group.pump(std::min(wait_ms, 5));
        const int64_t arrived = now_ns();
        for (size_t i = 0; i < callers.size(); ++i) {
            Typist& t = typists[i];
            Caller& c = callers[i];
            for (char b : c.data) {
                if (t.waiting && b == PatternCheck::byte_at(t.typed)) {
                    r.latency_ms.push_back(static_cast<double>(arrived - t.sent_at) / MS);
                    ++t.typed;
                    t.waiting = false;
                    t.next_at = arrived + pause(random);
                } else {
                    ++r.wrong;
                }
            }
            c.data.clear();
            if (c.closed && !t.gone && (t.waiting || t.typed < samples)) {
                ++r.unanswered;
                t.gone = true;
            }
        }
    }
    for (const Typist& t : typists)
        if (!t.gone && t.waiting)
            ++r.unanswered;
    return r;
}

namespace {

struct LineProgress {
    std::unique_ptr<PatternCheck> check;
    long sent = 0;
    int64_t start_ns = 0;
    int64_t done_ns = 0;
    bool done = false;
    std::string report;  // run_send: what the peer said
    std::string first;   // run_receive: the first bytes, to show when they are wrong
};

std::string printable(const std::string& bytes)
{
    std::string t;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7F) {
            t.push_back(static_cast<char>(c));
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            t += hex;
        }
    }
    return t;
}

// Counts the lines and their rates: per line, and all together from the
// first line's start to the last line's end.
void add_rates(StreamResult& r, const std::vector<LineProgress>& lines, long bytes)
{
    int64_t first = 0, last = 0;
    for (const LineProgress& p : lines) {
        r.lines += 1;
        r.bytes_expected += bytes;
        if (p.done && p.done_ns > p.start_ns) {
            r.line_rate.push_back(static_cast<double>(bytes) * 1e9 / static_cast<double>(p.done_ns - p.start_ns));
            first = first == 0 ? p.start_ns : std::min(first, p.start_ns);
            last = std::max(last, p.done_ns);
        }
    }
    if (last > first && r.line_rate.size() == lines.size())
        r.aggregate_rate = static_cast<double>(bytes) * static_cast<double>(lines.size()) * 1e9 /
                           static_cast<double>(last - first);
}

void finish_stream(StreamResult& r, std::vector<LineProgress>& lines, long bytes)
{
    for (LineProgress& p : lines) {
        if (p.check) {
            r.bytes_in_order += p.check->in_order();
            r.bytes_extra += p.check->extra();
        }
    }
    add_rates(r, lines, bytes);
}

}

StreamResult run_receive(CallerGroup& group, long bytes, int quiet_ms, int timeout_ms)
{
    StreamResult r;
    auto& callers = group.callers();
    std::vector<LineProgress> lines(callers.size());
    for (size_t i = 0; i < callers.size(); ++i) {
        lines[i].check = std::make_unique<PatternCheck>(bytes);
        lines[i].start_ns = callers[i].ready_ns;
    }
    const int64_t deadline = now_ns() + timeout_ms * MS;
    int64_t quiet_until = 0;
    for (;;) {
        const int64_t now = now_ns();
        int left = 0;
        for (size_t i = 0; i < callers.size(); ++i) {
            LineProgress& p = lines[i];
            Caller& c = callers[i];
            if (!c.data.empty()) {
                if (p.first.size() < 24)
                    p.first += c.data.substr(0, 24 - p.first.size());
                p.check->take(reinterpret_cast<const uint8_t*>(c.data.data()), static_cast<int>(c.data.size()));
                c.data.clear();
                if (!p.done && (p.check->in_order() == bytes || p.check->broken())) {
                    p.done = !p.check->broken();
                    p.done_ns = now;
                    if (p.check->broken() && r.first_error.empty())
                        r.first_error = "line " + std::to_string(i + 1) + ": pattern broken after byte " +
                                        std::to_string(p.check->in_order()) + ", began with " +
                                        printable(p.first);
                }
            }
            if (p.done_ns == 0 && !c.closed)
                ++left;
        }
        if (left == 0 && quiet_until == 0)
            quiet_until = now + quiet_ms * MS;
        if ((quiet_until && now >= quiet_until) || now > deadline)
            break;
        group.pump(5);
    }
    for (size_t i = 0; i < callers.size(); ++i) {
        if (lines[i].check->complete())
            ++r.intact_lines;
        else if (r.first_error.empty())
            r.first_error = "line " + std::to_string(i + 1) + ": " + std::to_string(lines[i].check->in_order()) +
                            " bytes in order, " + std::to_string(lines[i].check->extra()) + " more";
    }
    finish_stream(r, lines, bytes);
    return r;
}

StreamResult run_send(CallerGroup& group, long bytes, int quiet_ms, int timeout_ms)
{
    StreamResult r;
    auto& callers = group.callers();
    std::vector<LineProgress> lines(callers.size());
    const std::string verified = "Verified " + std::to_string(bytes) + " bytes in order.\r\n";
    const int64_t start = now_ns();
    for (LineProgress& p : lines)
        p.start_ns = start;
    const int64_t deadline = start + timeout_ms * MS;
    int64_t quiet_until = 0;
    std::vector<pollfd> fds;
    std::vector<size_t> writer;  // fds[k] belongs to callers[writer[k]]
    for (;;) {
        int64_t now = now_ns();
        int left = 0;
        fds.clear();
        writer.clear();
        for (size_t i = 0; i < callers.size(); ++i) {
            LineProgress& p = lines[i];
            Caller& c = callers[i];
            p.report += c.data;
            c.data.clear();
            if (!p.done_ns && p.report.find("\r\n") != std::string::npos) {
                p.done_ns = now;
                p.done = p.report == verified;
            }
            if (!p.done_ns && !c.closed)
                ++left;
            if (p.sent < bytes && !c.closed) {
                fds.push_back(pollfd{c.fd, POLLOUT, 0});
                writer.push_back(i);
            }
        }
        if (left == 0 && quiet_until == 0)
            quiet_until = now + quiet_ms * MS;
        if ((quiet_until && now >= quiet_until) || now > deadline)
            break;
        if (!fds.empty() && ::poll(fds.data(), fds.size(), 0) > 0) {
            for (size_t k = 0; k < fds.size(); ++k) {
                if (!(fds[k].revents & POLLOUT))
                    continue;
                LineProgress& p = lines[writer[k]];
                const long n = std::min<long>(bytes - p.sent, PatternCheck::RUN_BYTES);
                const int w = caller_send(callers[writer[k]], PatternCheck::run_from(p.sent), static_cast<int>(n));
                if (w > 0)
                    p.sent += w;
            }
        }
        group.pump(fds.empty() ? 5 : 1);
    }
    for (size_t i = 0; i < lines.size(); ++i) {
        LineProgress& p = lines[i];
        // The report says how far the pattern held; count it as such.
        if (p.report == verified) {
            ++r.intact_lines;
            r.bytes_in_order += bytes;
        } else if (r.first_error.empty()) {
            r.first_error = "line " + std::to_string(i + 1) + ": sent " + std::to_string(p.sent) + ", peer said: " +
                            (p.report.empty() ? std::string("nothing") : p.report.substr(0, p.report.find("\r\n")));
        }
        if (p.report.size() > verified.size() && p.report.rfind(verified, 0) == 0)
            r.bytes_extra += 1;  // the peer reported bytes past the end
    }
    add_rates(r, lines, bytes);
    return r;
}

RefuseResult run_refuse(int port, const std::string& expected, int concurrency, long total, int timeout_ms)
{
    struct Call {
        int fd = -1;
        std::string got;
        TelnetInputState telnet = TelnetInputState::Data;
    };
    RefuseResult r;
    std::vector<Call> calls(static_cast<size_t>(concurrency));
    const int64_t start = now_ns();
    const int64_t deadline = start + timeout_ms * MS;
    long started = 0;
    std::vector<pollfd> fds;
    uint8_t buffer[4096];
    for (;;) {
        const int64_t now = now_ns();
        fds.clear();
        for (size_t i = 0; i < calls.size(); ++i) {
            Call& c = calls[i];
            if (c.fd < 0 && started < total && now < deadline) {
                c.fd = support::dial_loopback(port);
                c.got.clear();
                c.telnet = TelnetInputState::Data;
                ++started;
            }
            if (c.fd >= 0)
                fds.push_back(pollfd{c.fd, POLLIN, 0});
        }
        if (fds.empty() || now > deadline + 2000 * MS)
            break;
        if (::poll(fds.data(), fds.size(), 10) <= 0)
            continue;
        for (pollfd& f : fds) {
            if (!(f.revents & (POLLIN | POLLERR | POLLHUP)))
                continue;
            for (Call& c : calls) {
                if (c.fd != f.fd)
                    continue;
                const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
                if (n > 0) {
                    strip_telnet(c.telnet, buffer, static_cast<int>(n), c.got);
                    continue;
                }
                if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                    continue;
                ::close(c.fd);
                c.fd = -1;
                ++r.calls;
                if (c.got == expected)
                    ++r.right;
                else if (r.first_error.empty())
                    r.first_error = "a caller got: " + c.got;
            }
        }
    }
    for (Call& c : calls)
        if (c.fd >= 0)
            ::close(c.fd);
    const double seconds = static_cast<double>(now_ns() - start) / 1e9;
    r.per_second = seconds > 0 ? static_cast<double>(r.calls) / seconds : 0;
    return r;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t rank = static_cast<size_t>(p / 100.0 * static_cast<double>(values.size()) + 0.999999);
    rank = std::clamp<size_t>(rank, 1, values.size());
    return values[rank - 1];
}
