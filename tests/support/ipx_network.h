// A small IPX network inside the test process: one relay on loopback and
// stacks joined to it.
#pragma once

#include <chrono>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <gtest/gtest.h>

#include "ipx/ipx_endpoint.h"
#include "ipx/ipx_relay.h"
#include "ipx/ipx_stack.h"
#include "tests/support/wait_until.h"

namespace support {

inline void quiet_sink(const char*) {}

// Starts relay on 127.0.0.1 at a free port and joins each stack to it,
// registering every 100 ms, with silence_limit_ms when given.
inline testing::AssertionResult start_network(IpxRelay& relay, std::initializer_list<IpxStack*> stacks,
                                              int silence_limit_ms = 0)
{
    relay.set_event_sink(quiet_sink);
    if (relay.bind("127.0.0.1", 0) != 0 || relay.start() != 0)
        return testing::AssertionFailure() << "relay: " << relay.last_error();
    IpxStackTiming timing;
    timing.register_interval_ms = 100;
    if (silence_limit_ms > 0)
        timing.silence_limit_ms = silence_limit_ms;
    for (IpxStack* s : stacks) {
        s->set_timing(timing);
        s->set_notice_sink(quiet_sink);
        if (s->start("127.0.0.1", relay.address().port) != 0)
            return testing::AssertionFailure() << "stack: " << s->last_error();
    }
    if (!wait_until([&] {
            for (IpxStack* s : stacks)
                if (!s->registered())
                    return false;
            return true;
        }))
        return testing::AssertionFailure() << "a stack never registered";
    return testing::AssertionSuccess();
}

class IpxNetwork : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(start_network(relay, {&a, &b}, 1000)); }

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
        bool got = wait_until([&] {
            if (!(e.poll() & PollReadable))
                return false;
            n = e.receive(buffer, size);
            return true;
        }, std::chrono::milliseconds(timeout_ms));
        return got ? n : -1;
    }

    IpxRelay relay;
    IpxStack a;
    IpxStack b;
};

}
