// The control channel against the router sandbox: real interfaces and routes of the namespace,
// real iptables, the router's settings files, and the restore, service and reboot stand-ins.
#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/system.h"
#include "control/dispatch.h"
#include "control/inventory.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "control/managing_socket.h"
#include "support/test_support.h"
#include "transport/tcp.h"

#include <arpa/inet.h>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <string>
#include <sys/mount.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

const char* const MODULE_SETTINGS = "/opt/quillmesh/etc/settings";
const char* const TUNNEL_SETTINGS = "/opt/quillmesh/etc/settings.ovpn";
const char* const ROUTER_FILES[]
    = { "/etc/settings.eth", "/etc/settings.wlan", "/etc/settings.wifi_ap", "/etc/settings.backrt" };

void sh(const std::string& command)
{
    ASSERT_EQ(run_shell(command), 0) << command;
}

std::string capture(const std::string& command)
{
    std::string out;
    run_shell_capture(command, &out);
    return out;
}

// ---- the router's stand-ins (see tests/sandbox/README.md) ----

std::string standin_calls(const std::string& name)
{
    std::string path = "/var/sandbox/calls/" + name;
    return file_exists(path) ? read_file(path) : "";
}

void standins_reset()
{
    run_shell("rm -rf /var/sandbox/calls/service /var/sandbox/calls/restore* /var/sandbox/calls/reboot "
              "/var/sandbox/service/*.rc /var/sandbox/restore.rc");
}

// The exit status of "/sbin/service NAME ..." and of restore.
void service_exit_status(const std::string& service, int status)
{
    run_shell("mkdir -p /var/sandbox/service");
    write_file("/var/sandbox/service/" + service + ".rc", std::to_string(status) + "\n");
}

void restore_exit_status(int status)
{
    write_file("/var/sandbox/restore.rc", std::to_string(status) + "\n");
}

class ControlSandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes interfaces, routes and /etc: run it in the router sandbox";
        sh("mkdir -p /opt/quillmesh/etc");
        for (const char* f : ROUTER_FILES)
            unlink(f);
        unlink(LAN_STAGING_PATH);
        run_shell("rm -rf /tmp/vpn_module_tbd");
        standins_reset();
        write_file(TUNNEL_SETTINGS, "QUILLMESH_TUNDEV=tun0\nQUILLMESH_REMOTE_IPADDR=10.8.0.1\n");
        write_file(MODULE_SETTINGS, "MOD_QUILLMESH_CONTROL_CHANNEL_PORT=9995\n");
        default_route_ = capture("ip route show default");
        run_shell("ip route del default 2>/dev/null");
        for (const char* c : { "pre_quillmesh_nat", "post_quillmesh_nat" })
            run_shell(std::string("iptables -t nat -N ") + c + " 2>/dev/null");
    }

    void TearDown() override
    {
        for (const std::string& name : links_)
            run_shell("ip link del " + name + " 2>/dev/null");
        run_shell("ip route del default 2>/dev/null");
        if (!default_route_.empty())
            run_shell("ip route add " + default_route_);
        run_shell("umount /tmp/vpn_module_tbd 2>/dev/null");
        run_shell("rm -rf /tmp/vpn_module_tbd");
        standins_reset();
    }

    // A LAN port: one end of a veth pair, up, with an optional address.
    void add_port(const std::string& name, const std::string& cidr = "")
    {
        sh("ip link add " + name + " type veth peer name p-" + name);
        links_.push_back(name);
        sh("ip link set " + name + " up && ip link set p-" + name + " up");
        if (!cidr.empty())
            sh("ip addr add " + cidr + " dev " + name);
    }

    void add_bridge()
    {
        sh("ip link add br0 type bridge");
        links_.push_back("br0");
    }

    static std::string handle(const std::string& body)
    {
        std::string response;
        bool ok = process_control_msg("{\"H\":{\"V\":113},\"B\":" + body + "}", response);
        return ok ? response : "no response";
    }

    static std::string reply(const std::string& segments) { return "{\"B\":" + segments + ",\"H\":{\"V\":113}}"; }

    std::vector<std::string> links_;
    std::string default_route_;
    log_capture logs;
};

