// The tunnel with a real OpenVPN: the module's init.ovpn starts the router's openvpnd as ferryd
// against Debian's openvpn as the CS's server in the sandbox's CS namespace (tests/peers).
#include "common/error.h"
#include "common/file_util.h"
#include "common/system.h"
#include "control/nat.h"
#include "support/test_support.h"
#include "tunnel/ovpn_control.h"
#include "tunnel/routes.h"

#include <cerrno>
#include <chrono>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <syslog.h>
#include <vector>

namespace
{
const std::string source_dir = QM_SOURCE_DIR;
const std::string ca_dir = "/tmp/qm-tunnel-ca";
const std::string server = source_dir + "/tests/peers/ovpn_server.sh";

std::string capture(const std::string& command)
{
    std::string output;
    run_shell_capture(command, &output);
    return output;
}

void must_run(const std::string& command)
{
    std::string output;
    int status = run_shell_capture(command, &output);
    if (status != 0) {
        fprintf(stderr, "command failed (%d): %s\n%s\n", status, command.c_str(), output.c_str());
        abort();
    }
}

void write_tunnel_settings(const std::string& remote)
{
    write_file("/opt/quillmesh/etc/settings.ovpn",
        "QUILLMESH_ENABLED=1\nQUILLMESH_TUNDEV=tun0\nQUILLMESH_PROTO=udp\n"
        "QUILLMESH_PORT=1194\nQUILLMESH_REMOTE_IPADDR="
            + remote + "\n");
}

std::string cs_address()
{
    const char* address = getenv("QM_CS_ADDR");
    return address && *address ? address : "10.99.0.1";
}

// The process number of the running tunnel process, as the router's ps shows it.
std::string ferryd_pid()
{
    std::string pid = capture("ps | grep ferryd | grep tun0 | grep -v grep | awk '{print $1}' | head -n 1");
    while (!pid.empty() && (pid.back() == '\n' || pid.back() == ' '))
        pid.pop_back();
    return pid;
}

// A line in the system log as if the tunnel process with that number had written it.
void log_as(const std::string& tag_pid, const std::string& text)
{
    run_shell("logger -t 'ferryd[" + tag_pid + "]' '" + text + "'");
    run_shell("sleep 0.3");
}

struct json_tree {
    explicit json_tree(const char* text)
        : root(cJSON_Parse(text))
    {
    }
    ~json_tree() { cJSON_Delete(root); }
    cJSON* root;
};

std::string routes_on_tun0()
{
    return capture("ip r show dev tun0 | grep -v 'proto kernel'");
}

class tunnel : public ::testing::Test
{
protected:
    static void SetUpTestSuite()
    {
        if (!in_sandbox()) {
            fprintf(stderr, "tunnel tests start OpenVPN and change routes: they run only inside qm-sandbox\n");
            abort();
        }
        must_run(source_dir + "/tests/peers/make_ca.sh " + ca_dir + " >/dev/null");
        must_run("mkdir -p /opt/quillmesh/etc && cp " + source_dir
            + "/module/etc/init.ovpn /opt/quillmesh/etc/init.ovpn && chmod 755 /opt/quillmesh/etc/init.ovpn");
        must_run(source_dir + "/module/etc/install");
    }
    static void TearDownTestSuite()
    {
        ovpn_stop();
        run_shell(server + " stop " + ca_dir);
    }
    void SetUp() override
    {
        write_tunnel_settings(cs_address());
        ASSERT_EQ(run_shell(server + " install-client " + ca_dir + " ok"), 0);
        ASSERT_EQ(run_shell(server + " start " + ca_dir + " ok"), 0);
    }
    void TearDown() override { ovpn_stop(); }

    static void serve(const std::string& mode) { ASSERT_EQ(run_shell(server + " start " + ca_dir + " " + mode), 0); }
    static void hand_out(const std::string& kind)
    {
        ASSERT_EQ(run_shell(server + " install-client " + ca_dir + " " + kind), 0);
    }
};
} // namespace

