#include "common/validate.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

TEST(Validate, DottedQuadIsStrict)
{
    for (const char* good : { "0.0.0.0", "10.1.2.3", "255.255.255.255", "100.0.10.0" })
        EXPECT_TRUE(is_dotted_quad(good)) << good;
    for (const char* bad :
        { "", "1.2.3", "1.2.3.4.5", "1.2.3.256", "1.2.3.4x", " 1.2.3.4", "1.2.3.4\n", "1..2.3", "1.2.3.4;reboot",
            "-1.2.3.4", "1.2.3.0004", "a.b.c.d", "192.168.001.1", "010.0.0.1", "1.2.3.08", "00.0.0.0" })
        EXPECT_FALSE(is_dotted_quad(bad)) << bad;
}

TEST(Validate, NetmaskMustBeContiguous)
{
    for (const char* good : { "255.255.255.0", "255.255.255.255", "0.0.0.0", "255.128.0.0" })
        EXPECT_TRUE(is_contiguous_netmask(good)) << good;
    for (const char* bad : { "255.0.255.0", "0.0.0.255", "255.255.255", "255.255.255.0 ", "255.255.255.00" })
        EXPECT_FALSE(is_contiguous_netmask(bad)) << bad;
}

TEST(Validate, InterfaceNames)
{
    for (const char* good : { "eth0", "br0", "tun0", "wlan0.1", "a_b-c", "abcdefghijklmno" })
        EXPECT_TRUE(is_iface_name(good)) << good;
    for (const char* bad : { "", "eth0;reboot", "eth 0", "abcdefghijklmnop", "eth0\n", "$(x)", "a/b" })
        EXPECT_FALSE(is_iface_name(bad)) << bad;
}

TEST(Validate, FileNamesAreSinglePathComponents)
{
    for (const char* good : { "a", "quillmesh.um.v4.tgz", "run_me.sh", "x-1", ".hidden" })
        EXPECT_TRUE(is_safe_file_name(good)) << good;
    std::string long_name(65, 'a');
    for (const std::string& bad :
        { std::string(""), std::string("."), std::string(".."), std::string("../../etc/shadow"),
            std::string("/etc/passwd"), std::string("x;reboot"), std::string("a b"), long_name, std::string("a\nb") })
        EXPECT_FALSE(is_safe_file_name(bad)) << bad;
    EXPECT_TRUE(is_safe_file_name(std::string(64, 'a')));
}

TEST(Validate, AlnumTokens)
{
    EXPECT_TRUE(is_alnum_token("abc123", 8));
    EXPECT_FALSE(is_alnum_token("abc-1", 8));
    EXPECT_FALSE(is_alnum_token("", 8));
    EXPECT_FALSE(is_alnum_token("123456789", 8));
}

TEST(Validate, TextsForCommandLines)
{
    const struct {
        bool (*valid)(const std::string&);
        std::vector<std::string> good;
        std::vector<std::string> bad;
    } rows[] = {
        { is_network_prefix, { "10.1.2.0/24", "0.0.0.0/0", "1.2.3.4/32" },
            { "10.1.2.0", "10.1.2.0/33", "10.1.2.0/", "10.1.2.0/2x", "10.1.2/24", "10.1.2.0/024" } },
        { is_safe_url, { "https://192.0.2.1/router_modules", "https://ds-1.example_x:443/m" },
            { "", "https://a/b;reboot", "https://a b", "https://a/$(x)", "https://a/b?c", "https://a/b@c" } },
        { is_safe_path, { "/tmp/vpn_module_tbd/quillmesh.um.v4+1,2:a@b.tgz" },
            { "", "/tmp/a b", "/tmp/a;reboot", "/tmp/a=b", "/tmp/a%b", "/tmp/a\nb" } },
        { is_module_name, { "quillmesh", "a_1", std::string(24, 'm') },
            { "", "a-b", "a.b", "../x", "a b", std::string(25, 'm') } },
        { is_shell_word, { "/tmp/kgen_cfg_x.pem", "prime256v1", "a=b@c%d+e,f:g" },
            { "", "a b", "a;b", "a'b", "$(x)", "a|b", std::string("a\0b", 3) } },
    };
    for (const auto& row : rows) {
        for (const std::string& text : row.good)
            EXPECT_TRUE(row.valid(text)) << text;
        for (const std::string& text : row.bad)
            EXPECT_FALSE(row.valid(text)) << text;
    }
}
