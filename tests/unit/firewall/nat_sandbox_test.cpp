// One-to-one NAT against the real nat and mangle tables of the sandbox, with the chains made by
// the module's own install script.
#include "common/file_util.h"
#include "common/system.h"
#include "control/nat.h"
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

// The rules of one chain as iptables -S prints them, without the chain's own "-N" line.
std::vector<std::string> rules(const std::string& table, const std::string& chain)
{
    std::vector<std::string> lines = output_lines("iptables -t " + table + " -S " + chain);
    if (!lines.empty() && lines.front().rfind("-N ", 0) == 0)
        lines.erase(lines.begin());
    return lines;
}

lan_iface_cfg record(
    const std::string& iface, const std::string& network, const char* virtual_network, const char* virtual_netmask)
{
    lan_iface_cfg r;
    r.iface = iface;
    r.network = network;
    r.netmask = "255.255.255.0";
    if (virtual_network)
        r.virtual_network = virtual_network;
    if (virtual_netmask)
        r.virtual_netmask = virtual_netmask;
    return r;
}

const std::string install_script = std::string(QM_SOURCE_DIR) + "/module/etc/install";

class one_to_one_nat : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox()) {
            fprintf(stderr, "NAT tests change the packet filter: they run only inside qm-sandbox\n");
            abort();
        }
    }
    void SetUp() override
    {
        reset();
        ASSERT_EQ(run_shell(install_script), 0);
    }
    void TearDown() override { reset(); }
    static void reset()
    {
        run_shell("for t in nat mangle; do iptables -t $t -F; iptables -t $t -X; done; rm -f /tmp/q");
    }
};
} // namespace

TEST_F(one_to_one_nat, install_creates_and_hooks_the_nat_chains_once)
{
    ASSERT_EQ(run_shell(install_script), 0);
    std::vector<std::string> expected = {
        "-P PREROUTING ACCEPT",
        "-P INPUT ACCEPT",
        "-P OUTPUT ACCEPT",
        "-P POSTROUTING ACCEPT",
        "-N post_quillmesh_nat",
        "-N pre_quillmesh_nat",
        "-A PREROUTING -j pre_quillmesh_nat",
        "-A POSTROUTING -j post_quillmesh_nat",
    };
    EXPECT_EQ(output_lines("iptables -t nat -S"), expected);
}

TEST_F(one_to_one_nat, maps_an_interface_in_all_three_chains_with_its_mark)
{
    log_capture logs;
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.10.1.0", "255.255.255.0"),
        record("br0", "192.168.7.0", "10.10.7.0", "255.255.255.0") }));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat"),
        (std::vector<std::string> { "-A pre_quillmesh_nat -d 10.10.1.0/24 -j NETMAP --to 192.168.1.0/24",
            "-A pre_quillmesh_nat -d 10.10.7.0/24 -j NETMAP --to 192.168.7.0/24" }));
    EXPECT_EQ(rules("nat", "post_quillmesh_nat"),
        (std::vector<std::string> { "-A post_quillmesh_nat -m mark --mark 0x2 -j NETMAP --to 10.10.1.0/24",
            "-A post_quillmesh_nat -m mark --mark 0x5 -j NETMAP --to 10.10.7.0/24" }));
    EXPECT_EQ(rules("mangle", "mangle_quillmesh_nat"),
        (std::vector<std::string> {
            "-A mangle_quillmesh_nat -s 192.168.1.0/24 -i eth1 -j MARK --set-xmark 0x2/0xffffffff",
            "-A mangle_quillmesh_nat -s 192.168.7.0/24 -i br0 -j MARK --set-xmark 0x5/0xffffffff" }));
    EXPECT_EQ(rules("mangle", "PREROUTING"),
        (std::vector<std::string> { "-P PREROUTING ACCEPT", "-A PREROUTING -j mangle_quillmesh_nat" }));
    EXPECT_TRUE(logs.contains(
        LOG_DEBUG, "Creating NAT: : Local IP: 192.168.1.0/255.255.255.0 Virtual IP: 10.10.1.0/255.255.255.0"));
}

TEST_F(one_to_one_nat, a_new_setup_replaces_the_interface_mapping)
{
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.10.1.0", "255.255.255.0"),
        record("eth2", "192.168.2.0", "10.10.2.0", "255.255.255.0") }));
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.20.1.0", "255.255.255.0") }));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat"),
        (std::vector<std::string> { "-A pre_quillmesh_nat -d 10.10.2.0/24 -j NETMAP --to 192.168.2.0/24",
            "-A pre_quillmesh_nat -d 10.20.1.0/24 -j NETMAP --to 192.168.1.0/24" }));
    // The old source mapping of eth1 is gone too, so its packets leave under the new network.
    EXPECT_EQ(rules("nat", "post_quillmesh_nat"),
        (std::vector<std::string> { "-A post_quillmesh_nat -m mark --mark 0x3 -j NETMAP --to 10.10.2.0/24",
            "-A post_quillmesh_nat -m mark --mark 0x2 -j NETMAP --to 10.20.1.0/24" }));
    EXPECT_EQ(rules("mangle", "mangle_quillmesh_nat").size(), 2u);

    // A record without a virtual network only removes the interface's mapping.
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", nullptr, nullptr) }));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat"),
        (std::vector<std::string> { "-A pre_quillmesh_nat -d 10.10.2.0/24 -j NETMAP --to 192.168.2.0/24" }));
    EXPECT_EQ(rules("nat", "post_quillmesh_nat").size(), 1u);
    EXPECT_EQ(rules("mangle", "mangle_quillmesh_nat").size(), 1u);
}