TEST_F(tunnel, restart_brings_the_tunnel_up_through_the_init_script)
{
    log_capture logs;
    ASSERT_EQ(restart_tunnel(), 1);
    char address[16] = { 0 };
    ASSERT_EQ(iface_has_address("tun0", address), 1);
    EXPECT_STREQ(address, "10.8.0.2");
    EXPECT_EQ(tunnel_status(), 1);
    EXPECT_EQ(logs.texts(),
        (std::vector<std::string> { "OVPN restarted. Waiting for tunnel to come up...", "OVPN up and running." }));

    // The tunnel process runs as ferryd, names its device, and its lines carry its number.
    std::string pid = ferryd_pid();
    ASSERT_FALSE(pid.empty());
    EXPECT_NE(capture("grep 'ferryd\\[" + pid + "\\]: Initialization Sequence Completed' /var/log/messages"), "");
    EXPECT_EQ(ovpn_log_contains_quoted("Initialization Sequence Completed"), 1);
    EXPECT_EQ(ovpn_log_contains("'Initialization Sequence'"), 1);
    EXPECT_EQ(ovpn_log_contains_quoted("AUTH_FAILED"), 0);

    // The router's own tunnel address is kept out of the one-to-one NAT.
    EXPECT_EQ(
        capture("iptables -t nat -S pre_quillmesh_nat | sed -n 2p"), "-A pre_quillmesh_nat -d 10.8.0.2/32 -j RETURN\n");

    // A real tunnel: the CS answers on its tunnel address, and on its public one.
    EXPECT_EQ(run_shell("ping -c 1 -W 5 10.8.0.1 >/dev/null"), 0);
    EXPECT_EQ(cs_reachable(), 1);

    // A second restart replaces the process and exempts its address once, at the top.
    ASSERT_EQ(restart_tunnel(), 1);
    EXPECT_NE(ferryd_pid(), pid);
    ASSERT_EQ(iface_has_address("tun0", address), 1);
    std::string rule = std::string("-A pre_quillmesh_nat -d ") + address + "/32 -j RETURN";
    EXPECT_EQ(capture("iptables -t nat -S pre_quillmesh_nat | sed -n 2p"), rule + "\n");
    EXPECT_EQ(capture("iptables -t nat -S pre_quillmesh_nat | grep -c -- '" + rule + "'"), "1\n");

    // Stopping ends the process and its device; stopping again is no error.
    EXPECT_EQ(ovpn_stop(), 1);
    EXPECT_EQ(ferryd_pid(), "");
    EXPECT_EQ(iface_has_address("tun0"), 0);
    EXPECT_EQ(tunnel_status(), 0);
    EXPECT_EQ(ovpn_stop(), 1);
}

// The address counts as soon as it is there, not at the next round of log queries.
TEST_F(tunnel, the_tunnel_counts_as_up_as_soon_as_it_has_its_address)
{
    must_run("ip tuntap add dev tun0 mode tun && ip link set tun0 up");
    must_run("(sleep 0.3; ip addr add 10.8.0.9/24 dev tun0) >/dev/null 2>&1 &");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_for_tunnel(1), 1);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    run_shell("ip link del tun0");
    EXPECT_LT(took.count(), 0.3 + 0.2);
}

TEST_F(tunnel, routes_are_added_and_deleted_through_the_tunnel_device)
{
    ASSERT_EQ(restart_tunnel(), 1);
    json_tree request(R"({"13-1":["10.30.0.0","10.31.0.0","10.32.0.0"],
                          "13-2":["255.255.0.0","255.255.0.0","255.255.255.0"],
                          "13-3":["10.30.0.0"],"13-4":["255.255.0.0"]})");
    ASSERT_NE(request.root, nullptr);
    log_capture logs;
    EXPECT_EQ(routes_manage(request.root, "13-1", "13-2", "add", "tun0"), 1);
    EXPECT_EQ(routes_on_tun0(), "10.30.0.0/16 scope link \n10.31.0.0/16 scope link \n10.32.0.0/24 scope link \n");
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "routes_manage: command: ip r add 10.30.0.0/255.255.0.0 dev tun0"));

    EXPECT_EQ(routes_manage(request.root, "13-3", "13-4", "delete", "tun0"), 1);
    EXPECT_EQ(routes_on_tun0(), "10.31.0.0/16 scope link \n10.32.0.0/24 scope link \n");

    // A missing list runs nothing; an empty one succeeds without a command.
    json_tree partial(R"({"13-1":[],"13-4":["255.255.0.0"]})");
    logs.clear();
    EXPECT_EQ(routes_manage(partial.root, "13-3", "13-4", "delete", "tun0"), 0);
    EXPECT_EQ(routes_manage(partial.root, "13-1", "13-2", "add", "tun0"), 0);
    json_tree empty(R"({"13-1":[],"13-2":[]})");
    EXPECT_EQ(routes_manage(empty.root, "13-1", "13-2", "add", "tun0"), 1);
    EXPECT_TRUE(logs.lines().empty());
}

