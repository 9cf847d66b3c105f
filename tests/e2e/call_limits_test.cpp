// Limits of the whole adapter as callers of the real orva meet them on
// loopback: MaxCalls over every address, brought within the descriptor
// limit; the refusal lines kept to a few a second; a process out of
// descriptors.
#include <unistd.h>

#include "tests/support/adapter_test.h"
#include "tests/support/http_client.h"

namespace support {
namespace {

const std::string TOO_MANY_CALLERS = "Too many callers at the moment, please call back later.\r\n";
const std::string AT_MAX_CALLS_2 = "Refused 127.0.0.1: too many callers at once (2)\n";
const std::string NOT_STARTED = "Refused 127.0.0.1: session could not start (out of descriptors or threads)\n";

// Refusals orva has told of: its lines, and what its summaries
// ("Refused 12 more callers in the last second: 10 banned, 2 denied") count
// under short_reason.
size_t refusals_told(const std::string& out, const std::string& line, const std::string& short_reason)
{
    size_t told = count_of(out, line);
    const std::string head = " in the last second: ";
    for (size_t at = out.find(head); at != std::string::npos; at = out.find(head, at + 1)) {
        const std::string reasons = out.substr(at + head.size(), out.find('\n', at) - at - head.size()) + ", ";
        for (size_t item = 0, end; (end = reasons.find(", ", item)) != std::string::npos; item = end + 2) {
            const size_t space = reasons.find(' ', item);
            if (reasons.compare(space + 1, end - space - 1, short_reason) == 0)
                told += std::stoul(reasons.substr(item, space - item));
        }
    }
    return told;
}

class CallLimits : public AdapterTest {
protected:
    // Everything a caller gets until orva closes the call.
    std::string whole_call(LoopbackCaller& caller)
    {
        bool closed = false;
        std::string got = read_until_closed(caller, closed);
        EXPECT_TRUE(closed);
        return got;
    }
    std::string whole_call()
    {
        LoopbackCaller caller(telnet_port);
        return whole_call(caller);
    }
    // Runs orva with a descriptor limit of limit from its start.
    bool launch_with_descriptor_limit(int limit)
    {
        if (::access("/usr/bin/prlimit", X_OK) != 0)
            return false;
        const std::string nofile = std::to_string(limit);
        orva_launcher = {"/usr/bin/prlimit", "--nofile=" + nofile + ":" + nofile};
        return true;
    }
    // A new caller is greeted (within a deadline, trying again).
    bool greeted_again()
    {
        return wait_until([&] {
            LoopbackCaller caller(telnet_port);
            return read(caller, OPTIONS.size(), 2s) == OPTIONS;
        }, 20s);
    }
};

// The default MaxCalls under a low descriptor limit: lowered to 2, which
// is (132 - 128 kept for the process) / 2 descriptors a call.
TEST_F(CallLimits, MaxCallsIsLoweredOnceAndCallersPastItAreToldUntilACallEnds)
{
    if (!launch_with_descriptor_limit(132))
        GTEST_SKIP() << "prlimit is not installed";
    const int status_port = free_tcp_port();
    extra_config = "<Server Type=\"Status\" IP=\"127.0.0.1\" Port=\"" + std::to_string(status_port) + "\"/>";
    start_orva();
    start_board({"--lines", "8"});
    const std::string lowered = "Access MaxCalls lowered from 256 to 2: 132 descriptors allowed\n";
    EXPECT_NE(orva->out().find(lowered), std::string::npos) << orva->out();
    LoopbackCaller first(telnet_port);
    LoopbackCaller second(telnet_port);
    ASSERT_GT(call_in(first), 0);
    ASSERT_GT(call_in(second), 0);
    EXPECT_EQ(whole_call(), TOO_MANY_CALLERS);
    EXPECT_TRUE(orva_says(AT_MAX_CALLS_2));

    // A flood within a second: ten lines, and the rest summed up once the
    // second is over, though no caller comes after it.
    std::vector<std::unique_ptr<LoopbackCaller>> flood;
    for (int i = 0; i < 40; ++i)
        flood.push_back(std::make_unique<LoopbackCaller>(telnet_port));
    for (auto& caller : flood)
        EXPECT_EQ(whole_call(*caller), TOO_MANY_CALLERS);
    EXPECT_TRUE(wait_until([&] {
        pump();
        return refusals_told(orva->out(), AT_MAX_CALLS_2, "too many callers") == 41;
    })) << orva->out();
    EXPECT_LT(count_of(orva->out(), AT_MAX_CALLS_2), 41u);
    EXPECT_NE(http_get(status_port, "/metrics").body.find("\norva_callers_refused_total 41\n"), std::string::npos);

    // A call ends: the next caller is greeted, with the next session number.
    first.hang_up();
    EXPECT_TRUE(greeted_again());
    EXPECT_TRUE(orva_says("[3] Connection: 127.0.0.1\n")) << orva->out();
    EXPECT_EQ(count_of(orva->out(), "MaxCalls lowered"), 1u);
}

TEST_F(CallLimits, OutOfDescriptorsCallersAreRefusedAndCallsGoOn)
{
    access = "<Access MaxPerAddress=\"0\" RatePerMinute=\"0\" MaxCalls=\"0\"/>";
    if (!launch_with_descriptor_limit(132))
        GTEST_SKIP() << "prlimit is not installed";
    start_orva();
    EXPECT_EQ(count_of(orva->out(), "MaxCalls lowered"), 0u) << "MaxCalls=\"0\" is no limit, and stays so";
    start_board({"--lines", "8"});
    {
        LoopbackCaller settle(telnet_port);
        ASSERT_GT(call_in(settle), 0);
    }
    take_baseline();
    // Room for three calls of two descriptors and one more: each caller past
    // them has its socket but nothing for its session.
    constexpr int CALLS = 3;
    ASSERT_TRUE(leave_free_descriptors(orva->pid(), 2 * CALLS + 1));
    std::vector<std::unique_ptr<LoopbackCaller>> calls;
    for (int i = 0; i < CALLS; ++i) {
        calls.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        ASSERT_GT(call_in(*calls.back()), 0) << i;
    }
    for (int i = 0; i < 20 && !HasFailure(); ++i)
        EXPECT_EQ(whole_call(), "") << i;
    EXPECT_TRUE(wait_until([&] {
        pump();
        return refusals_told(orva->out(), NOT_STARTED, "not started") == 20;
    })) << orva->out();

    calls.front()->hang_up();
    EXPECT_TRUE(greeted_again()) << orva->out();

    // Stopped with no descriptor to spare, orva still ends in order and
    // keeps its total: the settling call, three calls and the last caller.
    ASSERT_TRUE(leave_free_descriptors(orva->pid(), 0));
    EXPECT_EQ(stop_orva(), 0);
    EXPECT_NE(dir.read("orva.log").find("Normal Termination"), std::string::npos);
    EXPECT_EQ(dir.read("orva.dat"), std::string("\x05\x00", 2));
}

}
}
