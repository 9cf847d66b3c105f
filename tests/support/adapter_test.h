// The adapter rig as a test fixture, shared by the fault and load tests:
// each start asserts, callers read while the children's output is pumped,
// and orva's threads, descriptors and memory are compared with a baseline.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "tests/support/adapter_rig.h"
#include "tests/support/counting.h"
#include "tests/support/loopback_caller.h"
#include "tests/support/wait_until.h"

namespace support {

// Sanitizer builds run several times slower: loads are scaled down there.
#ifdef ORVA_E2E_SANITIZED
constexpr int LOAD_SCALE = 4;
#else
constexpr int LOAD_SCALE = 1;
#endif

class AdapterTest : public testing::Test, public AdapterRig {
protected:
    // Memory that may stay with the allocator after a load has ended.
#ifdef ORVA_E2E_SANITIZED
    static constexpr long RSS_TOLERANCE_KB = 256 * 1024;
#else
    static constexpr long RSS_TOLERANCE_KB = 16 * 1024;
#endif

    void start_orva(bool host_network = true) { ASSERT_TRUE(AdapterRig::start_orva(host_network)) << why(); }
    void start_relay() { ASSERT_TRUE(AdapterRig::start_relay()) << why(); }
    void kill_relay() { ASSERT_TRUE(AdapterRig::kill_relay()); }
    void start_board(const std::vector<std::string>& options = {}, bool wait_for_sap = true)
    {
        ASSERT_TRUE(AdapterRig::start_board(options, wait_for_sap)) << why();
    }
    void kill_board() { ASSERT_TRUE(AdapterRig::kill_board()); }

    // Reads until count bytes, the connection closes or the deadline.
    std::string read(LoopbackCaller& caller, size_t count, std::chrono::milliseconds timeout = 20s);
    std::string read_until_closed(LoopbackCaller& caller, bool& closed, std::chrono::milliseconds timeout = 20s);
    // Connects, reads the greeting and "Connected to KELB line N"; N, or -1.
    int call_in(LoopbackCaller& caller);

    // The footprint now, once orva has settled after a first call.
    void take_baseline();
    // Waits until threads and descriptors are back at the baseline and
    // memory within RSS_TOLERANCE_KB of it.
    testing::AssertionResult back_to_baseline(std::chrono::milliseconds timeout = 20s);

    Footprint baseline;
};

}