TEST_F(tunnel, a_failing_route_command_ends_its_list)
{
    ASSERT_EQ(restart_tunnel(), 1);
    ASSERT_EQ(run_shell("ip r add 10.51.0.0/16 dev tun0"), 0);
    json_tree request(R"({"13-1":["10.50.0.0","10.51.0.0","10.52.0.0"],
                          "13-2":["255.255.0.0","255.255.0.0","255.255.0.0"]})");
    log_capture logs;
    EXPECT_EQ(routes_manage(request.root, "13-1", "13-2", "add", "tun0"), 0);
    EXPECT_EQ(routes_on_tun0(), "10.50.0.0/16 scope link \n10.51.0.0/16 scope link \n");
    EXPECT_TRUE(logs.contains(LOG_ERR, "Operation add for route 10.51.0.0/255.255.0.0 failed."));
    EXPECT_FALSE(logs.contains_text("routes_manage: command: ip r add 10.52.0.0/255.255.0.0 dev tun0"));
}

TEST_F(tunnel, hostile_route_texts_change_nothing)
{
    ASSERT_EQ(restart_tunnel(), 1);
    const char* requests[] = {
        R"({"13-1":["1.2.3.4;>/tmp/q"],"13-2":["255.255.255.255"]})",
        R"({"13-1":["10.60.0.0"],"13-2":["255.255.0.0;>/tmp/q"]})",
        R"j({"13-1":["$(>/tmp/q)"],"13-2":["255.255.0.0"]})j",
        R"({"13-1":["10.60.0.0"],"13-2":["255.255.0.0 dev lo"]})",
        R"({"13-1":["10.60.0.0"],"13-2":["255.0.255.0"]})",
        R"({"13-1":["10.60.0.0/8"],"13-2":["255.0.0.0"]})",
        R"({"13-1":[167772160],"13-2":["255.0.0.0"]})",
        R"({"13-1":["10.60.0.0"],"13-2":[16]})",
        R"({"13-1":"10.60.0.0","13-2":"255.255.0.0"})",
    };
    std::string before = routes_on_tun0();
    log_capture logs;
    for (const char* text : requests) {
        json_tree request(text);
        ASSERT_NE(request.root, nullptr) << text;
        EXPECT_EQ(routes_manage(request.root, "13-1", "13-2", "add", "tun0"), 0) << text;
    }
    EXPECT_EQ(routes_on_tun0(), before);
    EXPECT_FALSE(file_exists("/tmp/q"));
    EXPECT_FALSE(logs.contains_text("routes_manage: command: ip r add 10.60.0.0/255.255.0.0 dev lo"));
    EXPECT_TRUE(logs.contains(LOG_ERR,
        "Operation add stopped: invalid network address 1.2.3.4;>/tmp/q at position 0 "
        "of 13-1."));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Operation add stopped: invalid netmask 16 at position 0 of 13-2."));

    // A device name that is no interface name is refused as well.
    json_tree good(R"({"13-1":["10.61.0.0"],"13-2":["255.255.0.0"]})");
    EXPECT_EQ(routes_manage(good.root, "13-1", "13-2", "add", "tun0;>/tmp/q"), 0);
    EXPECT_FALSE(file_exists("/tmp/q"));

    // A netmask list shorter than the address list ends at the first address without one.
    json_tree shorter(R"({"13-1":["10.62.0.0","10.63.0.0"],"13-2":["255.255.0.0"]})");
    logs.clear();
    EXPECT_EQ(routes_manage(shorter.root, "13-1", "13-2", "add", "tun0"), 0);
    EXPECT_EQ(routes_on_tun0(), before + "10.62.0.0/16 scope link \n");
    EXPECT_TRUE(logs.contains(LOG_ERR, "Operation add stopped: invalid netmask (missing) at position 1 of 13-2."));
}

TEST_F(tunnel, a_refused_client_gives_the_authentication_code_and_a_down_tunnel_takes_no_routes)
{
    serve("auth");
    log_capture logs;
    errno = 0;
    EXPECT_EQ(restart_tunnel(), 0);
    EXPECT_EQ(errno, QM_ERR_TUNNEL_AUTH_FAILED);
    EXPECT_TRUE(logs.contains(LOG_ERR, "Unable to establish OVPN tunnel (error: 268)."));
    EXPECT_EQ(tunnel_status(), 0);

    json_tree request(R"({"13-1":["10.70.0.0"],"13-2":["255.255.0.0"]})");
    logs.clear();
    EXPECT_EQ(routes_manage(request.root, "13-1", "13-2", "add", "tun0"), 0);
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to set routes. OVPN tunnel is down."));
    EXPECT_EQ(capture("ip r | grep 10.70.0.0"), "");
}

