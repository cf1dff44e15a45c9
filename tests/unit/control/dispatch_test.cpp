// Control message handling inside the router sandbox (its files are real) with the recording
// backend in place of the router's commands: the exact response texts, the commands and files
// each request leads to, and what a refused request never reaches.
#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/system_recording.h"
#include "control/dispatch.h"
#include "control/file_store.h"
#include "control/lan_setup.h"
#include "support/test_support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

class ControlDispatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test writes the router's files: run it in the router sandbox";
        ASSERT_EQ(system("mkdir -p /opt/quillmesh/etc && rm -rf /tmp/vpn_module_tbd /etc/settings.*"), 0);
        unlink(LAN_STAGING_PATH);
        // The loopback device stands for a tunnel that is up.
        write_file("/opt/quillmesh/etc/settings.ovpn", "QUILLMESH_TUNDEV=lo\nQUILLMESH_REMOTE_IPADDR=10.8.0.1\n");
    }

    // The response text, or "no response" when nothing is to be sent.
    std::string handle(const std::string& body)
    {
        std::string response;
        bool ok = process_control_msg("{\"H\":{\"V\":113},\"B\":" + body + "}", response);
        return ok ? response : "no response";
    }

    static std::string reply(const std::string& segments) { return "{\"B\":" + segments + ",\"H\":{\"V\":113}}"; }

    // The recorded commands that begin with `prefix`.
    std::vector<std::string> commands(const std::string& prefix) const
    {
        std::vector<std::string> found;
        for (const std::string& c : sys.commands) {
            if (c.compare(0, prefix.size(), prefix) == 0)
                found.push_back(c);
        }
        return found;
    }

    recording_system sys;
    log_capture logs;
};

// A LAN entry for network 192.168.<net>.0/24.
std::string lan_entry(const std::string& name, int net = 5, const std::string& extra = "")
{
    std::string n = "192.168." + std::to_string(net) + ".";
    return "{\"11-1\":\"" + n + "0\",\"11-2\":\"255.255.255.0\",\"11-3\":\"" + name + "\",\"11-4\":\"" + n
        + "1\",\"11-5\":\"1\",\"11-6\":\"" + n + "100\",\"11-7\":\"" + n + "200\"" + extra + "}";
}

std::string lan_request(const std::string& entries)
{
    return "[{\"T\":11,\"DT\":[" + entries + "]}]";
}

TEST_F(ControlDispatch, EmptyBodyIsAnsweredEmptyAndRestartsNothing)
{
    EXPECT_EQ(handle("[]"), "{\"B\":[],\"H\":{\"V\":113}}");
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Services to restart: bard: 0, eth: 0, wifi: 0"));
}

TEST_F(ControlDispatch, EverySegmentIsAnsweredInOrderWithItsIndex)
{
    EXPECT_EQ(handle("[{\"T\":17,\"DT\":{}},{\"T\":99,\"DT\":{}}]"),
        reply("[{\"T\":18,\"ER\":0,\"I\":0},{\"T\":100,\"ER\":1,\"I\":1,\"MG\":\"Unsupported segment type\"}]"));
    EXPECT_EQ(sys.commands.front(), "/opt/quillmesh/etc/init.ovpn  restart");
    EXPECT_TRUE(logs.contains(LOG_ERR, "Received a message with invalid/unsupported type: 99."));
}

TEST_F(ControlDispatch, FailedTunnelRestartIsAnErrorSegment)
{
    sys.script("/opt/quillmesh/etc/init.ovpn", 1);
    EXPECT_EQ(handle("[{\"T\":17,\"DT\":[]}]"), reply("[{\"T\":18,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to restart OVPN tunnel although CS commanded us to do so."));
}

