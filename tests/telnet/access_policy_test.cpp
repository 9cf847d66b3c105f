// The access policy alone: addresses and times in, verdicts out.
#include <gtest/gtest.h>

#include "telnet/access_policy.h"

namespace {

TcpAddress ip(const char* text)
{
    TcpAddress a;
    EXPECT_TRUE(tcp_parse_address(text, a)) << text;
    return a;
}

AccessSettings limits(int max, int rate, int ban, const char* allow = "", const char* deny = "")
{
    AccessSettings s;
    s.max_per_address = max;
    s.rate_per_minute = rate;
    s.ban_seconds = ban;
    std::string bad;
    EXPECT_TRUE(parse_address_list(allow, s.allow, bad)) << bad;
    EXPECT_TRUE(parse_address_list(deny, s.deny, bad)) << bad;
    return s;
}

AccessVerdict verdict(AccessPolicy& p, const char* address, uint64_t now_ms)
{
    return p.admit(ip(address), now_ms).verdict;
}

constexpr auto OK = AccessVerdict::Admitted;

TEST(AccessPolicy, CallsAtOnceCountPerAddressAndIPv6PerSlash64)
{
    AccessPolicy p(limits(2, 0, 600));
    EXPECT_EQ(verdict(p, "10.0.0.1", 0), OK);
    EXPECT_EQ(verdict(p, "10.0.0.1", 0), OK);
    EXPECT_EQ(verdict(p, "10.0.0.1", 0), AccessVerdict::TooMany);
    EXPECT_EQ(verdict(p, "10.0.0.2", 0), OK);
    p.release(ip("10.0.0.1"), 1);
    EXPECT_EQ(verdict(p, "10.0.0.1", 2), OK);

    EXPECT_EQ(verdict(p, "2001:db8::1", 0), OK);
    EXPECT_EQ(verdict(p, "2001:db8::ffff:2", 0), OK);
    EXPECT_EQ(verdict(p, "2001:db8::3", 0), AccessVerdict::TooMany);
    EXPECT_EQ(verdict(p, "2001:db8:0:1::1", 0), OK);
    // ::/64 and the IPv4 address 0.0.0.0 are different callers.
    EXPECT_EQ(verdict(p, "::5", 0), OK);
    EXPECT_EQ(verdict(p, "::6", 0), OK);
    EXPECT_EQ(verdict(p, "0.0.0.0", 0), OK);
}

TEST(AccessPolicy, PastTheRateBansThenAFreshMinuteBegins)
{
    AccessPolicy p(limits(0, 3, 10));
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(verdict(p, "10.0.0.1", uint64_t(i)), OK);
    AccessDecision past = p.admit(ip("10.0.0.1"), 100);
    EXPECT_EQ(past.verdict, AccessVerdict::TooFast);
    EXPECT_TRUE(past.banned);
    EXPECT_EQ(past.count, 4);
    EXPECT_EQ(verdict(p, "10.0.0.2", 100), OK);
    EXPECT_EQ(verdict(p, "10.0.0.1", 10099), AccessVerdict::Banned);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(verdict(p, "10.0.0.1", 10100), OK);
    EXPECT_EQ(verdict(p, "10.0.0.1", 10100), AccessVerdict::TooFast);

    // Spread over minutes the same count never trips; without a ban length
    // callers past the rate are refused until the minute ends.
    AccessPolicy slow(limits(0, 3, 0));
    for (uint64_t t = 0; t < 10; ++t)
        EXPECT_EQ(verdict(slow, "10.0.0.1", t * 20000), OK);
    for (int i = 0; i < 3; ++i)
        verdict(slow, "10.0.0.2", 0);
    AccessDecision refused = slow.admit(ip("10.0.0.2"), 1);
    EXPECT_EQ(refused.verdict, AccessVerdict::TooFast);
    EXPECT_FALSE(refused.banned);
    EXPECT_EQ(verdict(slow, "10.0.0.2", 59999), AccessVerdict::TooFast);
    EXPECT_EQ(verdict(slow, "10.0.0.2", 60000), OK);
}

TEST(AccessPolicy, DenyWinsOverAllowAndAnEmptyAllowTakesAll)
{
    AccessPolicy p(limits(0, 0, 0, "10.0.0.0/8, 2001:db8::/32", "10.1.2.3 10.9.0.0/16"));
    EXPECT_EQ(verdict(p, "10.0.0.1", 0), OK);
    EXPECT_EQ(verdict(p, "2001:db8:5::1", 0), OK);
    for (const char* denied : {"10.1.2.3", "10.9.200.1"})
        EXPECT_EQ(verdict(p, denied, 0), AccessVerdict::Denied) << denied;
    for (const char* unlisted : {"11.0.0.1", "2001:db9::1", "::1"})
        EXPECT_EQ(verdict(p, unlisted, 0), AccessVerdict::NotAllowed) << unlisted;

    AccessPolicy open(limits(0, 0, 0, "", "192.0.2.7/24 ::ffff:198.51.100.0/120"));
    EXPECT_EQ(verdict(open, "192.0.2.200", 0), AccessVerdict::Denied);
    EXPECT_EQ(verdict(open, "198.51.100.9", 0), AccessVerdict::Denied);
    EXPECT_EQ(verdict(open, "192.0.3.1", 0), OK);
    EXPECT_EQ(open.table_size(), 0u);
}

TEST(AccessPolicy, TableStaysBoundedForgettingTheOldestFirst)
{
    AccessPolicy p(limits(1, 1, 600), 3);
    // A caller on the line is never forgotten, however many come after.
    EXPECT_EQ(verdict(p, "192.0.2.1", 0), OK);
    char address[16];
    for (int i = 1; i <= 200; ++i) {
        std::snprintf(address, sizeof address, "10.0.%d.%d", i / 256, i % 256);
        EXPECT_EQ(verdict(p, address, 0), OK);
        p.release(ip(address), 0);
        EXPECT_EQ(verdict(p, address, 0), AccessVerdict::TooFast);
        EXPECT_LE(p.table_size(), 4u);
    }
    EXPECT_EQ(verdict(p, "10.0.0.200", 1), AccessVerdict::Banned);
    EXPECT_EQ(verdict(p, "10.0.0.1", 1), OK);
    EXPECT_NE(verdict(p, "192.0.2.1", 1), OK);
    // Entries that carry nothing any more leave on their own.
    AccessPolicy q(limits(0, 5, 0));
    verdict(q, "10.0.0.1", 0);
    q.release(ip("10.0.0.1"), 0);
    verdict(q, "10.0.0.2", 60000);
    q.release(ip("10.0.0.2"), 60000);
    EXPECT_EQ(q.table_size(), 1u);
}

TEST(AddressPrefix, MalformedItemsAreNamed)
{
    std::vector<AddressPrefix> list;
    std::string bad;
    EXPECT_TRUE(parse_address_list(" ,10.0.0.1,,::1 2001:db8::/32, ", list, bad));
    EXPECT_EQ(list.size(), 3u);
    for (const char* item : {"10.0.0.0/33", "::/129", "1.2.3", "10.0.0.0/", "10.0.0.0/8x", "host.example", "1.2.3.4/-1"}) {
        EXPECT_FALSE(parse_address_list(std::string("10.0.0.1 ") + item, list, bad)) << item;
        EXPECT_EQ(bad, item);
    }
}

}
