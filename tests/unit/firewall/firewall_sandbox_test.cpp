// Internet mode against the real packet filter of the sandbox's network namespace.
#include "common/file_util.h"
#include "common/system.h"
#include "control/firewall.h"
#include "support/test_support.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{
std::vector<std::string> output_lines(const std::string& command)
{
    std::string output;
    run_shell_capture(command, &output);
    return split_lines(output);
}

void set_cs_address(const std::string& address)
{
    run_shell("mkdir -p /opt/quillmesh/etc");
    write_file("/opt/quillmesh/etc/settings.ovpn", "QUILLMESH_TUNDEV=tun0\nQUILLMESH_REMOTE_IPADDR=" + address + "\n");
}

const std::vector<std::string> clean_filter = { "-P INPUT ACCEPT", "-P FORWARD ACCEPT", "-P OUTPUT ACCEPT" };

class internet_mode : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox()) {
            fprintf(stderr, "firewall tests change the packet filter: they run only inside qm-sandbox\n");
            abort();
        }
    }
    void SetUp() override
    {
        run_shell("iptables -F; iptables -X");
        set_cs_address("10.99.0.1");
        ASSERT_EQ(output_lines("iptables -S"), clean_filter);
    }
    void TearDown() override { run_shell("iptables -F; iptables -X"); }
};
} // namespace

TEST_F(internet_mode, disabling_builds_both_chains_and_hooks_them)
{
    ASSERT_TRUE(disable_internet_connection());
    // iptables inserts the ranges of a comma list one by one at the top, so they read backwards.
    std::vector<std::string> expected = {
        "-P INPUT ACCEPT",
        "-P FORWARD ACCEPT",
        "-P OUTPUT ACCEPT",
        "-N iint_quillmesh",
        "-N oint_quillmesh",
        "-A INPUT -j iint_quillmesh",
        "-A FORWARD -j oint_quillmesh",
        "-A FORWARD -j iint_quillmesh",
        "-A OUTPUT -j oint_quillmesh",
        "-A iint_quillmesh -s 10.99.0.1/32 -j ACCEPT",
        "-A iint_quillmesh -s 127.0.0.0/24 -j ACCEPT",
        "-A iint_quillmesh -s 10.0.0.0/8 -j ACCEPT",
        "-A iint_quillmesh -s 172.16.0.0/12 -j ACCEPT",
        "-A iint_quillmesh -s 192.168.0.0/16 -j ACCEPT",
        "-A iint_quillmesh -j DROP",
        "-A oint_quillmesh -d 10.99.0.1/32 -j ACCEPT",
        "-A oint_quillmesh -d 127.0.0.0/24 -j ACCEPT",
        "-A oint_quillmesh -d 10.0.0.0/8 -j ACCEPT",
        "-A oint_quillmesh -d 172.16.0.0/12 -j ACCEPT",
        "-A oint_quillmesh -d 192.168.0.0/16 -j ACCEPT",
        "-A oint_quillmesh -j DROP",
    };
    EXPECT_EQ(output_lines("iptables -S"), expected);

    // A second request finds everything in place and changes nothing.
    ASSERT_TRUE(disable_internet_connection());
    EXPECT_EQ(output_lines("iptables -S"), expected);
}

TEST_F(internet_mode, enabling_restores_the_hooks_and_removes_the_chains)
{
    run_shell("iptables -A INPUT -i lo -j ACCEPT; iptables -A FORWARD -p icmp -j ACCEPT; "
              "iptables -A OUTPUT -o lo -j ACCEPT");
    std::vector<std::string> before = output_lines("iptables -S");
    ASSERT_TRUE(disable_internet_connection());
    ASSERT_NE(output_lines("iptables -S"), before);
    ASSERT_TRUE(enable_internet_connection());
    EXPECT_EQ(output_lines("iptables -S"), before);
}

TEST_F(internet_mode, enabling_a_router_that_never_had_the_chains_succeeds)
{
    log_capture logs;
    EXPECT_TRUE(enable_internet_connection());
    EXPECT_TRUE(enable_internet_connection());
    EXPECT_EQ(output_lines("iptables -S"), clean_filter);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(internet_mode, a_new_cs_address_gets_its_rule_on_top_and_the_old_one_stays)
{
    ASSERT_TRUE(disable_internet_connection());
    set_cs_address("10.99.0.7");
    ASSERT_TRUE(disable_internet_connection());
    std::vector<std::string> in_chain = output_lines("iptables -S iint_quillmesh");
    ASSERT_GE(in_chain.size(), 4u);
    EXPECT_EQ(in_chain[1], "-A iint_quillmesh -s 10.99.0.7/32 -j ACCEPT");
    EXPECT_EQ(in_chain[2], "-A iint_quillmesh -s 10.99.0.1/32 -j ACCEPT");
    std::vector<std::string> out_chain = output_lines("iptables -S oint_quillmesh");
    ASSERT_GE(out_chain.size(), 3u);
    EXPECT_EQ(out_chain[1], "-A oint_quillmesh -d 10.99.0.7/32 -j ACCEPT");
    EXPECT_EQ(out_chain.size(), 8u);
}

TEST_F(internet_mode, a_cs_address_that_is_no_address_is_never_run)
{
    set_cs_address("1.2`>/tmp/q`");
    log_capture logs;
    EXPECT_FALSE(disable_internet_connection());
    EXPECT_FALSE(file_exists("/tmp/q"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Inserting CS rule into iint_quillmesh failed."));
    // Everything before the CS rules is in place, so internet access stays confined.
    EXPECT_EQ(output_lines("iptables -S iint_quillmesh").back(), "-A iint_quillmesh -j DROP");
}

TEST_F(internet_mode, mode_requests_log_their_outcome)
{
    log_capture logs;
    EXPECT_TRUE(manage_internet_connection(0));
    EXPECT_TRUE(manage_internet_connection(1));
    EXPECT_FALSE(manage_internet_connection(2));
    std::vector<log_line> expected = {
        { LOG_DEBUG, "Setting internet connection mode to: disabled" },
        { LOG_DEBUG, "Setting internet connection mode to: enabled" },
        { LOG_ERR, "Manage Internet Connection: unknown mode: 2" },
    };
    EXPECT_EQ(logs.lines(), expected);
    EXPECT_EQ(output_lines("iptables -S"), clean_filter);
}

TEST_F(internet_mode, a_chain_that_cannot_be_deleted_fails_enabling_with_its_message)
{
    // Another chain still jumps to iint_quillmesh, so the kernel refuses to delete it.
    run_shell("iptables -N iint_quillmesh; iptables -N holder; iptables -A holder -j iint_quillmesh");
    log_capture logs;
    EXPECT_FALSE(enable_internet_connection());
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Deleting chain iint_quillmesh failed."));
    EXPECT_TRUE(logs.contains(
        LOG_WARNING, "Warning: Failed to delete iptables chain (iptables -X iint_quillmesh -t filter -w)."));
}
