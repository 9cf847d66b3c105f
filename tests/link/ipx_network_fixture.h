// A small IPX network inside the test process: one relay on loopback and
// two stacks joined to it.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <gtest/gtest.h>

#include "ipx/ipx_endpoint.h"
#include "port/clock.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"

// Checks pred until it holds or the deadline passes.
inline bool eventually(const std::function<bool()>& pred, int timeout_ms = 5000)
{
    uint64_t deadline = performance_ticks() + static_cast<uint64_t>(timeout_ms) * 1000000u;
    while (!pred()) {
        if (performance_ticks() > deadline)
            return false;
        sleep_ms(1);
    }
    return true;
}

inline void quiet_sink(const char*) {}

class IpxNetwork : public ::testing::Test {
protected:
    void SetUp() override
    {
        relay.set_event_sink(quiet_sink);
        ASSERT_EQ(relay.bind("127.0.0.1", 0), 0) << relay.last_error();
        ASSERT_EQ(relay.start(), 0);
        IpxStackTiming timing;
        timing.register_interval_ms = 100;
        timing.silence_limit_ms = 1000;
        for (IpxStack* s : {&a, &b}) {
            s->set_timing(timing);
            s->set_notice_sink(quiet_sink);
            ASSERT_EQ(s->start("127.0.0.1", relay.address().port), 0) << s->last_error();
        }
        ASSERT_TRUE(eventually([&] { return a.registered() && b.registered(); }));
    }

    void TearDown() override
    {
        a.stop();
        b.stop();
        relay.stop();
    }

public:
    // Points e at stack s's node, socket number.
    static void aim_at(IpxEndpoint& e, IpxStack& s, uint16_t socket_number)
    {
        IpxAddress to = s.local_address();
        to.socket = socket_number;
        e.set_destination(to);
    }

protected:
    static void aim(IpxEndpoint& e, IpxStack& s, uint16_t socket_number) { aim_at(e, s, socket_number); }

    static void aim_broadcast(IpxEndpoint& e, uint16_t socket_number)
    {
        e.set_destination(ipx_broadcast(socket_number));
    }

    // Receives one datagram, waiting for it with a deadline; -1 on time-out.
    static int receive_within(IpxEndpoint& e, uint8_t* buffer, int size, int timeout_ms = 3000)
    {
        int n = 0;
        bool got = eventually([&] {
            if (!(e.poll() & PollReadable))
                return false;
            n = e.receive(buffer, size);
            return true;
        }, timeout_ms);
        return got ? n : -1;
    }

    IpxRelay relay;
    IpxStack a;
    IpxStack b;
};
