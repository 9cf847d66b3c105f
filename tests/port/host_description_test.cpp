#include "port/host_description.h"

#include <cstring>
#include <gtest/gtest.h>

namespace {

VersionRecord record(uint32_t platform, uint32_t major, uint32_t minor, uint32_t build,
                     const char* sp, uint8_t product = 0, uint16_t suite = 0)
{
    VersionRecord r{};
    r.size = 156;
    r.platform = platform;
    r.major = major;
    r.minor = minor;
    r.build = build;
    std::strncpy(r.service_pack, sp, sizeof r.service_pack - 1);
    r.product_type = product;
    r.suite_mask = suite;
    return r;
}

TEST(HostDescription, WorkedInputs)
{
    auto xp = describe_version(record(2, 5, 1, 2600, "Service Pack 2", 1, 0x0100), true, nullptr);
    EXPECT_EQ(xp.text, "Microsoft Windows XP Professional Service Pack 2 (Build 2600)");
    EXPECT_TRUE(xp.nt_family);

    auto nt4 = describe_version(record(2, 4, 0, 1381, "Service Pack 5"), false, "lanmannt");
    EXPECT_EQ(nt4.text, "Microsoft Windows NT Server version 4.0 Service Pack 5 (Build 1381)");

    auto dc = describe_version(record(2, 5, 0, 2195, "", 3, 0x0082), true, nullptr);
    EXPECT_EQ(dc.text, "Microsoft Windows 2000 DataCenter Server  (Build 2195)");

    auto se = describe_version(record(1, 4, 10, 1234, " A "), false, nullptr);
    EXPECT_EQ(se.text, "Microsoft Windows 98 SE");
    EXPECT_FALSE(se.nt_family);
}

TEST(HostDescription, EditionsAndOddCases)
{
    EXPECT_EQ(describe_version(record(2, 5, 2, 3790, "", 3, 0), true, nullptr).text, " Server  (Build 3790)");
    EXPECT_EQ(describe_version(record(2, 5, 1, 0x12340A28, "", 1, 0x0200), true, nullptr).text,
              "Microsoft Windows XP Personal  (Build 2600)");
    EXPECT_EQ(describe_version(record(2, 5, 0, 1, "", 3, 0x0002), true, nullptr).text,
              "Microsoft Windows 2000 Advanced Server  (Build 1)");
    EXPECT_EQ(describe_version(record(2, 5, 0, 1, "", 2, 0), true, nullptr).text,
              "Microsoft Windows 2000  (Build 1)");
    EXPECT_EQ(describe_version(record(2, 4, 0, 1, "SP"), false, "bogus").text,
              "Microsoft Windows NT version 4.0 SP (Build 1)");
    EXPECT_EQ(describe_version(record(2, 4, 0, 1, "SP"), false, "WinNT").text,
              "Microsoft Windows NT Professional version 4.0 SP (Build 1)");
    EXPECT_EQ(describe_version(record(2, 4, 0, 1, "SP"), false, "ServerNT").text,
              "Microsoft Windows NT Advanced Server version 4.0 SP (Build 1)");
    EXPECT_EQ(describe_version(record(1, 4, 0, 1, " B"), true, nullptr).text, "Microsoft Windows 95 OSR2");
    EXPECT_EQ(describe_version(record(1, 4, 0, 1, " C"), true, nullptr).text, "Microsoft Windows 95 OSR2");
    EXPECT_EQ(describe_version(record(1, 4, 0, 1, " A"), true, nullptr).text, "Microsoft Windows 95");
    EXPECT_EQ(describe_version(record(1, 4, 90, 1, ""), true, nullptr).text, "Microsoft Windows Me");
    EXPECT_EQ(describe_version(record(1, 5, 0, 1, ""), true, nullptr).text, "");
    EXPECT_EQ(describe_version(record(0, 3, 1, 1, ""), true, nullptr).text, "Microsoft Win32s");
    auto other = describe_version(record(7, 5, 1, 1, ""), true, nullptr);
    EXPECT_EQ(other.text, "");
    EXPECT_FALSE(other.nt_family);
}

TEST(HostDescription, LongestServicePackFits)
{
    std::string sp(127, 'S');
    auto r = describe_version(record(2, 4, 0, 65535, sp.c_str(), 3, 0x0080), true, nullptr);
    EXPECT_EQ(r.text, "Microsoft Windows NT DataCenter Server version 4.0 " + sp + " (Build 65535)");
    EXPECT_LT(r.text.size(), 256u);
}

TEST(HostDescription, DescribeHostNamesThisSystem)
{
    ASSERT_EQ(describe_host(), 0);
    EXPECT_EQ(std::string(host_description()).rfind("Linux ", 0), 0u) << host_description();
    EXPECT_TRUE(host_is_nt());
}

}