std::string lan_entry(const std::string& name, const std::string& network, const std::string& netmask,
    const std::string& address, const std::string& extra = "")
{
    return "{\"11-1\":\"" + network + "\",\"11-2\":\"" + netmask + "\",\"11-3\":\"" + name + "\",\"11-4\":\"" + address
        + "\",\"11-5\":\"1\",\"11-6\":\"" + address.substr(0, address.rfind('.')) + ".100\",\"11-7\":\""
        + address.substr(0, address.rfind('.')) + ".200\"" + extra + "}";
}

std::string lan_request(const std::string& entries)
{
    return "[{\"T\":11,\"DT\":[" + entries + "]}]";
}

const char* const ETH_SETTINGS
    = "ETH_IPADDR=192.168.1.1\nETH_NETMASK=255.255.255.0\nETH_NETWORK=192.168.1.0\nETH_DHCP_POOL_ENABLED=1\n"
      "ETH_DHCP_POOL_LO=192.168.1.100\nETH_DHCP_POOL_HI=192.168.1.200\nETH_BRIDGED=0\n"
      "ETH2_IPADDR=10.50.0.2\nETH2_NETMASK=255.255.255.0\nETH2_NETWORK=10.50.0.0\nETH2_BRIDGED=0\n";

const char* const WLAN_SETTINGS
    = "WLAN_IPADDR=192.168.3.1\nWLAN_NETMASK=255.255.255.0\nWLAN_NETWORK=192.168.3.0\nWLAN_DHCP_POOL_ENABLED=0\n"
      "WLAN_DHCP_POOL_LO=192.168.3.10\nWLAN_DHCP_POOL_HI=192.168.3.20\n";

const char* const ETH0_OBJECT
    = "{\"16-4\":\"eth0\",\"16-5\":\"192.168.1.1\",\"16-2\":\"192.168.1.0\",\"16-3\":\"255.255.255.0\","
      "\"16-6\":\"1\",\"16-7\":\"192.168.1.100\",\"16-8\":\"192.168.1.200\"}";

// ---- interface inventory ----

