// Shared by the fault and load tests: the real orva with the board host
// simulator (and, when asked, a separate tunnel relay), callers on
// loopback, and orva's threads, descriptors and memory read from /proc so
// that a test can check they return to where they were.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "tests/e2e/process_harness.h"
#include "tests/telnet/loopback_caller.h"

namespace e2e {

// Sanitizer builds run several times slower: loads are scaled down there.
#ifdef ORVA_E2E_SANITIZED
constexpr int LOAD_SCALE = 4;
#else
constexpr int LOAD_SCALE = 1;
#endif

extern const std::string OPTIONS;  // the 24 bytes of option announcements
extern const std::string GREETING;
extern const std::string DOWN_TEXT;
extern const std::string BUSY_TEXT;
// "Connected to KELB line N\r\n" for a line number.
std::string connected_text(int line);

// The simulator's --bulk bytes: '0' + i % 64.
std::string bulk_pattern(size_t count);
// A caller's stream that shows any loss, repeat or reordering: each byte
// follows from its position.
std::string caller_pattern(size_t count, int salt = 0);

struct Footprint {
    int threads = -1;
    int fds = -1;
    long rss_kb = -1;
};
std::ostream& operator<<(std::ostream& out, const Footprint& f);
Footprint footprint_of(pid_t pid);

class AdapterRig : public testing::Test {
protected:
    // Memory that may stay with the allocator after a load has ended.
#ifdef ORVA_E2E_SANITIZED
    static constexpr long RSS_TOLERANCE_KB = 256 * 1024;
#else
    static constexpr long RSS_TOLERANCE_KB = 16 * 1024;
#endif

    void TearDown() override;

    // orva in dir; hosting its own IPX network on ipx_port, or joining the
    // relay there (start_relay first); extra elements go into its
    // configuration.
    void start_orva(bool host_network = true, const std::string& extra = "");
    void start_relay();
    void kill_relay();
    // Starts the simulator; waits until orva has heard of it unless asked
    // not to (a second simulator after a first was known).
    void start_board(const std::vector<std::string>& options = {}, bool wait_for_sap = true);
    void kill_board();
    int stop_orva();

    // Reads the children's output so that none blocks on a full pipe; long
    // tests call it while they work (the reading helpers below do).
    void pump();
    // orva's output from offset since on contains text (within timeout).
    bool orva_says(const std::string& text, size_t since = 0, std::chrono::milliseconds timeout = 10s);
    size_t orva_mark();

    // Reads until count bytes, the connection closes or the deadline.
    std::string read(testing_telnet::LoopbackCaller& caller, size_t count,
                     std::chrono::milliseconds timeout = 20s);
    std::string read_until_closed(testing_telnet::LoopbackCaller& caller, bool& closed,
                                  std::chrono::milliseconds timeout = 20s);
    // Connects, reads the greeting and "Connected to KELB line N"; N, or -1.
    int call_in(testing_telnet::LoopbackCaller& caller);

    // The footprint now, once orva has settled after a first call.
    void take_baseline();
    // Waits until threads and descriptors are back at the baseline and
    // memory within RSS_TOLERANCE_KB of it.
    testing::AssertionResult back_to_baseline(std::chrono::milliseconds timeout = 20s);

    TempDir dir;
    int telnet_port = free_tcp_port();
    int ipx_port = free_udp_port();
    std::unique_ptr<ChildProcess> orva;
    std::unique_ptr<ChildProcess> board;
    std::unique_ptr<ChildProcess> relay;
    Footprint baseline;
};

}
