// Reverse name lookups that take 5 s (a shim preloaded into the real orva
// delays getnameinfo): callers refused meanwhile are served at the usual
// pace and a caller on the board keeps its echo time.
#include <algorithm>
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

#include "tests/e2e/adapter_rig.h"

namespace {

using namespace e2e;
using testing_telnet::LoopbackCaller;
using Clock = std::chrono::steady_clock;

constexpr int SLOW_MS = 5000;

class SlowLookup : public AdapterRig {
protected:
    void start_orva_with_slow_lookups()
    {
        set_delay(0);
        const char* asan = std::getenv("ASAN_OPTIONS");
        const std::string saved = asan ? asan : "";
        // A sanitized orva would otherwise refuse a library loaded before its runtime.
        setenv("ASAN_OPTIONS", (saved + ":verify_asan_link_order=0").c_str(), 1);
        setenv("LD_PRELOAD", SLOW_LOOKUP_SHIM, 1);
        start_orva();
        unsetenv("LD_PRELOAD");
        setenv("ASAN_OPTIONS", saved.c_str(), 1);
    }
    void set_delay(int ms) { dir.write("lookup-delay-ms", std::to_string(ms)); }

    // Keeps eight callers calling for span, each read until orva closes it;
    // callers refused with exactly want, per second.
    double refusals_per_second(const std::string& want, std::chrono::milliseconds span)
    {
        struct Caller {
            int fd = -1;
            std::string got;
        };
        std::vector<Caller> callers(8);
        int refused = 0;
        int wrong = 0;
        auto start = Clock::now();
        auto dial = [&](Caller& c) {
            c.got.clear();
            c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(uint16_t(telnet_port));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            EXPECT_EQ(::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        };
        for (Caller& c : callers)
            dial(c);
        while (Clock::now() - start < span) {
            std::vector<pollfd> fds;
            for (Caller& c : callers)
                fds.push_back(pollfd{c.fd, POLLIN, 0});
            ::poll(fds.data(), fds.size(), 20);
            pump();
            for (size_t i = 0; i < callers.size(); ++i) {
                if (!(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                    continue;
                char buffer[512];
                ssize_t n = ::recv(callers[i].fd, buffer, sizeof buffer, 0);
                if (n > 0) {
                    callers[i].got.append(buffer, size_t(n));
                    continue;
                }
                ++(callers[i].got == want ? refused : wrong);
                ::close(callers[i].fd);
                dial(callers[i]);
            }
        }
        for (Caller& c : callers)
            ::close(c.fd);
        EXPECT_EQ(wrong, 0);
        return refused * 1000.0 / double(std::chrono::duration_cast<std::chrono::milliseconds>(span).count());
    }
};

// Callers refused as busy while their lookups hang: each is refused at
// once, and the caller on the board's only line keeps its echo time.
TEST_F(SlowLookup, BystanderEchoKeepsItsPaceWhileCallersAreRefused)
{
    start_orva_with_slow_lookups();
    start_board({"--echo", "--lines", "1"});
    LoopbackCaller bystander(telnet_port);
    ASSERT_EQ(call_in(bystander), 1);
    set_delay(SLOW_MS);
    std::vector<double> echo_ms;
    for (int round = 0; round < 10; ++round) {
        auto dialled = Clock::now();
        LoopbackCaller refused(telnet_port);
        for (int key = 0; key < 10; ++key) {
            auto typed = Clock::now();
            bystander.send(std::string(1, char('a' + key)));
            ASSERT_EQ(read(bystander, 1), std::string(1, char('a' + key)));
            echo_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - typed).count());
        }
        bool closed = false;
        EXPECT_EQ(read_until_closed(refused, closed, 10s), OPTIONS + GREETING + BUSY_TEXT);
        EXPECT_LT(Clock::now() - dialled, std::chrono::milliseconds(SLOW_MS / 2)) << "round " << round;
    }
    std::sort(echo_ms.begin(), echo_ms.end());
    const double p50 = echo_ms[echo_ms.size() / 2];
    const double p99 = echo_ms[echo_ms.size() * 99 / 100];
    std::printf("bystander echo with %d ms lookups: p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", SLOW_MS, p50, p99,
                echo_ms.back());
    EXPECT_LT(p99, 250.0 * LOAD_SCALE);
}

// Refusals per second are the same whether lookups answer at once or hang,
// with no board host (down) and with one that is full (busy).
TEST_F(SlowLookup, RefusalsPerSecondDoNotDependOnTheLookup)
{
    start_orva_with_slow_lookups();
    double rate[2][2];
    for (int board_known = 0; board_known < 2; ++board_known) {
        if (board_known)
            start_board({"--busy"});
        const std::string want = OPTIONS + GREETING + (board_known ? BUSY_TEXT : DOWN_TEXT);
        for (int slow = 0; slow < 2; ++slow) {
            set_delay(slow ? SLOW_MS : 0);
            rate[board_known][slow] = refusals_per_second(want, 3s);
        }
        std::printf("%s: %.1f refusals/s with quick lookups, %.1f with %d ms lookups\n",
                    board_known ? "busy board" : "no board", rate[board_known][0], rate[board_known][1], SLOW_MS);
        EXPECT_GT(rate[board_known][1], rate[board_known][0] / 2);
    }
    EXPECT_EQ(stop_orva(), 0);
}

}