TEST_F(one_to_one_nat, cleanup_takes_one_network_from_several_matching_rules)
{
    // The same mapping applied twice without cleanup: the capture then holds two lines.
    ASSERT_TRUE(create_iface_nat("eth1", "10.10.1.0", "255.255.255.0", "192.168.1.0"));
    ASSERT_TRUE(create_iface_nat("eth1", "10.10.1.0", "255.255.255.0", "192.168.1.0"));
    cleanup_iface_nat("eth1");
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat").size(), 1u);
    EXPECT_EQ(rules("nat", "post_quillmesh_nat").size(), 1u);
    EXPECT_EQ(rules("mangle", "mangle_quillmesh_nat").size(), 1u);
    cleanup_iface_nat("eth1");
    EXPECT_TRUE(rules("nat", "pre_quillmesh_nat").empty());
    EXPECT_TRUE(rules("nat", "post_quillmesh_nat").empty());
    EXPECT_TRUE(rules("mangle", "mangle_quillmesh_nat").empty());
}

TEST_F(one_to_one_nat, cleanup_ignores_a_capture_that_names_no_network)
{
    ASSERT_TRUE(create_iface_nat("eth1", "10.10.1.0", "255.255.255.0", "192.168.1.0"));
    // A rule of the router's own listed first: its fourth field is no network.
    run_shell("iptables -t mangle -I PREROUTING -i eth1 -j ACCEPT");
    cleanup_iface_nat("eth1");
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat").size(), 1u);
    EXPECT_EQ(rules("mangle", "PREROUTING").size(), 3u);
    // An interface without any rule: nothing happens.
    cleanup_iface_nat("eth2");
    cleanup_iface_nat("bad name");
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat").size(), 1u);
}

TEST_F(one_to_one_nat, an_incomplete_record_stops_the_setup)
{
    log_capture logs;
    EXPECT_FALSE(setup_one_to_one_nat({ record("eth0", "192.168.0.0", "10.10.0.0", "255.255.255.0"),
        record("eth1", "192.168.1.0", "10.10.1.0", nullptr),
        record("eth2", "192.168.2.0", "10.10.2.0", "255.255.255.0") }));
    EXPECT_TRUE(logs.contains(LOG_ERR, "1-to-1 NAT error: incomplete NAT message obtained from CS."));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat"),
        (std::vector<std::string> { "-A pre_quillmesh_nat -d 10.10.0.0/24 -j NETMAP --to 192.168.0.0/24" }));

    logs.clear();
    EXPECT_FALSE(setup_one_to_one_nat({ record("eth2", "192.168.2.0", nullptr, "255.255.255.0") }));
    EXPECT_TRUE(logs.contains(LOG_ERR, "1-to-1 NAT error: incomplete NAT message obtained from CS."));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat").size(), 1u);
}

TEST_F(one_to_one_nat, hostile_texts_never_reach_the_shell)
{
    log_capture logs;
    EXPECT_FALSE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.0.0.0;>/tmp/q", "255.255.255.0") }));
    EXPECT_FALSE(create_iface_nat("eth1", "10.0.0.0", "255.255.255.0 `>/tmp/q`", "192.168.1.0"));
    EXPECT_FALSE(create_iface_nat("eth1", "10.0.0.0", "255.0.255.0", "192.168.1.0"));
    EXPECT_FALSE(create_iface_nat("eth1;>/tmp/q", "10.0.0.0", "255.255.255.0", "192.168.1.0"));
    EXPECT_FALSE(create_iface_nat("eth1", "10.0.0.0", "255.255.255.0", "$(>/tmp/q)"));
    EXPECT_FALSE(exempt_tunnel_address("tun0;>/tmp/q"));
    EXPECT_FALSE(file_exists("/tmp/q"));
    EXPECT_TRUE(rules("nat", "pre_quillmesh_nat").empty());
    EXPECT_TRUE(
        logs.contains(LOG_ERR, "1-to-1 NAT error: invalid virtual network '10.0.0.0;>/tmp/q' obtained from CS."));
}

TEST_F(one_to_one_nat, flushing_twice_empties_the_chains_and_keeps_the_hook)
{
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.10.1.0", "255.255.255.0") }));
    log_capture logs;
    EXPECT_TRUE(flush_one_to_one_nat());
    EXPECT_TRUE(flush_one_to_one_nat());
    EXPECT_TRUE(rules("nat", "pre_quillmesh_nat").empty());
    EXPECT_TRUE(rules("nat", "post_quillmesh_nat").empty());
    EXPECT_TRUE(rules("mangle", "mangle_quillmesh_nat").empty());
    EXPECT_EQ(rules("mangle", "PREROUTING").back(), "-A PREROUTING -j mangle_quillmesh_nat");
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Flushing all 1-to-1 NAT chains."));
}

TEST_F(one_to_one_nat, the_tunnel_address_is_exempted_once_at_the_top)
{
    ASSERT_EQ(
        run_shell("ip tuntap add dev qmtun9 mode tun && ip addr add 10.8.0.2/24 dev qmtun9 && ip link set qmtun9 up"),
        0);
    ASSERT_TRUE(setup_one_to_one_nat({ record("eth1", "192.168.1.0", "10.10.1.0", "255.255.255.0") }));
    EXPECT_TRUE(exempt_tunnel_address("qmtun9"));
    EXPECT_TRUE(exempt_tunnel_address("qmtun9"));
    EXPECT_EQ(rules("nat", "pre_quillmesh_nat"),
        (std::vector<std::string> { "-A pre_quillmesh_nat -d 10.8.0.2/32 -j RETURN",
            "-A pre_quillmesh_nat -d 10.10.1.0/24 -j NETMAP --to 192.168.1.0/24" }));
    run_shell("ip link del qmtun9");
    EXPECT_FALSE(exempt_tunnel_address("qmtun9"));
}
