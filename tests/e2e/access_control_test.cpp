// Access control seen by callers of the real adapter on loopback: limits
// per address, bans, allow and deny lists, IPv6 callers, bad settings.
#include "tests/support/adapter_test.h"

namespace support {
namespace {

using support::LoopbackCaller;

const std::string TOO_MANY = "Too many connections from your address, please call back later.\r\n";

class AccessControl : public AdapterTest {
protected:
    // Everything a caller from from gets until orva closes the call.
    std::string whole_call(const std::string& from)
    {
        LoopbackCaller caller("127.0.0.1", telnet_port, from);
        EXPECT_TRUE(caller.connected());
        bool closed;
        std::string got = read_until_closed(caller, closed);
        EXPECT_TRUE(closed) << from;
        return got;
    }
};

// What a caller served with no board host gets (built at run time: the
// parts live in another file).
std::string served_down() { return OPTIONS + GREETING + DOWN_TEXT; }

TEST_F(AccessControl, FifthCallerFromOneAddressIsToldAndAnotherAddressIsServed)
{
    access = "<Access MaxPerAddress=\"4\" RatePerMinute=\"0\"/>";
    start_orva();
    start_board({"--lines", "8"});
    std::vector<std::unique_ptr<LoopbackCaller>> callers;
    for (int i = 0; i < 4; ++i) {
        callers.push_back(std::make_unique<LoopbackCaller>(telnet_port));
        ASSERT_GT(call_in(*callers.back()), 0) << i;
    }
    EXPECT_EQ(whole_call("127.0.0.1"), TOO_MANY);
    EXPECT_TRUE(orva_says("Refused 127.0.0.1: calls at once at the limit (4)\n"));

    // The refused caller took no session number.
    LoopbackCaller other("127.0.0.1", telnet_port, "127.0.0.2");
    EXPECT_GT(call_in(other), 0);
    EXPECT_TRUE(orva_says("[5] Connection: 127.0.0.2\n")) << orva->out();

    // Once a call ends its address may call again.
    callers.front()->hang_up();
    EXPECT_TRUE(wait_until([&] {
        LoopbackCaller again(telnet_port);
        return again.receive(OPTIONS.size(), 2s) == OPTIONS;
    }));
}

TEST_F(AccessControl, BurstPastTheRateIsBannedUntilTheBanEnds)
{
    access = "<Access MaxPerAddress=\"0\" RatePerMinute=\"3\" BanSeconds=\"2\"/>";
    start_orva();
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(whole_call("127.0.0.1"), served_down()) << i;
    auto banned_at = std::chrono::steady_clock::now();
    EXPECT_EQ(whole_call("127.0.0.1"), TOO_MANY);
    EXPECT_EQ(whole_call("127.0.0.1"), "");
    EXPECT_TRUE(orva_says("Refused 127.0.0.1: banned\n"));
    EXPECT_EQ(whole_call("127.0.0.2"), served_down());

    // Served again once the ban is over, and the ban was logged once.
    std::string got;
    EXPECT_TRUE(wait_until([&] { return (got = whole_call("127.0.0.1")) == served_down(); }, 10s)) << got;
    // The policy counts whole milliseconds, so a ban may end up to one
    // short of the time a stopwatch gives it.
    EXPECT_GE(std::chrono::steady_clock::now() - banned_at, 2s - 1ms);
    const std::string log = dir.read("orva.log");
    EXPECT_EQ(count_of(log, "Access: 127.0.0.1 banned for 2 s after 4 connections within a minute\n"), 1u)
        << log;
    // Refused callers took no session number.
    EXPECT_NE(orva->out().find("[4] Connection: 127.0.0.2\n"), std::string::npos) << orva->out();
}

TEST_F(AccessControl, AllowListsWhoMayCallAndDenyWins)
{
    access = "<Access Allow=\"127.0.0.2, 127.0.0.4/31\" Deny=\"127.0.0.5\"/>";
    start_orva();
    EXPECT_EQ(whole_call("127.0.0.2"), served_down());
    EXPECT_EQ(whole_call("127.0.0.4"), served_down());
    EXPECT_EQ(whole_call("127.0.0.5"), "");
    EXPECT_EQ(whole_call("127.0.0.1"), "");
    EXPECT_TRUE(orva_says("Refused 127.0.0.5: on the Deny list\n"));
    EXPECT_TRUE(orva_says("Refused 127.0.0.1: not on the Allow list\n"));
    EXPECT_EQ(count_of(orva->out(), "Connection: "), 2u) << orva->out();
}

TEST_F(AccessControl, IPv6CallerOnLoopbackReachesTheBoard)
{
    telnet_ip = "::1";
    start_orva();
    start_board();
    LoopbackCaller caller("::1", telnet_port);
    ASSERT_TRUE(caller.connected());
    EXPECT_GT(call_in(caller), 0);
    EXPECT_TRUE(orva_says("[1] Connection: ::1\n")) << orva->out();
}

}
}
