// Load on the Telnet side of whole calls: a burst of callers, callers that
// vanish at once, a caller that never reads and one that reads slowly
// while the board floods it. Every loop is bounded and every wait has a
// deadline; orva's threads, descriptors and memory must come back.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "tests/support/adapter_test.h"
#include "tests/support/adapter_texts.h"
#include "tests/support/loopback_socket.h"

namespace {

using namespace support;
using Clock = std::chrono::steady_clock;

long long ms_since(Clock::time_point t)
{
    return (long long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t).count();
}

// Opens count connections at once and reads each until the adapter closes
// it; returns what each received ("" for one that never connected).
std::vector<std::string> burst(int port, int count, std::chrono::milliseconds timeout,
                               const std::function<void()>& pump)
{
    const size_t n_callers = static_cast<size_t>(count);
    std::vector<int> fds(n_callers, -1);
    std::vector<std::string> got(n_callers);
    std::vector<bool> done(n_callers, false);
    for (int i = 0; i < count; ++i)
        fds[size_t(i)] = dial_loopback(port);
    auto deadline = Clock::now() + timeout;
    int open = 0;
    for (int i = 0; i < count; ++i) {
        if (fds[size_t(i)] < 0)
            done[size_t(i)] = true;
        else
            ++open;
    }
    std::vector<pollfd> ready;
    std::vector<int> index;
    char buffer[4096];
    while (open > 0 && Clock::now() < deadline) {
        ready.clear();
        index.clear();
        for (int i = 0; i < count; ++i)
            if (!done[size_t(i)]) {
                ready.push_back(pollfd{fds[size_t(i)], POLLIN, 0});
                index.push_back(i);
            }
        if (::poll(ready.data(), ready.size(), 20) < 0)
            break;
        pump();
        for (size_t k = 0; k < ready.size(); ++k) {
            if (!(ready[k].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            size_t i = size_t(index[k]);
            ssize_t n = ::recv(fds[i], buffer, sizeof buffer, 0);
            if (n > 0) {
                got[i].append(buffer, size_t(n));
            } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
                done[i] = true;
                --open;
            }
        }
    }
    for (int fd : fds)
        if (fd >= 0)
            ::close(fd);
    return got;
}

// The numbers of the sessions orva opened and has not disconnected.
std::string sessions_not_disconnected(const std::string& out)
{
    std::string numbers;
    const std::string opened = "] Connection: ";
    for (size_t at = out.find(opened); at != std::string::npos; at = out.find(opened, at + 1)) {
        const size_t start = out.rfind('[', at);
        const std::string session = out.substr(start, at + 1 - start);
        if (out.find(session + " Disconnected.", at) == std::string::npos)
            numbers += session;
    }
    return numbers;
}

// The end of what the programs said, for failures of runs with long output.
constexpr size_t WHY_TAIL = 8000;

class Load : public AdapterTest {
protected:
    void burst_and_check(int batches, int per_batch, const std::string& want)
    {
        int wrong = 0;
        std::string example;
        for (int b = 0; b < batches; ++b) {
            auto t = Clock::now();
            std::vector<std::string> got = burst(telnet_port, per_batch, 60s, [this] { pump(); });
            pump();
            for (const std::string& g : got)
                if (g != want) {
                    ++wrong;
                    example = g;
                }
            std::printf("batch %d: %d callers in %lld ms\n", b, per_batch, ms_since(t));
        }
        EXPECT_EQ(wrong, 0) << "one of them got: " << testing::PrintToString(example)
                            << "\nsessions not disconnected: " << sessions_not_disconnected(orva->out()) << "\n"
                            << why(WHY_TAIL);
    }
};

// 1000 callers in batches that each arrive at once: every one gets the
// announcements, the greeting and the busy text, and orva still answers.
TEST_F(Load, ThousandCallersInABurstAllGetGreetingAndBusyText)
{
    start_orva();
    start_board({"--busy"});
    take_baseline();
    const int per_batch = 200 / LOAD_SCALE;
    const int batches = 5;
    auto t = Clock::now();
    burst_and_check(batches, per_batch, OPTIONS + GREETING + BUSY_TEXT);
    std::printf("%d callers served in %lld ms\n", batches * per_batch, ms_since(t));
    {
        LoopbackCaller caller(telnet_port);
        bool closed = false;
        EXPECT_EQ(read_until_closed(caller, closed), OPTIONS + GREETING + BUSY_TEXT);
    }
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
    std::string total = dir.read("orva.dat");
    ASSERT_EQ(total.size(), 2u);
    EXPECT_EQ(uint8_t(total[0]) | uint8_t(total[1]) << 8, batches * per_batch + 1);
}

// With no board host known the same burst gets the down text.
TEST_F(Load, BurstWithNoBoardAllGetTheDownText)
{
    start_orva();
    take_baseline();
    burst_and_check(2, 200 / LOAD_SCALE, OPTIONS + GREETING + DOWN_TEXT);
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}

void vanish(int port, bool reset)
{
    int fd = dial_loopback(port);
    if (fd < 0)
        return;
    pollfd p{fd, POLLOUT, 0};
    ::poll(&p, 1, 1000);
    if (reset) {
        linger l{1, 0}; // the close is a reset
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(fd);
}

// Callers that hang up at once, half of them with a reset, while four
// callers keep talking to the board: theirs arrives intact, and every
// line the vanished took is given back.
TEST_F(Load, VanishingCallersLeaveOthersServedAndLinesFreed)
{
    start_orva();
    start_board({"--echo", "--lines", "95"});
    take_baseline();
    std::vector<std::unique_ptr<LoopbackCaller>> talkers;
    for (int n = 0; n < 4; ++n) {
        talkers.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        ASSERT_GT(call_in(*talkers.back()), 0);
    }
    const int rounds = 20;
    const int per_round = 20 / LOAD_SCALE + 1;
    for (int r = 0; r < rounds; ++r) {
        for (int v = 0; v < per_round; ++v)
            vanish(telnet_port, v % 2 == 1);
        for (int n = 0; n < 4; ++n) {
            const std::string piece = caller_pattern(700, r * 4 + n);
            talkers[size_t(n)]->send(piece);
            ASSERT_EQ(read(*talkers[size_t(n)], piece.size()), piece) << "round " << r << " caller " << n;
        }
    }
    talkers.clear();
    const int vanished = rounds * per_round;
    // Every call ends: the four talkers and each vanished caller.
    EXPECT_TRUE(wait_until([&] { pump(); return count_of(orva->out(), "] Disconnected.") >= size_t(vanished + 4); },
                           30s))
        << count_of(orva->out(), "] Disconnected.");
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    // No line is left taken on the board: all 95 are there for new callers.
    std::vector<std::unique_ptr<LoopbackCaller>> again;
    for (int n = 0; n < 95; ++n) {
        again.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        ASSERT_GT(call_in(*again.back()), 0) << n;
    }
    again.clear();
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}

// Bytes orva's socket to a caller holds unsent (tx_queue in /proc/net/tcp),
// found by the two loopback ports; -1 once the connection is gone.
long unsent_to(int local_port, int remote_port)
{
    std::FILE* f = std::fopen("/proc/net/tcp", "r");
    if (!f)
        return -1;
    char line[512];
    long found = -1;
    while (std::fgets(line, sizeof line, f)) {
        unsigned local = 0, remote = 0, state = 0;
        unsigned long tx = 0, rx = 0;
        if (std::sscanf(line, " %*d: %*8X:%X %*8X:%X %X %lX:%lX", &local, &remote, &state, &tx, &rx) == 5 &&
            int(local) == local_port && int(remote) == remote_port && state == 1)
            found = long(tx);
    }
    std::fclose(f);
    return found;
}

// A caller that reads nothing while a board floods it is held to a
// bounded backlog and dropped once it has taken nothing for the stall
// limit (20 s, counted from the last byte its socket accepted). Another
// caller, on another line of the same board host, talks throughout. The flood is more than the kernel buffers in front of the
// never-reader (up to 4 MiB on loopback).
TEST_F(Load, NeverReaderIsDroppedWithinTheBoundOthersUnaffected)
{
    start_orva();
    // One board, called first whatever else is heard: line 1 floods, line 2
    // echoes for the other caller.
    start_board({"--echo", "--bulk", std::to_string(6 * 1024 * 1024), "--bulk-lines", "1", "--lines", "2"});
    take_baseline();
    const int never = dial_loopback(telnet_port, {.wait = true, .receive_buffer = 4096});
    ASSERT_GE(never, 0);
    const int never_port = local_port(never);
    ASSERT_TRUE(orva_says("Connection Accepted on 1"));

    // When the socket in front of the never-reader last took more bytes.
    long unsent = 0;
    auto last_taken = Clock::now();
    auto watch = [&] {
        long now = unsent_to(telnet_port, never_port);
        if (now > unsent) {
            unsent = now;
            last_taken = Clock::now();
        }
    };
    auto dropped = [&] { return orva->out().find("[1] Disconnected.") != std::string::npos; };
    {
        LoopbackCaller talker(telnet_port);
        ASSERT_EQ(call_in(talker), 2);
        int exchanges = 0;
        auto started = Clock::now();
        // Sanitizer builds fill the kernel's buffers more slowly.
        while (!dropped() && ms_since(started) < 60000LL * LOAD_SCALE / 2 + 30000) {
            const std::string piece = caller_pattern(200, exchanges++);
            talker.send(piece);
            ASSERT_EQ(read(talker, piece.size()), piece) << "exchange " << exchanges;
            watch();
        }
        std::printf("the other caller made %d exchanges meanwhile\n", exchanges);
    }
    auto dropped_after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - last_taken);
    ASSERT_TRUE(dropped()) << unsent << " bytes unsent, last taken " << dropped_after.count() << " ms ago";
    std::printf("never-reader held %ld bytes unsent in the kernel, dropped %lld ms after its socket last took "
                "any\n",
                unsent, (long long)dropped_after.count());
    EXPECT_GT(unsent, 0);
    // Not before the limit; after it, within a margin that leaves room for
    // a loaded machine but not for a caller held until something else ends it.
    EXPECT_GE(dropped_after, 19s);
    EXPECT_LE(dropped_after, LOAD_SCALE == 1 ? 30s : 40s);
    ::close(never);
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}

// The board floods a caller who at first reads in small steps at a crawl,
// a tenth of the rate the board sends (about 330 KiB/s): past what the
// kernel buffers in front of it (up to 4 MiB on loopback) more than the
// caller session's 1 MiB limit is then owed to it. Afterwards it reads at
// full speed. All of it arrives, in order, and orva holds little of it:
// the board is held back. Sanitizer builds send less (the board's pace
// sets the time), so there only the order and completeness are shown.
TEST_F(Load, SlowReaderUnderAFloodLosesNothing)
{
    const size_t bulk = size_t(LOAD_SCALE == 1 ? 8 : 3) * 1024 * 1024;
    start_orva();
    start_board({"--echo", "--bulk", std::to_string(bulk)});
    take_baseline();
    auto started = Clock::now();
    {
        LoopbackCaller caller(telnet_port, 8192);
        ASSERT_EQ(call_in(caller), 1);
        const std::string want = bulk_pattern(bulk);
        size_t seen = 0;
        long peak_rss_kb = 0;
        // Reading is paced, not waiting for anything: 4 KiB every 125 ms
        // (32 KiB/s) for 16 s, then as fast as it comes, within a bound.
        auto next = Clock::now();
        while (seen < bulk && ms_since(started) < 55000) {
            const bool crawling = ms_since(started) < 16000;
            std::string part = caller.receive(std::min<size_t>(bulk - seen, crawling ? 4096 : 256 * 1024), 1s);
            ASSERT_EQ(part, want.substr(seen, part.size())) << "at " << seen;
            seen += part.size();
            pump();
            peak_rss_kb = std::max(peak_rss_kb, footprint_of(orva->pid()).rss_kb);
            if (crawling) {
                next += 125ms;
                std::this_thread::sleep_until(next);
            }
        }
        EXPECT_EQ(seen, bulk);
        std::printf("slow reader took %zu bytes in %lld ms; orva's memory peaked %ld kB above its baseline\n",
                    seen, ms_since(started), peak_rss_kb - baseline.rss_kb);
        // What waits for the caller stays bounded: the board is held back.
        EXPECT_LE(peak_rss_kb, baseline.rss_kb + RSS_TOLERANCE_KB);
        caller.send("~");
        EXPECT_EQ(read(caller, 1), "~");
    }
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}

}

namespace {

// A caller that is through to a line and then sends as fast as orva takes
// it, never blocking: what TCP refuses is simply not sent.
struct Flooder {
    int fd = -1;
    std::string heard;
    long long sent = 0;
    ~Flooder()
    {
        if (fd < 0)
            return;
        // Gone at once, as a caller who vanishes: a reset, not an orderly
        // close that orva would only see once the board takes its input.
        linger abort{1, 0};
        ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
        ::close(fd);
    }
    // An orderly close with nothing unread: the FIN waits behind whatever
    // this side's kernel still holds unsent.
    void hang_up_in_order()
    {
        listen();
        ::close(fd);
        fd = -1;
    }
    void listen()
    {
        char buf[4096];
        ssize_t n;
        while ((n = ::recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0)
            heard.append(buf, size_t(n));
    }
    bool through() const { return heard.find("Connected to KELB line") != std::string::npos; }
    void flood()
    {
        static const std::string chunk = caller_pattern(16 * 1024);
        ssize_t n;
        while ((n = ::send(fd, chunk.data(), chunk.size(), MSG_DONTWAIT | MSG_NOSIGNAL)) > 0)
            sent += n;
    }
};

}

// Callers flooding a board host whose ready bit stays clear: TCP holds them
// back, so orva's memory stays within a small bound per call, for one
// caller and for the other 95 lines, and a bystander on the one line that
// stays ready has every key echoed (each within 10 s: a dispatcher held
// up by a flooder would hold the echo until the flood ended).
TEST_F(Load, FloodersAgainstABoardNotReadyAreHeldBackByTcp)
{
    start_orva();
    start_board({"--echo", "--lines", "96", "--not-ready", "600000", "--ready-lines", "1"});
    LoopbackCaller bystander(telnet_port);
    ASSERT_EQ(call_in(bystander), 1);
    take_baseline();

    std::vector<std::unique_ptr<Flooder>> flooders;
    std::vector<double> echo_ms;
    auto flood_for = [&](long long ms) {
        long peak_kb = 0;
        echo_ms.clear();
        auto started = Clock::now();
        while (ms_since(started) < ms) {
            for (auto& f : flooders) {
                f->listen();
                f->flood();
            }
            pump();
            peak_kb = std::max(peak_kb, footprint_of(orva->pid()).rss_kb);
            auto typed = Clock::now();
            bystander.send("k");
            EXPECT_EQ(read(bystander, 1, 10s), "k");
            echo_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - typed).count());
        }
        std::sort(echo_ms.begin(), echo_ms.end());
        return peak_kb - baseline.rss_kb;
    };
    auto p99 = [&] { return echo_ms.empty() ? 0.0 : echo_ms[echo_ms.size() * 99 / 100]; };
    flood_for(1000);
    const double quiet_p99 = p99();
    auto add_callers = [&](int count) {
        for (int i = 0; i < count; ++i) {
            auto f = std::make_unique<Flooder>();
            f->fd = dial_loopback(telnet_port);
            ASSERT_GE(f->fd, 0);
            flooders.push_back(std::move(f));
        }
        ASSERT_TRUE(wait_until([&] {
            pump();
            bool all = true;
            for (auto& f : flooders) {
                f->listen();
                all = all && f->through();
            }
            return all;
        }, 30s));
    };

