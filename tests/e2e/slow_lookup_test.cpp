// Reverse name lookups that take a minute (a shim preloaded into the real
// orva delays getnameinfo and notes each lookup as it starts and ends):
// callers are refused and a caller on the board keeps its echo while every
// lookup is still under way, so nothing waits on one.
#include <cstdlib>
#include <string>

#include "tests/support/adapter_test.h"

namespace {

using namespace support;

// Far longer than the 10 s each caller below is given: a single wait on a
// lookup fails the test, however loaded the machine.
constexpr int SLOW_MS = 60000;

class SlowLookup : public AdapterTest {};

TEST_F(SlowLookup, RefusalsAndABystandersEchoGoOnWhileEveryLookupHangs)
{
    dir.write("lookup-delay-ms", std::to_string(SLOW_MS));
    const char* asan = std::getenv("ASAN_OPTIONS");
    const std::string saved = asan ? asan : "";
    // A sanitized orva would otherwise refuse a library loaded before its runtime.
    setenv("ASAN_OPTIONS", (saved + ":verify_asan_link_order=0").c_str(), 1);
    setenv("LD_PRELOAD", SLOW_LOOKUP_SHIM, 1);
    start_orva();
    unsetenv("LD_PRELOAD");
    setenv("ASAN_OPTIONS", saved.c_str(), 1);

    // The bystander takes the board's only line; the others are refused as
    // busy, each having started a lookup of its own (up to the limit).
    start_board({"--echo", "--lines", "1"});
    LoopbackCaller bystander(telnet_port);
    ASSERT_EQ(call_in(bystander), 1);
    ASSERT_TRUE(wait_until([&] { return dir.exists("lookups-started"); })) << "the shim is not in orva";
    const int callers = 200 / LOAD_SCALE;
    for (int i = 0; i < callers; ++i) {
        {
            LoopbackCaller refused(telnet_port);
            bool closed = false;
            ASSERT_EQ(read_until_closed(refused, closed, 10s), OPTIONS + GREETING + BUSY_TEXT) << "caller " << i;
        }
        if (i % 10 == 0) {
            const std::string key(1, char('a' + i % 26));
            bystander.send(key);
            ASSERT_EQ(read(bystander, 1, 10s), key) << "after caller " << i;
        }
    }
    std::printf("%zu lookups started\n", count_of(dir.read("lookups-started"), "lookup"));
    // All of it within the first lookup's time.
    EXPECT_FALSE(dir.exists("lookups-finished"));
    EXPECT_EQ(stop_orva(), 0);
}

}