TEST_F(ControlDispatch, SegmentWithoutPayloadFailsAloneAndTheNextIsServed)
{
    EXPECT_EQ(handle("[{\"T\":13},{\"T\":13,\"DT\":{\"13-1\":[\"10.20.0.0\"],\"13-2\":[\"255.255.0.0\"],"
                     "\"13-3\":[\"10.30.0.0\"],\"13-4\":[\"255.255.255.0\"]}}]"),
        reply("[{\"T\":14,\"ER\":1,\"I\":0},{\"T\":14,\"ER\":0,\"I\":1}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Object [DT] could not be found in JSON string '{\"T\":13}'."));
    EXPECT_EQ(sys.commands,
        (std::vector<std::string> {
            "ip r delete 10.30.0.0/255.255.255.0 dev lo", "ip r add 10.20.0.0/255.255.0.0 dev lo" }));
}

TEST_F(ControlDispatch, RouteRequestsWithoutListsOrWithNonTextElementsChangeNothing)
{
    EXPECT_EQ(handle("[{\"T\":13,\"DT\":{\"13-2\":[\"255.0.0.0\"]}},{\"T\":13,\"DT\":{\"13-1\":[\"10.0.0.0\"]}},"
                     "{\"T\":13,\"DT\":{\"13-1\":[10],\"13-2\":[\"255.0.0.0\"]}},"
                     "{\"T\":13,\"DT\":{\"13-1\":\"10.0.0.0\",\"13-2\":[\"255.0.0.0\"]}}]"),
        reply("[{\"T\":14,\"ER\":1,\"I\":0},{\"T\":14,\"ER\":1,\"I\":1},{\"T\":14,\"ER\":1,\"I\":2},"
              "{\"T\":14,\"ER\":1,\"I\":3}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Message with routing information is malformed. List of IPs is missing."));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Message with routing information is malformed. List of netmasks is missing."));
    EXPECT_TRUE(sys.commands.empty());
}

TEST_F(ControlDispatch, MessagesThatCannotBeAnsweredGetNoResponse)
{
    std::string response = "untouched";
    EXPECT_FALSE(process_control_msg("{\"H\":{\"V\":113},\"B\":[", response));
    EXPECT_TRUE(logs.contains(LOG_ERR, "process_control_msg: Malformed JSON message, can not be parsed."));
    EXPECT_EQ(handle("[{\"DT\":{}}]"), "no response"); // no "T"
    EXPECT_EQ(handle("[{\"T\":\"17\",\"DT\":{}}]"), "no response");
    EXPECT_EQ(handle("[{\"T\":2147483647,\"DT\":{}}]"), "no response");
    EXPECT_EQ(handle("{\"T\":17,\"DT\":{}}"), "no response"); // "B" not a list
    EXPECT_FALSE(process_control_msg("{\"H\":{\"V\":113}}", response));
    EXPECT_EQ(response, "untouched");
    errno = 0;
    EXPECT_FALSE(process_control_msg("{\"H\":{\"V\":112},\"B\":[{\"T\":17,\"DT\":{}}]}", response));
    EXPECT_EQ(errno, QM_ERR_VERSION_MISMATCH);
    EXPECT_TRUE(sys.commands.empty());
}

TEST_F(ControlDispatch, InventoryOfARouterWithoutLanSettingsIsEmpty)
{
    EXPECT_EQ(handle("[{\"T\":15,\"DT\":{}}]"), reply("[{\"T\":16,\"ER\":0,\"I\":0,\"DT\":{\"16-1\":[]}}]"));
}

// ---- LAN setup ----

