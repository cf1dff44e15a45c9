#include "common/str_util.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

using strings = std::vector<std::string>;

TEST(Split, KeepsEmptyPiecesAndDoesNotTrim)
{
    EXPECT_EQ(split_string("a,b,,c", ","), (strings { "a", "b", "", "c" }));
    EXPECT_EQ(split_string("a,", ","), (strings { "a", "" }));
    EXPECT_EQ(split_string("", ","), (strings { "" }));
    EXPECT_EQ(split_string(" a ::b", "::"), (strings { " a ", "b" }));
    EXPECT_EQ(split_by_char("1.0.2", '.'), (strings { "1", "0", "2" }));
    EXPECT_EQ(split_by_char("", '.'), (strings { "" }));
}

TEST(SplitKeyValue, StripsEveryWhitespaceWhenAsked)
{
    std::string k, v;
    split_key_value(" A = b c ", '=', k, v, true);
    EXPECT_EQ(k, "A");
    EXPECT_EQ(v, "bc");
    split_key_value("novalue", '=', k, v, true);
    EXPECT_EQ(k, "novalue");
    EXPECT_EQ(v, "novalue");
    split_key_value(" A = b ", '=', k, v, false);
    EXPECT_EQ(k, " A ");
    EXPECT_EQ(v, " b ");
}

TEST(RandomString, DrawsOnlyFromTheAlphabet)
{
    std::string s = random_string(16, "0123456789");
    ASSERT_EQ(s.size(), 16u);
    EXPECT_EQ(s.find_first_not_of("0123456789"), std::string::npos);
    EXPECT_NE(random_string(16, "0123456789"), random_string(16, "0123456789"));
}

TEST(Ipv4, TextToValue)
{
    struct {
        const char* text;
        uint32_t value;
    } cases[] = {
        { "192.168.1.1", 3232235777u },
        { "192.168.1.256", 0 },
        { "192.168.1", 0 },
        { "1.2.3.4x", 16909060u },
        { "0.0.0.0", 0 },
        { "", 0 },
        { "a.b.c.d", 0 },
        { "255.255.255.255", 0xffffffffu },
    };
    for (const auto& c : cases)
        EXPECT_EQ(ip_to_u32(c.text), c.value) << c.text;
    EXPECT_EQ(ip_to_u32(nullptr), 0u);
}

TEST(Ipv4, ValueToText)
{
    char buf[16];
    EXPECT_TRUE(u32_to_ip(3232235777u, buf));
    EXPECT_STREQ(buf, "192.168.1.1");
    EXPECT_TRUE(u32_to_ip(0xffffffffu, buf));
    EXPECT_STREQ(buf, "255.255.255.255");
    EXPECT_TRUE(u32_to_ip(1, nullptr));
}

TEST(Ipv4, NetmasksMustBeContiguous)
{
    EXPECT_EQ(netmask_to_u32("255.255.255.0"), 0xffffff00u);
    EXPECT_EQ(netmask_to_u32("255.255.255.255"), 0xffffffffu);
    EXPECT_EQ(netmask_to_u32("128.0.0.0"), 0x80000000u);
    EXPECT_EQ(netmask_to_u32("255.0.255.0"), 0u);
    EXPECT_EQ(netmask_to_u32("255.255.0.255"), 0u);
    EXPECT_EQ(netmask_to_u32("0.0.0.0"), 0u);
    EXPECT_EQ(netmask_to_u32("0.0.0.1"), 0u);
}

TEST(Interfaces, LoopbackAddressAndMask)
{
    char buf[16] = {};
    ASSERT_TRUE(iface_name_to_ip("lo", buf));
    EXPECT_STREQ(buf, "127.0.0.1");
    EXPECT_FALSE(iface_name_to_ip("qm-no-such0", buf));

    uint32_t addr = 0, mask = 0;
    ASSERT_EQ(iface_addr_mask("lo", &addr, &mask), 0);
    EXPECT_EQ(addr, htonl(0x7f000001u));
    EXPECT_EQ(mask, htonl(0xff000000u));
    EXPECT_NE(iface_addr_mask("qm-no-such0", &addr, &mask), 0);
}

TEST(ResolveHost, DottedQuadsAndFailures)
{
    std::string out = "unchanged";
    EXPECT_EQ(resolve_host("127.0.0.1", nullptr), 2);
    EXPECT_EQ(resolve_host("127.0.0.1", &out), 0);
    EXPECT_EQ(out, "127.0.0.1");
    out = "unchanged";
    EXPECT_EQ(resolve_host("::1", &out), 0); // IPv6 only: output untouched
    EXPECT_EQ(out, "unchanged");
    EXPECT_EQ(resolve_host("no-such-host.invalid", &out), 1);
}