TEST_F(tunnel, only_the_lines_of_the_current_tunnel_process_count)
{
    serve("auth");
    ASSERT_EQ(restart_tunnel(), 0);
    serve("ok");
    ASSERT_EQ(restart_tunnel(), 1);
    ASSERT_NE(capture("grep AUTH_FAILED /var/log/messages"), "");
    EXPECT_EQ(ovpn_log_contains_quoted("AUTH_FAILED"), 0);
    EXPECT_EQ(tunnel_status(), 1);

    // Lines of other processes whose numbers merely contain the current one do not count either.
    std::string pid = ferryd_pid();
    ASSERT_FALSE(pid.empty());
    log_as(pid + "0", "AUTH_FAILED");
    log_as("1" + pid, "Inactivity timeout (--ping-restart), restarting");
    EXPECT_EQ(ovpn_log_contains_quoted("AUTH_FAILED"), 0);
    EXPECT_EQ(tunnel_status(), 1);

    // The newest of the start-up, inactivity and authentication lines decides, whatever the device.
    log_as(pid, "Inactivity timeout (--ping-restart), restarting");
    EXPECT_EQ(iface_has_address("tun0"), 1);
    EXPECT_EQ(tunnel_status(), 0);
    log_as(pid, "Initialization Sequence Completed");
    EXPECT_EQ(tunnel_status(), 1);
}

// A server of another CA, and another device of the same CA posing as the server.
TEST_F(tunnel, a_server_certificate_that_is_not_the_cas_server_gives_the_certificate_code)
{
    for (const char* mode : { "other-ca", "fleet" }) {
        serve(mode);
        errno = 0;
        EXPECT_EQ(restart_tunnel(), 0) << mode;
        EXPECT_EQ(errno, QM_ERR_TUNNEL_CREDENTIALS) << mode;
        EXPECT_EQ(tunnel_status(), 0) << mode;
        ovpn_stop();
    }
}

TEST_F(tunnel, an_expired_client_certificate_gives_the_certificate_code)
{
    hand_out("expired");
    errno = 0;
    EXPECT_EQ(restart_tunnel(), 0);
    EXPECT_EQ(errno, QM_ERR_TUNNEL_CREDENTIALS);
    EXPECT_EQ(ovpn_log_contains_quoted("WARNING: Your certificate has expired!"), 1);
}

TEST_F(tunnel, missing_credentials_fail_the_init_script_and_clear_a_stale_code)
{
    ASSERT_EQ(ovpn_credentials_present(), 1);
    ASSERT_EQ(ovpn_credentials_delete(), 1);
    EXPECT_EQ(ovpn_credentials_present(), 0);
    log_capture logs;
    // A code left by an earlier start must not be read as this failure's reason.
    errno = QM_ERR_TUNNEL_CREDENTIALS;
    EXPECT_EQ(restart_tunnel(), 0);
    EXPECT_EQ(errno, 0);
    EXPECT_EQ(logs.texts(), std::vector<std::string> { "OVPN restart failed." });

    // Deletion stops at the first file that is not there.
    hand_out("ok");
    ASSERT_EQ(unlink(OVPN_CA_CERT_PATH), 0);
    EXPECT_EQ(ovpn_credentials_delete(), 0);
    EXPECT_TRUE(file_exists(OVPN_CLIENT_CERT_PATH));
    EXPECT_TRUE(file_exists(OVPN_CLIENT_KEY_PATH));
    EXPECT_EQ(ovpn_credentials_present(), 0);
}

TEST_F(tunnel, reachability_of_the_cs_address)
{
    EXPECT_EQ(cs_reachable(), 1);
    write_tunnel_settings("10.99.0.77");
    EXPECT_EQ(cs_reachable(), 0);
    write_tunnel_settings("1.2`>/tmp/q`");
    EXPECT_EQ(cs_reachable(), 0);
    EXPECT_NE(ping_host("-f 10.99.0.1"), 0);
    EXPECT_FALSE(file_exists("/tmp/q"));
    EXPECT_EQ(iface_has_address(nullptr), 0);
    EXPECT_EQ(iface_has_address("no-such-if"), 0);
}

// Slow: waits out the whole minute.
TEST_F(tunnel, a_server_that_is_down_gives_the_timeout_code_within_the_minute)
{
    ASSERT_EQ(run_shell(server + " stop " + ca_dir), 0);
    errno = 0;
    EXPECT_EQ(restart_tunnel(), 0);
    EXPECT_EQ(errno, QM_ERR_TUNNEL_NO_ADDRESS);
}