    add_callers(1);
    const long one_kb = flood_for(3000);
    // Every other line; sanitizer builds, several times slower, fill fewer.
    add_callers(94 / LOAD_SCALE);
    const long all_kb = flood_for(4000);
    const double flood_p99 = p99();
    long long sent = 0;
    for (auto& f : flooders)
        sent += f->sent;
    std::printf("orva grew %ld kB with one flooder, %ld kB with %zu; they sent %lld bytes in all; the bystander's "
                "echo p99 was %.2f ms alone and %.2f ms beside them\n",
                one_kb, all_kb, flooders.size(), sent, quiet_p99, flood_p99);
    if (LOAD_SCALE == 1) {
        EXPECT_LE(one_kb, 2 * 1024);
        EXPECT_LE(all_kb, 32 * 1024);
    }
    flooders.clear();
    EXPECT_TRUE(back_to_baseline(60s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}

// A caller floods a board host that is not ready until TCP holds it back,
// then hangs up in order: its FIN waits behind what its own kernel holds,
// so only a byte sent to it can show that it is gone. orva's NOP draws the
// reset: the call ends, the line and the address's one slot are free for a
// redial. A caller who stays, held back beside it, hears nothing but NOPs
// and keeps its call.
TEST_F(Load, CallerWhoHangsUpBehindHeldInputIsDisconnected)
{
    access = "<Access MaxPerAddress=\"1\" RatePerMinute=\"0\"/>";
    start_orva();
    start_board({"--echo", "--lines", "2", "--not-ready", "600000"});
    Flooder leaver;
    Flooder stayer;
    leaver.fd = dial_loopback(telnet_port);
    ASSERT_TRUE(wait_until([&] { pump(); leaver.listen(); return leaver.through(); }, 20s)) << leaver.heard;
    stayer.fd = dial_loopback(telnet_port, {.from = "127.0.0.2"});
    ASSERT_TRUE(wait_until([&] { pump(); stayer.listen(); return stayer.through(); }, 20s)) << stayer.heard;

    // Held back: nothing more leaves either caller for a while.
    long long last_sent = -1;
    auto steady_since = Clock::now();
    ASSERT_TRUE(wait_until(
        [&] {
            pump();
            leaver.flood();
            stayer.flood();
            if (leaver.sent + stayer.sent != last_sent) {
                last_sent = leaver.sent + stayer.sent;
                steady_since = Clock::now();
            }
            return ms_since(steady_since) >= 1000;
        },
        60s));
    std::printf("held back after %lld and %lld bytes\n", leaver.sent, stayer.sent);
    // A first Data packet may have gone before the board said it was not
    // ready, and come back as its echo: what counts is what comes after.
    stayer.listen();
    const std::string stayer_head = stayer.heard;
    leaver.hang_up_in_order();

    EXPECT_TRUE(orva_says("[1] Disconnected.", 0, 30s)) << why();
    LoopbackCaller again(telnet_port);
    EXPECT_EQ(call_in(again), 1) << why();

    // The stayer has heard NOPs and nothing else, and is still connected.
    const std::string nop("\xff\xf1", 2);
    ASSERT_TRUE(wait_until([&] { pump(); stayer.listen(); return stayer.heard.size() > stayer_head.size(); }, 30s));
    std::string since = stayer.heard.substr(stayer_head.size());
    EXPECT_EQ(since.size() % 2, 0u);
    for (size_t at = 0; at + 1 < since.size(); at += 2)
        EXPECT_EQ(since.substr(at, 2), nop) << at;
    EXPECT_EQ(orva->out().find("[2] Disconnected."), std::string::npos);
    EXPECT_EQ(stop_orva(), 0);
}

namespace {
// orva's processor time over a stretch of wall time, as a share of one core.
double core_share_over(pid_t pid, std::chrono::milliseconds stretch)
{
    const double before = footprint_of(pid).cpu_seconds;
    // A measuring window, not a wait for something to happen.
    std::this_thread::sleep_for(stretch);
    return (footprint_of(pid).cpu_seconds - before) / std::chrono::duration<double>(stretch).count();
}
}

// Nothing to do costs (almost) nothing: with no callers, and with callers
// connected and quiet, every thread waits for its next event.
TEST_F(Load, QuietCallersCostNoProcessorTime)
{
    start_orva();
    start_board({"--echo", "--lines", "32"});
    take_baseline();
    const double idle = core_share_over(orva->pid(), 3s);
    std::vector<std::unique_ptr<LoopbackCaller>> callers;
    for (int n = 0; n < 32; ++n) {
        callers.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        ASSERT_GT(call_in(*callers.back()), 0);
    }
    const double quiet = core_share_over(orva->pid(), 3s);
    std::printf("orva: %.2f %%core with no callers, %.2f %%core with 32 quiet callers\n", idle * 100, quiet * 100);
    EXPECT_LE(idle, 0.01);
    EXPECT_LE(quiet, 0.03);
    callers.clear();
    EXPECT_TRUE(back_to_baseline(30s)) << why(WHY_TAIL);
    EXPECT_EQ(stop_orva(), 0);
}