TEST_F(ControlDispatch, LanEntriesReachTheStagingFileFieldByField)
{
    EXPECT_EQ(handle(lan_request(lan_entry("eth1") + ","
                  + lan_entry("wlan0", 6, ",\"11-8\":\"10.10.1.0\",\"11-9\":\"255.255.255.0\""))),
        reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    // Without /etc/settings.wlan the wireless values go to the access point's keys.
    EXPECT_EQ(read_file(LAN_STAGING_PATH),
        "ETH2_IPADDR=192.168.5.1\nETH2_NETMASK=255.255.255.0\nETH2_NETWORK=192.168.5.0\nETH2_DHCP_POOL_ENABLED=1\n"
        "ETH2_DHCP_POOL_LO=192.168.5.100\nETH2_DHCP_POOL_HI=192.168.5.200\nETH2_BOOTPROTO=static\n"
        "WIFI_AP_IPADDR=192.168.6.1\nWIFI_AP_NETMASK=255.255.255.0\nWIFI_AP_NETWORK=192.168.6.0\n"
        "WIFI_AP_DHCP_POOL_ENABLED=1\nWIFI_AP_DHCP_POOL_LO=192.168.6.100\nWIFI_AP_DHCP_POOL_HI=192.168.6.200\n");
    EXPECT_EQ(commands("/usr/sbin/restore"),
        (std::vector<std::string> { "/usr/sbin/restore /opt/quillmesh/etc/settings.lan" }));
    EXPECT_EQ(commands("iptables -t nat -A pre_quillmesh_nat"),
        (std::vector<std::string> { "iptables -t nat -A pre_quillmesh_nat -d 10.10.1.0/255.255.255.0 -j NETMAP --to "
                                    "192.168.6.0/255.255.255.0" }));
}

TEST_F(ControlDispatch, LanOutcomesAreAnsweredAsTheCatalogueSays)
{
    write_file("/etc/settings.eth", "ETH_IPADDR=192.168.5.1\nETH_NETMASK=255.255.255.0\nETH_NETWORK=192.168.5.0\n");
    EXPECT_EQ(handle(lan_request(lan_entry("eth1"))),
        reply("[{\"T\":12,\"ER\":1,\"I\":0,\"MG\":\"Conflicting LAN address\"}]"));
    // Restore fails and the router's files do not hold the values.
    sys.script("/usr/sbin/restore", 1);
    EXPECT_EQ(handle(lan_request(lan_entry("eth1", 7))), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
}

TEST_F(ControlDispatch, ServicesAreRestartedAfterAllSegmentsInFixedOrder)
{
    EXPECT_EQ(
        handle("[{\"T\":11,\"DT\":[" + lan_entry("wlan0") + "," + lan_entry("eth0", 6) + "]},{\"T\":17,\"DT\":{}}]"),
        reply("[{\"T\":12,\"ER\":0,\"I\":0},{\"T\":18,\"ER\":0,\"I\":1}]"));
    EXPECT_EQ(commands("/sbin/service"),
        (std::vector<std::string> {
            "/sbin/service bard restart", "/sbin/service wifi restart", "/sbin/service eth restart" }));
    EXPECT_EQ(sys.commands.back(), "/sbin/service eth restart");
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Services to restart: bard: 1, eth: 1, wifi: 1"));
}

TEST_F(ControlDispatch, FailedServiceRestartMeansNoResponse)
{
    for (const auto& c : { std::make_pair("bard", "Not able to restart bard service."),
             std::make_pair("wifi", "Not able to restart wifi service."),
             std::make_pair("eth", "Not able to restart service eth.") }) {
        sys.script(std::string("/sbin/service ") + c.first, 1, "", 1);
        EXPECT_EQ(handle(lan_request(lan_entry("eth0") + "," + lan_entry("wlan0", 6))), "no response");
        EXPECT_TRUE(logs.contains(LOG_ERR, c.second)) << c.first;
    }
}

TEST_F(ControlDispatch, UnsupportedInterfaceNamesFailTheWholeSegmentBeforeSetup)
{
    for (const char* name :
        { "eth7", "usb0", "eth0;reboot", "eth0 x", "br0$(reboot)", "wlan0\nETH_IPADDR=1", "eth0123456789abcd", "" }) {
        SCOPED_TRACE(name);
        logs.clear();
        cJSON* n = cJSON_CreateString(name);
        char* quoted = cJSON_PrintUnformatted(n);
        std::string entry = lan_entry("X", 6);
        entry.replace(entry.find("\"X\""), 3, quoted);
        cJSON_free(quoted);
        cJSON_Delete(n);
        EXPECT_EQ(handle(lan_request(lan_entry("eth1") + "," + entry)), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
        EXPECT_TRUE(
            logs.contains(LOG_ERR, std::string("The ") + name + " is not a name of supported network interface."));
        EXPECT_TRUE(logs.contains(LOG_ERR, "Unable to parse LAN information obtained from CS."));
    }
    EXPECT_TRUE(sys.commands.empty());
    EXPECT_FALSE(file_exists(LAN_STAGING_PATH));
}

TEST_F(ControlDispatch, LanValuesOfTheWrongShapeOrKindFailBeforeSetup)
{
    struct bad {
        const char* key;
        const char* value; // JSON text
    } cases[] = {
        { "11-1", "\"192.168.5.0\\nETH_IPADDR=1.2.3.4\"" },
        { "11-1", "\"192.168.5\"" },
        { "11-2", "\"255.0.255.0\"" },
        { "11-2", "\"24\"" },
        { "11-4", "\"192.168.5.1;reboot\"" },
        { "11-4", "3232236801" },
        { "11-5", "\"1;reboot\"" },
        { "11-6", "\" \"" },
        { "11-5", "1" },
        { "11-6", "\"192.168.5.300\"" },
        { "11-7", "null" },
        { "11-8", "\"10.10.1.0 -j ACCEPT;reboot\"" },
        { "11-8", "[\"10.10.1.0\"]" },
        { "11-9", "\"255.255.0.255\"" },
    };
    for (const bad& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        std::string entry = lan_entry("eth0", 5, ",\"11-8\":\"10.10.1.0\",\"11-9\":\"255.255.255.0\"");
        // Replace the key's value (later duplicates are not seen by the case-insensitive lookup).
        size_t at = entry.find(std::string("\"") + c.key + "\":");
        size_t start = at + strlen(c.key) + 3;
        size_t end = entry.find_first_of(",}", start);
        entry.replace(start, end - start, c.value);
        EXPECT_EQ(handle(lan_request(entry)), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    }
    // A virtual network needs its netmask; a payload that is not a list is malformed.
    EXPECT_EQ(
        handle(lan_request(lan_entry("eth0", 5, ",\"11-8\":\"10.10.1.0\""))), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_EQ(handle("[{\"T\":11,\"DT\":" + lan_entry("eth0") + "}]"), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_EQ(handle("[{\"T\":11,\"DT\":[\"eth0\"]}]"), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(sys.commands.empty());
    // The values are checked in the order of their keys: the log names the lowest bad key.
    std::string entry = lan_entry("eth0");
    entry.replace(entry.find("192.168.5.0"), 11, "x").replace(entry.find("192.168.5.1\""), 11, "y");
    handle(lan_request(entry));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Invalid value of 11-1 for eth0: 'x'."));
    EXPECT_FALSE(file_exists(LAN_STAGING_PATH));
}

// ---- file store ----

TEST_F(ControlDispatch, FilesGoToTheDirectoryOfTheirKindAndAnUnknownKindCreatesNone)
{
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"IyEvYmluL3NoCg\",\"19-2\":3,\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"\",\"19-2\":1,\"19-3\":\"m.tgz\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":4,\"19-3\":\"x.cfg\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"AAEC/w==\",\"19-2\":2,\"19-3\":\"a.cfg\"}}]"),
        reply("[{\"T\":20,\"ER\":0,\"I\":0},{\"T\":20,\"ER\":0,\"I\":1},"
              "{\"T\":20,\"ER\":1,\"I\":2,\"MG\":\"Unknown file type\"},{\"T\":20,\"ER\":0,\"I\":3}]"));
    EXPECT_EQ(read_file("/tmp/vpn_module_tbd/script/up.sh"), "#!/bin/sh\n");
    EXPECT_EQ(read_file("/tmp/vpn_module_tbd/module/m.tgz"), "");
    EXPECT_EQ(read_file("/tmp/vpn_module_tbd/config/a.cfg"), std::string("\x00\x01\x02\xff", 4));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Parsed file name: x.cfg Type: 4"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Unknown file type: 4"));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd/x.cfg"));
}

TEST_F(ControlDispatch, HostileFileNamesAreRefusedAndTheNextRequestServed)
{
    std::string long_name(65, 'a');
    for (const std::string& name : { std::string("../../etc/shadow"), std::string("x;reboot"), std::string("a/b"),
             std::string("."), std::string(".."), std::string(""), std::string("up.sh\n"), std::string("$(reboot)"),
             std::string("a b"), long_name }) {
        SCOPED_TRACE(name);
        cJSON* n = cJSON_CreateString(name.c_str());
        char* quoted = cJSON_PrintUnformatted(n);
        std::string body = std::string("[{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3,\"19-3\":") + quoted
            + "}},{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3,\"19-3\":\"ok.sh\"}}]";
        cJSON_free(quoted);
        cJSON_Delete(n);
        logs.clear();
        EXPECT_EQ(handle(body), reply("[{\"T\":20,\"ER\":1,\"I\":0},{\"T\":20,\"ER\":0,\"I\":1}]"));
        EXPECT_TRUE(logs.contains(LOG_ERR, "Refused file name from CS: '" + name + "'."));
    }
    EXPECT_FALSE(file_exists("/etc/shadow") && read_file("/etc/shadow") == "Man");
    EXPECT_TRUE(sys.commands.empty());
    sys.run_unscripted = true;
    std::string listing;
    run_shell_capture("ls -A /tmp/vpn_module_tbd/script", &listing);
    EXPECT_EQ(listing, "ok.sh\n");
    // 64 characters is the longest name taken.
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"\",\"19-2\":3,\"19-3\":\"" + std::string(64, 'b') + "\"}}]"),
        reply("[{\"T\":20,\"ER\":0,\"I\":0}]"));
}

TEST_F(ControlDispatch, FileStoreFieldsOfTheWrongKindAreMalformed)
{
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":5,\"19-2\":3,\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":\"3\",\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3,\"19-3\":[\"up.sh\"]}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3}}]"),
        reply("[{\"T\":20,\"ER\":1,\"I\":0},{\"T\":20,\"ER\":1,\"I\":1},{\"T\":20,\"ER\":1,\"I\":2},"
              "{\"T\":20,\"ER\":1,\"I\":3}]"));
    EXPECT_FALSE(file_exists("/tmp/vpn_module_tbd"));
}

