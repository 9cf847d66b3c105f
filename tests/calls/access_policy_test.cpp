// The access policy alone: addresses and times in, verdicts out.
#include <gtest/gtest.h>

#include "calls/access_policy.h"

namespace {

using V = AccessVerdict;

AccessPolicy policy(int max, int rate, int ban, const char* allow = "", const char* deny = "",
                    size_t idle_bound = AccessPolicy::IDLE_BOUND)
{
    AccessSettings s{max, rate, ban, {}, {}};
    std::string bad;
    EXPECT_TRUE(parse_address_list(allow, s.allow, bad) && parse_address_list(deny, s.deny, bad)) << bad;
    return AccessPolicy(s, idle_bound);
}

TcpAddress ip(const char* text)
{
    TcpAddress a;
    EXPECT_TRUE(tcp_parse_address(text, a)) << text;
    return a;
}

V verdict(AccessPolicy& p, const char* address, uint64_t now_ms) { return p.admit(ip(address), now_ms).verdict; }

TEST(AccessPolicy, CallsAtOnceCountPerAddressAndIPv6PerSlash64)
{
    AccessPolicy p = policy(2, 0, 600);
    for (const char* a : {"10.0.0.1", "10.0.0.1", "2001:db8::1", "2001:db8::ffff:2", "::5", "::6", "0.0.0.0"})
        EXPECT_EQ(verdict(p, a, 0), V::Admitted) << a;
    EXPECT_EQ(verdict(p, "10.0.0.1", 0), V::TooMany);
    EXPECT_EQ(verdict(p, "2001:db8::3", 0), V::TooMany);
    EXPECT_EQ(verdict(p, "2001:db8:0:1::1", 0), V::Admitted);
    p.release(ip("10.0.0.1"), 1);
    EXPECT_EQ(verdict(p, "10.0.0.1", 2), V::Admitted);
}

TEST(AccessPolicy, PastTheRateBansThenAFreshMinuteBegins)
{
    AccessPolicy p = policy(0, 3, 10);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(verdict(p, "10.0.0.1", uint64_t(i)), V::Admitted);
    AccessDecision past = p.admit(ip("10.0.0.1"), 100);
    EXPECT_EQ(past.verdict, V::TooFast);
    EXPECT_TRUE(past.banned);
    EXPECT_EQ(past.count, 4);
    EXPECT_EQ(verdict(p, "10.0.0.2", 100), V::Admitted);
    EXPECT_EQ(verdict(p, "10.0.0.1", 10099), V::Banned);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(verdict(p, "10.0.0.1", 10100), V::Admitted);

    // Without a ban length the refusals last until the minute ends.
    AccessPolicy unbanned = policy(0, 1, 0);
    verdict(unbanned, "10.0.0.1", 0);
    EXPECT_FALSE(unbanned.admit(ip("10.0.0.1"), 1).banned);
    EXPECT_EQ(verdict(unbanned, "10.0.0.1", 59999), V::TooFast);
    EXPECT_EQ(verdict(unbanned, "10.0.0.1", 60000), V::Admitted);
}

TEST(AccessPolicy, MaxCallsCountsEveryAddressUntilReleased)
{
    // With the per-address limits off, and with them on: refusals at the
    // total still count in the address's minute, toward the rate.
    for (int max_per_address : {0, 4}) {
        AccessSettings s;
        s.max_per_address = max_per_address;
        s.rate_per_minute = max_per_address ? 2 : 0;
        s.max_calls = 2;
        AccessPolicy p(s);
        EXPECT_EQ(verdict(p, "10.0.0.1", 0), V::Admitted);
        EXPECT_EQ(verdict(p, "2001:db8::1", 0), V::Admitted);
        EXPECT_EQ(verdict(p, "10.0.0.1", 1), V::TooManyCallers) << max_per_address;
        EXPECT_EQ(p.calls(), 2);
        p.release(ip("2001:db8::1"), 2);
        // The third connection of 10.0.0.1's minute is past a rate of 2.
        EXPECT_EQ(verdict(p, "10.0.0.1", 3), max_per_address ? V::TooFast : V::Admitted) << max_per_address;
        EXPECT_EQ(p.calls(), max_per_address ? 1 : 2);
    }
}

TEST(AccessPolicy, ListsTakeIPv6AndMappedPrefixesAndDenyWins)
{
    AccessPolicy p = policy(0, 0, 0, "2001:db8::/32 10.0.0.0/8", "2001:db8:9::/48, ::ffff:10.9.0.0/112");
    EXPECT_EQ(verdict(p, "2001:db8:5::1", 0), V::Admitted);
    for (const char* a : {"2001:db8:9::1", "10.9.200.1"})
        EXPECT_EQ(verdict(p, a, 0), V::Denied) << a;
    for (const char* a : {"2001:db9::1", "::1", "11.0.0.1"})
        EXPECT_EQ(verdict(p, a, 0), V::NotAllowed) << a;
    // Lists alone keep no table.
    EXPECT_EQ(p.table_size(), 0u);
}

TEST(AccessPolicy, TableStaysBoundedForgettingTheOldestFirst)
{
    AccessPolicy p = policy(1, 1, 600, "", "", 3);
    // A caller on the line is never forgotten, however many come after.
    EXPECT_EQ(verdict(p, "192.0.2.1", 0), V::Admitted);
    for (int i = 1; i <= 200; ++i) {
        const std::string a = "10.0.0." + std::to_string(i);
        verdict(p, a.c_str(), 0);
        p.release(ip(a.c_str()), 0);
        EXPECT_EQ(verdict(p, a.c_str(), 0), V::TooFast);
        EXPECT_LE(p.table_size(), 4u);
    }
    EXPECT_EQ(verdict(p, "10.0.0.200", 1), V::Banned);
    EXPECT_EQ(verdict(p, "10.0.0.1", 1), V::Admitted);
    EXPECT_NE(verdict(p, "192.0.2.1", 1), V::Admitted);
}

TEST(AddressPrefix, MalformedItemsAreNamed)
{
    std::vector<AddressPrefix> list;
    std::string bad;
    EXPECT_TRUE(parse_address_list(" ,10.0.0.1,,::1 2001:db8::/32, ", list, bad));
    EXPECT_EQ(list.size(), 3u);
    for (const char* item : {"10.0.0.0/33", "::/129", "1.2.3", "10.0.0.0/", "10.0.0.0/8x", "host.example"}) {
        EXPECT_FALSE(parse_address_list(std::string("10.0.0.1 ") + item, list, bad)) << item;
        EXPECT_EQ(bad, item);
    }
}

}
