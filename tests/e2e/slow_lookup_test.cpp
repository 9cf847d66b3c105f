// Reverse name lookups that take 5 s (a shim preloaded into the real orva
// delays getnameinfo): callers are refused at the pace of quick lookups,
// and a caller on the board keeps its echo time meanwhile.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tests/support/adapter_test.h"

namespace {

using namespace support;
using support::LoopbackCaller;
using Clock = std::chrono::steady_clock;

constexpr int SLOW_MS = 5000;

class SlowLookup : public AdapterTest {
protected:
    void set_delay(int ms) { dir.write("lookup-delay-ms", std::to_string(ms)); }

    // Callers refused with exactly want per second, one after another,
    // over half a second.
    double refusals_per_second(const std::string& want)
    {
        int refused = 0;
        auto start = Clock::now();
        while (Clock::now() - start < 500ms) {
            LoopbackCaller caller(telnet_port);
            bool closed = false;
            EXPECT_EQ(read_until_closed(caller, closed, 10s), want);
            ++refused;
        }
        return refused / std::chrono::duration<double>(Clock::now() - start).count();
    }
};

TEST_F(SlowLookup, RefusalsKeepTheirPaceAndABystanderItsEcho)
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

    // Quick and slow windows take turns and each keeps its best, so that
    // a burst of other work on the machine weighs on both alike.
    auto compare = [&](const char* what, const std::string& want) {
        double quick = 0;
        double slow = 0;
        for (int round = 0; round < 3; ++round) {
            set_delay(0);
            quick = std::max(quick, refusals_per_second(want));
            set_delay(SLOW_MS);
            slow = std::max(slow, refusals_per_second(want));
        }
        std::printf("%s: %.1f refusals/s with quick lookups, %.1f with %d ms lookups\n", what, quick, slow, SLOW_MS);
        EXPECT_GT(slow, quick / 2) << what;
    };
    compare("no board", OPTIONS + GREETING + DOWN_TEXT);

    // The bystander takes the board's only line; the others are refused as busy.
    start_board({"--echo", "--lines", "1"});
    LoopbackCaller bystander(telnet_port);
    ASSERT_EQ(call_in(bystander), 1);
    compare("busy board", OPTIONS + GREETING + BUSY_TEXT);
    std::vector<double> echo_ms;
    for (int round = 0; round < 10; ++round) {
        LoopbackCaller refused(telnet_port);
        for (char key = 'a'; key < 'k'; ++key) {
            auto typed = Clock::now();
            bystander.send(std::string(1, key));
            ASSERT_EQ(read(bystander, 1), std::string(1, key));
            echo_ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - typed).count());
        }
    }
    std::sort(echo_ms.begin(), echo_ms.end());
    const double p99 = echo_ms[echo_ms.size() * 99 / 100];
    std::printf("bystander echo with %d ms lookups: p50 %.2f ms, p99 %.2f ms\n", SLOW_MS, echo_ms[echo_ms.size() / 2],
                p99);
    EXPECT_LT(p99, 250.0 * LOAD_SCALE);
    EXPECT_EQ(stop_orva(), 0);
}

}