// ---- internet mode ----

TEST_F(ControlDispatch, InternetModeIsReadAsLeadingDecimalDigits)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"1abc\"}},{\"T\":23,\"DT\":{\"23-1\":\" 0\"}}]"),
        reply("[{\"T\":24,\"ER\":0,\"I\":0},{\"T\":24,\"ER\":0,\"I\":1}]"));
    // Enabling first tests for the chain, disabling first creates it.
    EXPECT_EQ(sys.commands.front(), "iptables -nL iint_quillmesh -t filter -w >/dev/null 2>/dev/null");
    EXPECT_EQ(commands("iptables -n --list iint_quillmesh").size(), 1u);
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Setting internet connection mode to: enabled"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Setting internet connection mode to: disabled"));
}

TEST_F(ControlDispatch, InternetModeWithoutNumberOrOfTheWrongKindHasNoMessage)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"abc\"}},{\"T\":23,\"DT\":{\"23-1\":1}},"
                     "{\"T\":23,\"DT\":{\"23-1\":\"99999999999\"}},{\"T\":23,\"DT\":{}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0},{\"T\":24,\"ER\":1,\"I\":1},{\"T\":24,\"ER\":1,\"I\":2},"
              "{\"T\":24,\"ER\":1,\"I\":3}]"));
    EXPECT_TRUE(sys.commands.empty());
}

TEST_F(ControlDispatch, UnknownModeAndFirewallFailureCarryTheMessage)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"2\"}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0,\"MG\":\"Setting internet connection failed.\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Manage Internet Connection: unknown mode: 2"));
    sys.script("iptables -n --list", 1); // no chain can be created
    sys.script("iptables -F", 1); // nor flushed
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"0\"}},{\"T\":23,\"DT\":{\"23-1\":\"1\"}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0,\"MG\":\"Setting internet connection failed.\"},"
              "{\"T\":24,\"ER\":1,\"I\":1,\"MG\":\"Setting internet connection failed.\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Setting internet connection to disabled failed."));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Setting internet connection to enabled failed."));
}

} // namespace