TEST_F(ControlSandbox, DefaultRouteViaEth1LeavesEth0AndWlan0)
{
    add_port("eth0", "192.168.1.1/24");
    add_port("eth1", "10.50.0.2/24");
    add_port("wlan0", "192.168.3.1/24");
    sh("ip route add default via 10.50.0.1 dev eth1");
    write_file("/etc/settings.eth", ETH_SETTINGS);
    write_file("/etc/settings.wlan", WLAN_SETTINGS);

    EXPECT_EQ(handle("[{\"T\":15,\"DT\":{}}]"),
        reply(std::string("[{\"T\":16,\"ER\":0,\"I\":0,\"DT\":{\"16-1\":[") + ETH0_OBJECT
            + ",{\"16-4\":\"wlan0\",\"16-5\":\"192.168.3.1\",\"16-2\":\"192.168.3.0\",\"16-3\":\"255.255.255.0\","
              "\"16-6\":\"0\",\"16-7\":\"192.168.3.10\",\"16-8\":\"192.168.3.20\"}]}}]"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Routing interface found for address 0.0.0.0: eth1"));
    EXPECT_TRUE(
        logs.contains(LOG_DEBUG, "Managable ifaces:: usb1: 0, usb0: 0, br0: 0, wlan0: 1, eth2: 0, eth1: 0, eth0: 1"));
    write_file("/etc/settings.backrt", "BACKRT_ENABLED=1\nBACKRT_WIFI_ENABLED=1\n");
    EXPECT_EQ(manageable_ifaces().size(), 1u); // wlan0 now carries a backup route
}

TEST_F(ControlSandbox, RouteToTheCsAndBackupRoutesExcludeTheirInterfaces)
{
    add_port("eth0", "192.168.1.1/24");
    add_port("eth1", "10.50.0.2/24");
    add_port("eth2", "192.168.4.1/24");
    add_port("wlan0", "10.8.0.2/16"); // the CS 10.8.0.1 is reached through wlan0
    write_file("/etc/settings.eth", ETH_SETTINGS);
    write_file("/etc/settings.backrt", "BACKRT_ENABLED=1\nBACKRT_ETH0_ENABLED=0\nBACKRT_ETH2_ENABLED=1\n");
    std::vector<std::string> names;
    for (const lan_iface_cfg& c : manageable_ifaces())
        names.push_back(c.iface);
    EXPECT_EQ(names, (std::vector<std::string> { "eth0", "eth1" }));

    // Switched off as a whole, the per-interface values exclude nothing.
    write_file("/etc/settings.backrt", "BACKRT_ENABLED=0\nBACKRT_ETH0_ENABLED=1\nBACKRT_ETH2_ENABLED=1\n");
    names.clear();
    for (const lan_iface_cfg& c : manageable_ifaces())
        names.push_back(c.iface);
    EXPECT_EQ(names, (std::vector<std::string> { "eth0", "eth1", "eth2" }));
}

TEST_F(ControlSandbox, BridgeEntryCarriesTheMemberAddresses)
{
    add_port("eth0", "192.168.1.1/24");
    add_port("eth1", "10.50.0.2/24");
    add_bridge();
    sh("ip route add default via 10.50.0.1 dev eth1");
    std::string eth = ETH_SETTINGS;
    eth.replace(eth.find("ETH_BRIDGED=0"), 13, "ETH_BRIDGED=1");
    write_file("/etc/settings.eth", eth);

    std::string bridged = ETH0_OBJECT;
    bridged.replace(bridged.find("\"eth0\""), 6, "\"br0\"");
    EXPECT_EQ(
        handle("[{\"T\":15,\"DT\":{}}]"), reply("[{\"T\":16,\"ER\":0,\"I\":0,\"DT\":{\"16-1\":[" + bridged + "]}}]"));
}

// ---- LAN setup ----

TEST_F(ControlSandbox, OverlapUnderTheShorterMaskIsAConflictAndChangesNothing)
{
    write_file("/etc/settings.eth", "ETH2_NETWORK=192.168.5.128\nETH2_NETMASK=255.255.255.128\n");
    EXPECT_EQ(handle(lan_request(lan_entry("eth0", "192.168.5.0", "255.255.255.0", "192.168.5.1"))),
        reply("[{\"T\":12,\"ER\":1,\"I\":0,\"MG\":\"Conflicting LAN address\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Requested network setup for eth0 is in conflict with eth1."));
    // Two interfaces of one request are held to the same rule.
    EXPECT_EQ(handle(lan_request(lan_entry("eth0", "172.16.1.0", "255.255.255.0", "172.16.1.1") + ","
                  + lan_entry("eth2", "172.16.0.0", "255.255.0.0", "172.16.0.1"))),
        reply("[{\"T\":12,\"ER\":1,\"I\":0,\"MG\":\"Conflicting LAN address\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Requested network setup for eth0 is in conflict with eth2."));
    EXPECT_FALSE(file_exists(LAN_STAGING_PATH));
    EXPECT_EQ(standin_calls("restore"), "");
    EXPECT_EQ(standin_calls("service"), "");
}

TEST_F(ControlSandbox, DifferentNetworksUnderTheShorterMaskAreAccepted)
{
    write_file("/etc/settings.eth", "ETH2_NETWORK=10.2.0.0\nETH2_NETMASK=255.255.255.0\n");
    EXPECT_EQ(handle(lan_request(lan_entry("eth0", "10.1.0.0", "255.255.0.0", "10.1.0.1"))),
        reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(read_file(LAN_STAGING_PATH),
        "ETH_IPADDR=10.1.0.1\nETH_NETMASK=255.255.0.0\nETH_NETWORK=10.1.0.0\nETH_DHCP_POOL_ENABLED=1\n"
        "ETH_DHCP_POOL_LO=10.1.0.100\nETH_DHCP_POOL_HI=10.1.0.200\nETH_BOOTPROTO=static\n");
    EXPECT_NE(standin_calls("restore").find("/opt/quillmesh/etc/settings.lan"), std::string::npos);
    EXPECT_NE(standin_calls("service").find("bard restart"), std::string::npos);
    EXPECT_NE(standin_calls("service").find("eth restart"), std::string::npos);
}

// A CS that echoes the inventory back sets the LAN up unchanged, also with the DHCP pool off
// and its bounds absent (empty texts).
TEST_F(ControlSandbox, InventoryWithThePoolOffIsTakenBackAsLanSetup)
{
    add_port("eth0", "192.168.1.1/24");
    write_file("/etc/settings.eth",
        "ETH_IPADDR=192.168.1.1\nETH_NETMASK=255.255.255.0\nETH_NETWORK=192.168.1.0\nETH_DHCP_POOL_ENABLED=0\n");
    std::unique_ptr<cJSON, void (*)(cJSON*)> inventory(
        cJSON_Parse(handle("[{\"T\":15,\"DT\":{}}]").c_str()), cJSON_Delete);
    const cJSON* eth0 = cJSON_GetArrayItem(
        cJSON_GetObjectItem(
            cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(inventory.get(), "B"), 0), "DT"), "16-1"),
        0);
    ASSERT_NE(eth0, nullptr);
    std::string entry = "{";
    for (const auto& key : { std::make_pair("16-2", "11-1"), std::make_pair("16-3", "11-2"),
             std::make_pair("16-4", "11-3"), std::make_pair("16-5", "11-4"), std::make_pair("16-6", "11-5"),
             std::make_pair("16-7", "11-6"), std::make_pair("16-8", "11-7") })
        entry += std::string(entry.size() > 1 ? "," : "") + "\"" + key.second + "\":\""
            + cJSON_GetStringValue(cJSON_GetObjectItem(eth0, key.first)) + "\"";
    entry += "}";
    EXPECT_EQ(entry,
        "{\"11-1\":\"192.168.1.0\",\"11-2\":\"255.255.255.0\",\"11-3\":\"eth0\",\"11-4\":\"192.168.1.1\","
        "\"11-5\":\"0\",\"11-6\":\"\",\"11-7\":\"\"}");
    EXPECT_EQ(handle(lan_request(entry)), reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(read_file(LAN_STAGING_PATH),
        "ETH_IPADDR=192.168.1.1\nETH_NETMASK=255.255.255.0\nETH_NETWORK=192.168.1.0\nETH_DHCP_POOL_ENABLED=0\n"
        "ETH_DHCP_POOL_LO=\nETH_DHCP_POOL_HI=\nETH_BOOTPROTO=static\n");
}

TEST_F(ControlSandbox, BridgeRequestIsWrittenForItsMemberAndNotComparedWithIt)
{
    write_file("/etc/settings.eth",
        "ETH_IPADDR=192.168.7.1\nETH_NETWORK=192.168.7.0\nETH_NETMASK=255.255.255.0\n"
        "ETH_BRIDGED=1\n");
    EXPECT_EQ(handle(lan_request(lan_entry("br0", "192.168.7.0", "255.255.255.0", "192.168.7.2"))),
        reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(read_file(LAN_STAGING_PATH).substr(0, 22), "ETH_IPADDR=192.168.7.2");
    EXPECT_EQ(standin_calls("service").find("wifi"), std::string::npos); // the bridge restarts eth
    EXPECT_NE(standin_calls("service").find("eth restart"), std::string::npos);
}

TEST_F(ControlSandbox, WirelessLinesFollowTheSettingsFileThereIs)
{
    std::string request = lan_request(lan_entry("wlan0", "192.168.9.0", "255.255.255.0", "192.168.9.1"));
    EXPECT_EQ(handle(request), reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(read_file(LAN_STAGING_PATH),
        "WIFI_AP_IPADDR=192.168.9.1\nWIFI_AP_NETMASK=255.255.255.0\nWIFI_AP_NETWORK=192.168.9.0\n"
        "WIFI_AP_DHCP_POOL_ENABLED=1\nWIFI_AP_DHCP_POOL_LO=192.168.9.100\nWIFI_AP_DHCP_POOL_HI=192.168.9.200\n");

    write_file("/etc/settings.wlan", "WLAN_ENABLED=0\n");
    EXPECT_EQ(handle(request), reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(read_file(LAN_STAGING_PATH),
        "WLAN_IPADDR=192.168.9.1\nWLAN_NETMASK=255.255.255.0\nWLAN_NETWORK=192.168.9.0\n"
        "WLAN_DHCP_POOL_ENABLED=1\nWLAN_DHCP_POOL_LO=192.168.9.100\nWLAN_DHCP_POOL_HI=192.168.9.200\n"
        "WLAN_BOOTPROTO=static\nWLAN_ENABLED=1\n");
    EXPECT_NE(standin_calls("service").find("wifi restart"), std::string::npos);
}

TEST_F(ControlSandbox, FailedRestoreWithEveryValueInPlaceSucceedsWithoutRestart)
{
    std::string request = lan_request(lan_entry("eth1", "192.168.8.0", "255.255.255.0", "192.168.8.1"));
    EXPECT_EQ(handle(request), reply("[{\"T\":12,\"ER\":0,\"I\":0}]")); // restore takes the values over
    run_shell("rm -f /var/sandbox/calls/service");
    restore_exit_status(1);
    EXPECT_EQ(handle(request), reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_EQ(standin_calls("service"), "");
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Services to restart: bard: 0, eth: 0, wifi: 0"));

    // A value that is not in place makes the request fail; bard and eth are still restarted.
    EXPECT_EQ(handle(lan_request(lan_entry("eth1", "192.168.9.0", "255.255.255.0", "192.168.9.1"))),
        reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_NE(standin_calls("service").find("bard restart"), std::string::npos);
}

TEST_F(ControlSandbox, FailingBardRestartLeavesTheCsWithoutResponse)
{
    service_exit_status("bard", 1);
    EXPECT_EQ(handle(lan_request(lan_entry("eth1", "192.168.8.0", "255.255.255.0", "192.168.8.1"))), "no response");
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to restart bard service."));
    EXPECT_TRUE(file_exists(LAN_STAGING_PATH)); // the request itself was carried out
}

TEST_F(ControlSandbox, VirtualNetworkIsMappedWithNetmap)
{
    EXPECT_EQ(handle(lan_request(lan_entry("eth1", "192.168.1.0", "255.255.255.0", "192.168.1.1",
                  ",\"11-8\":\"10.10.1.0\",\"11-9\":\"255.255.255.0\""))),
        reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    EXPECT_NE(capture("iptables -t nat -S pre_quillmesh_nat").find("-d 10.10.1.0/24 -j NETMAP --to 192.168.1.0/24"),
        std::string::npos);
}

// ---- file store ----

TEST_F(ControlSandbox, FileThatDoesNotFitIsAnErrorAndLeavesNoFile)
{
    sh("mkdir -p /tmp/vpn_module_tbd && mount -t tmpfs -o size=8k,mode=0700 tmpfs /tmp/vpn_module_tbd");
    std::string big(40000, 'A');
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"" + big + "\",\"19-2\":1,\"19-3\":\"big.tgz\"}}]"),
        reply("[{\"T\":20,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to store base64 file: big.tgz."));
    EXPECT_EQ(capture("ls -A /tmp/vpn_module_tbd/module"), "");
    EXPECT_EQ(capture("ls -A /tmp/vpn_module_tbd"), "module\n"); // no temporary file left either
}

// ---- managing socket ----

TEST_F(ControlSandbox, ManagingSocketListensOnTheTunnelAddressOnly)
{
    EXPECT_EQ(create_managing_socket(), -1);
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to create managing socket. No IP address for interface tun0 found."));

    sh("ip tuntap add dev tun0 mode tun && ip addr add 10.8.0.2/24 dev tun0 && ip link set tun0 up");
    links_.push_back("tun0");
    int fd = create_managing_socket();
    ASSERT_GE(fd, 0);
    EXPECT_EQ(fcntl(fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
    sockaddr_in bound {};
    socklen_t len = sizeof bound;
    ASSERT_EQ(getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &len), 0);
    char text[16];
    inet_ntop(AF_INET, &bound.sin_addr, text, sizeof text);
    EXPECT_STREQ(text, "10.8.0.2");
    EXPECT_EQ(ntohs(bound.sin_port), 9995);

    const std::string client = std::string(QM_SOURCE_DIR) + "/tests/peers/control_client.py --timeout 20 ";
    EXPECT_EQ(run_shell(client + "127.0.0.1 9995 '{}' 2>/dev/null"), 2); // refused: nothing listens there
    std::string answer;
    std::thread peer([&] {
        run_shell_capture(
            client + "--source 10.8.0.2 10.8.0.2 9995 '{\"H\":{\"V\":113},\"B\":[{\"T\":99,\"DT\":{}}]}'", &answer);
    });
    int conn_fd = accept_control_connection(fd);
    EXPECT_GE(conn_fd, 0);
    if (conn_fd >= 0) {
        EXPECT_EQ(fcntl(conn_fd, F_GETFD) & FD_CLOEXEC, FD_CLOEXEC);
        fd_owner conn(conn_fd);
        std::string request;
        std::string response;
        ASSERT_TRUE(tcp_read_msg(conn.fd, request));
        ASSERT_TRUE(process_control_msg(request, response));
        EXPECT_TRUE(ovpn_write(conn.fd, response));
    }
    peer.join();
    EXPECT_EQ(answer, reply("[{\"T\":100,\"ER\":1,\"I\":0,\"MG\":\"Unsupported segment type\"}]") + "\n");
    close(fd);
}

} // namespace
