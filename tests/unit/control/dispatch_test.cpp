// Control message handling with the router-changing operations replaced by recording fakes:
// the exact response texts, what reaches the operations, and what never does.
#include "common/error.h"
#include "common/log.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "control/managing_socket.h"
#include "control/file_store.h"
#include "control/dispatch.h"
#include "support/test_support.h"

#include <cerrno>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <string>
#include <vector>

namespace
{

struct recorder {
    std::vector<std::string> calls;
    std::vector<lan_iface_cfg> lan_list;
    lan_setup_result lan_result = lan_setup_result::success;
    uint32_t lan_restart = RESTART_BARD;
    std::vector<lan_iface_cfg> inventory;
    int restart_result = 1;
    bool store_result = true;
    bool firewall_result = true;
    std::string failing_service;
};

recorder* rec = nullptr;

const control_handlers fakes = {
    [](const std::vector<lan_iface_cfg>& list, uint32_t* restart_set) {
        rec->calls.push_back("lan_setup");
        rec->lan_list = list;
        *restart_set |= rec->lan_restart;
        return rec->lan_result;
    },
    [](const cJSON*, const char* ip_key, const char* mask_key, const char* op, const char* dev) {
        rec->calls.push_back(std::string("routes ") + ip_key + " " + mask_key + " " + op + " " + dev);
        return 1;
    },
    []() {
        rec->calls.push_back("inventory");
        return rec->inventory;
    },
    []() {
        rec->calls.push_back("ovpn_restart");
        return rec->restart_result;
    },
    [](const std::string& directory) {
        rec->calls.push_back("claim " + directory);
        return true;
    },
    [](const std::string& content, const std::string& path) {
        rec->calls.push_back("store " + path + " " + content);
        return rec->store_result;
    },
    []() {
        rec->calls.push_back("disable_internet");
        return rec->firewall_result;
    },
    []() {
        rec->calls.push_back("enable_internet");
        return rec->firewall_result;
    },
    [](const char* name) {
        rec->calls.push_back(std::string("restart ") + name);
        return rec->failing_service != name;
    },
    [](char* buffer) { strcpy(buffer, "tun0"); },
};

class ControlDispatch : public ::testing::Test
{
protected:
    void SetUp() override
    {
        rec = &r;
        set_control_handlers(&fakes);
    }
    void TearDown() override
    {
        set_control_handlers(nullptr);
        rec = nullptr;
    }

    // The response text, or "no response" when nothing is to be sent.
    std::string handle(const std::string& body)
    {
        std::string response;
        bool ok = process_control_msg("{\"H\":{\"V\":113},\"B\":" + body + "}", response);
        return ok ? response : "no response";
    }

    static std::string reply(const std::string& segments) { return "{\"B\":" + segments + ",\"H\":{\"V\":113}}"; }

    recorder r;
    log_capture logs;
};

std::string lan_entry(const std::string& name, const std::string& extra = "")
{
    return "{\"11-1\":\"192.168.5.0\",\"11-2\":\"255.255.255.0\",\"11-3\":\"" + name
        + "\",\"11-4\":\"192.168.5.1\",\"11-5\":\"1\",\"11-6\":\"192.168.5.100\",\"11-7\":\"192.168.5.200\"" + extra
        + "}";
}

std::string lan_request(const std::string& entries)
{
    return "[{\"T\":11,\"DT\":[" + entries + "]}]";
}

TEST_F(ControlDispatch, EmptyBodyIsAnsweredEmptyAndRestartsNothing)
{
    EXPECT_EQ(handle("[]"), "{\"B\":[],\"H\":{\"V\":113}}");
    EXPECT_TRUE(r.calls.empty());
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Services to restart: bard: 0, eth: 0, wifi: 0"));
}

TEST_F(ControlDispatch, EverySegmentIsAnsweredInOrderWithItsIndex)
{
    EXPECT_EQ(handle("[{\"T\":17,\"DT\":{}},{\"T\":99,\"DT\":{}}]"),
        reply("[{\"T\":18,\"ER\":0,\"I\":0},{\"T\":100,\"ER\":1,\"I\":1,\"MG\":\"Unsupported segment type\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Received a message with invalid/unsupported type: 99."));
}

TEST_F(ControlDispatch, FailedTunnelRestartIsAnErrorSegment)
{
    r.restart_result = 0;
    EXPECT_EQ(handle("[{\"T\":17,\"DT\":[]}]"), reply("[{\"T\":18,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to restart OVPN tunnel although CS commanded us to do so."));
}

TEST_F(ControlDispatch, SegmentWithoutPayloadFailsAloneAndTheNextIsServed)
{
    EXPECT_EQ(handle("[{\"T\":13},{\"T\":13,\"DT\":{\"13-1\":[\"10.20.0.0\"],\"13-2\":[\"255.255.0.0\"]}}]"),
        reply("[{\"T\":14,\"ER\":1,\"I\":0},{\"T\":14,\"ER\":0,\"I\":1}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Object [DT] could not be found in JSON string '{\"T\":13}'."));
    EXPECT_EQ(r.calls, (std::vector<std::string> { "routes 13-3 13-4 delete tun0", "routes 13-1 13-2 add tun0" }));
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
    EXPECT_TRUE(r.calls.empty());
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
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(ControlDispatch, OtherProtocolVersionLeavesTheVersionCode)
{
    std::string response;
    errno = 0;
    EXPECT_FALSE(process_control_msg("{\"H\":{\"V\":112},\"B\":[{\"T\":17,\"DT\":{}}]}", response));
    EXPECT_EQ(errno, QM_ERR_VERSION_MISMATCH);
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(ControlDispatch, InventoryListsInterfacesInTheFixedMemberOrder)
{
    lan_iface_cfg eth0;
    eth0.iface = "eth0";
    eth0.address = "192.168.1.1";
    eth0.network = "192.168.1.0";
    eth0.netmask = "255.255.255.0";
    eth0.dhcp_enabled = "1";
    eth0.dhcp_low = "192.168.1.100";
    eth0.dhcp_high = "192.168.1.200";
    lan_iface_cfg br0;
    br0.iface = "br0";
    r.inventory = { eth0, br0 };
    EXPECT_EQ(handle("[{\"T\":15,\"DT\":{}}]"),
        reply("[{\"T\":16,\"ER\":0,\"I\":0,\"DT\":{\"16-1\":[{\"16-4\":\"eth0\",\"16-5\":\"192.168.1.1\","
              "\"16-2\":\"192.168.1.0\",\"16-3\":\"255.255.255.0\",\"16-6\":\"1\",\"16-7\":\"192.168.1.100\","
              "\"16-8\":\"192.168.1.200\"},{\"16-4\":\"br0\",\"16-5\":\"\",\"16-2\":\"\",\"16-3\":\"\","
              "\"16-6\":\"\",\"16-7\":\"\",\"16-8\":\"\"}]}}]"));
    r.inventory.clear();
    EXPECT_EQ(handle("[{\"T\":15,\"DT\":{}}]"), reply("[{\"T\":16,\"ER\":0,\"I\":0,\"DT\":{\"16-1\":[]}}]"));
}

// ---- LAN setup ----

TEST_F(ControlDispatch, LanEntriesReachTheSetupFieldByField)
{
    EXPECT_EQ(handle(lan_request(
                  lan_entry("eth1") + "," + lan_entry("wlan0", ",\"11-8\":\"10.10.1.0\",\"11-9\":\"255.255.255.0\""))),
        reply("[{\"T\":12,\"ER\":0,\"I\":0}]"));
    ASSERT_EQ(r.lan_list.size(), 2u);
    const lan_iface_cfg& a = r.lan_list[0];
    EXPECT_EQ(a.iface, "eth1");
    EXPECT_EQ(a.network, "192.168.5.0");
    EXPECT_EQ(a.netmask, "255.255.255.0");
    EXPECT_EQ(a.address, "192.168.5.1");
    EXPECT_EQ(a.dhcp_enabled, "1");
    EXPECT_EQ(a.dhcp_low, "192.168.5.100");
    EXPECT_EQ(a.dhcp_high, "192.168.5.200");
    EXPECT_FALSE(a.virtual_network);
    EXPECT_FALSE(a.virtual_netmask);
    const lan_iface_cfg& b = r.lan_list[1];
    ASSERT_TRUE(b.virtual_network && b.virtual_netmask);
    EXPECT_EQ(*b.virtual_network, "10.10.1.0");
    EXPECT_EQ(*b.virtual_netmask, "255.255.255.0");
}

TEST_F(ControlDispatch, LanOutcomesAreAnsweredAsTheCatalogueSays)
{
    r.lan_result = lan_setup_result::conflict;
    EXPECT_EQ(handle(lan_request(lan_entry("eth0"))),
        reply("[{\"T\":12,\"ER\":1,\"I\":0,\"MG\":\"Conflicting LAN address\"}]"));
    r.lan_result = lan_setup_result::failure;
    EXPECT_EQ(handle(lan_request(lan_entry("br0"))), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
}

TEST_F(ControlDispatch, ServicesAreRestartedAfterAllSegmentsInFixedOrder)
{
    r.lan_restart = RESTART_BARD | RESTART_ETH | RESTART_WIFI;
    EXPECT_EQ(handle("[{\"T\":11,\"DT\":[" + lan_entry("eth0") + "]},{\"T\":17,\"DT\":{}}]"),
        reply("[{\"T\":12,\"ER\":0,\"I\":0},{\"T\":18,\"ER\":0,\"I\":1}]"));
    EXPECT_EQ(r.calls,
        (std::vector<std::string> { "lan_setup", "ovpn_restart", "restart bard", "restart wifi", "restart eth" }));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Services to restart: bard: 1, eth: 1, wifi: 1"));
}

TEST_F(ControlDispatch, FailedServiceRestartMeansNoResponse)
{
    r.lan_restart = RESTART_BARD | RESTART_ETH | RESTART_WIFI;
    for (const auto& c : { std::make_pair("bard", "Not able to restart bard service."),
                           std::make_pair("wifi", "Not able to restart wifi service."),
                           std::make_pair("eth", "Not able to restart service eth.") }) {
        r.failing_service = c.first;
        EXPECT_EQ(handle(lan_request(lan_entry("eth0"))), "no response");
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
        std::string entry = lan_entry("X");
        entry.replace(entry.find("\"X\""), 3, quoted);
        cJSON_free(quoted);
        cJSON_Delete(n);
        EXPECT_EQ(handle(lan_request(lan_entry("eth1") + "," + entry)), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
        EXPECT_TRUE(
            logs.contains(LOG_ERR, std::string("The ") + name + " is not a name of supported network interface."));
        EXPECT_TRUE(logs.contains(LOG_ERR, "Unable to parse LAN information obtained from CS."));
    }
    EXPECT_TRUE(r.calls.empty());
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
        { "11-8", "\"10.10.1.0 -j ACCEPT\"" },
        { "11-8", "[\"10.10.1.0\"]" },
        { "11-9", "\"255.255.0.255\"" },
    };
    for (const bad& c : cases) {
        SCOPED_TRACE(std::string(c.key) + "=" + c.value);
        std::string entry = lan_entry("eth0", ",\"11-8\":\"10.10.1.0\",\"11-9\":\"255.255.255.0\"");
        // Replace the key's value (later duplicates are not seen by the case-insensitive lookup).
        size_t at = entry.find(std::string("\"") + c.key + "\":");
        size_t start = at + strlen(c.key) + 3;
        size_t end = entry.find_first_of(",}", start);
        entry.replace(start, end - start, c.value);
        EXPECT_EQ(handle(lan_request(entry)), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    }
    // A virtual network needs its netmask; a payload that is not a list is malformed.
    EXPECT_EQ(
        handle(lan_request(lan_entry("eth0", ",\"11-8\":\"10.10.1.0\""))), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_EQ(handle("[{\"T\":11,\"DT\":" + lan_entry("eth0") + "}]"), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_EQ(handle("[{\"T\":11,\"DT\":[\"eth0\"]}]"), reply("[{\"T\":12,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(r.calls.empty());
}

// ---- file store ----

TEST_F(ControlDispatch, UnknownFileKindCreatesNoDirectory)
{
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":4,\"19-3\":\"up.sh\"}}]"),
        reply("[{\"T\":20,\"ER\":1,\"I\":0,\"MG\":\"Unknown file type\"}]"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Parsed file name: up.sh Type: 4"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Unknown file type: 4"));
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(ControlDispatch, FilesGoToTheDirectoryOfTheirKind)
{
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3,\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"\",\"19-2\":1,\"19-3\":\"m.tgz\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"QQ==\",\"19-2\":2,\"19-3\":\"a.cfg\"}}]"),
        reply("[{\"T\":20,\"ER\":0,\"I\":0},{\"T\":20,\"ER\":0,\"I\":1},{\"T\":20,\"ER\":0,\"I\":2}]"));
    EXPECT_EQ(r.calls,
        (std::vector<std::string> { "claim /tmp/vpn_module_tbd/script/",
            "store /tmp/vpn_module_tbd/script/up.sh TWFu", "claim /tmp/vpn_module_tbd/module/",
            "store /tmp/vpn_module_tbd/module/m.tgz ", "claim /tmp/vpn_module_tbd/config/",
            "store /tmp/vpn_module_tbd/config/a.cfg QQ==" }));
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
        r.calls.clear();
        logs.clear();
        EXPECT_EQ(handle(body), reply("[{\"T\":20,\"ER\":1,\"I\":0},{\"T\":20,\"ER\":0,\"I\":1}]"));
        EXPECT_TRUE(logs.contains(LOG_ERR, "Refused file name from CS: '" + name + "'."));
        EXPECT_EQ(r.calls,
            (std::vector<std::string> {
                "claim /tmp/vpn_module_tbd/script/", "store /tmp/vpn_module_tbd/script/ok.sh TWFu" }));
    }
    // 64 characters is the longest name taken.
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"\",\"19-2\":3,\"19-3\":\"" + std::string(64, 'b') + "\"}}]"),
        reply("[{\"T\":20,\"ER\":0,\"I\":0}]"));
}

TEST_F(ControlDispatch, FileThatCannotBeStoredIsAnError)
{
    r.store_result = false;
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":2,\"19-3\":\"a.cfg\"}}]"),
        reply("[{\"T\":20,\"ER\":1,\"I\":0}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Not able to store base64 file: a.cfg."));
}

TEST_F(ControlDispatch, FileStoreFieldsOfTheWrongKindAreMalformed)
{
    EXPECT_EQ(handle("[{\"T\":19,\"DT\":{\"19-1\":5,\"19-2\":3,\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":\"3\",\"19-3\":\"up.sh\"}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3,\"19-3\":[\"up.sh\"]}},"
                     "{\"T\":19,\"DT\":{\"19-1\":\"TWFu\",\"19-2\":3}}]"),
        reply("[{\"T\":20,\"ER\":1,\"I\":0},{\"T\":20,\"ER\":1,\"I\":1},{\"T\":20,\"ER\":1,\"I\":2},"
              "{\"T\":20,\"ER\":1,\"I\":3}]"));
    EXPECT_TRUE(r.calls.empty());
}

// ---- internet mode ----

TEST_F(ControlDispatch, InternetModeIsReadAsLeadingDecimalDigits)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"1abc\"}},{\"T\":23,\"DT\":{\"23-1\":\" 0\"}}]"),
        reply("[{\"T\":24,\"ER\":0,\"I\":0},{\"T\":24,\"ER\":0,\"I\":1}]"));
    EXPECT_EQ(r.calls, (std::vector<std::string> { "enable_internet", "disable_internet" }));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Setting internet connection mode to: enabled"));
    EXPECT_TRUE(logs.contains(LOG_DEBUG, "Setting internet connection mode to: disabled"));
}

TEST_F(ControlDispatch, InternetModeWithoutNumberOrOfTheWrongKindHasNoMessage)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"abc\"}},{\"T\":23,\"DT\":{\"23-1\":1}},"
                     "{\"T\":23,\"DT\":{\"23-1\":\"99999999999\"}},{\"T\":23,\"DT\":{}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0},{\"T\":24,\"ER\":1,\"I\":1},{\"T\":24,\"ER\":1,\"I\":2},"
              "{\"T\":24,\"ER\":1,\"I\":3}]"));
    EXPECT_TRUE(r.calls.empty());
}

TEST_F(ControlDispatch, UnknownModeAndFirewallFailureCarryTheMessage)
{
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"2\"}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0,\"MG\":\"Setting internet connection failed.\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Manage Internet Connection: unknown mode: 2"));
    r.firewall_result = false;
    EXPECT_EQ(handle("[{\"T\":23,\"DT\":{\"23-1\":\"0\"}},{\"T\":23,\"DT\":{\"23-1\":\"1\"}}]"),
        reply("[{\"T\":24,\"ER\":1,\"I\":0,\"MG\":\"Setting internet connection failed.\"},"
              "{\"T\":24,\"ER\":1,\"I\":1,\"MG\":\"Setting internet connection failed.\"}]"));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Setting internet connection to disabled failed."));
    EXPECT_TRUE(logs.contains(LOG_ERR, "Setting internet connection to enabled failed."));
}

// ---- base64 ----

TEST(Base64Decode, CompleteAndPartialGroups)
{
    EXPECT_EQ(base64_decode("TWFu"), "Man");
    EXPECT_EQ(base64_decode("TWE="), "Ma");
    EXPECT_EQ(base64_decode("TWFuTW"), "ManM");
    EXPECT_EQ(base64_decode("TWFuT"), "Man"); // a single left-over character adds nothing
    EXPECT_EQ(base64_decode("TWFu=TWFu"), "Man");
    EXPECT_EQ(base64_decode("TW!Fu"), "M");
    EXPECT_EQ(base64_decode(""), "");
    EXPECT_EQ(base64_decode("AAEC//+/"), std::string("\x00\x01\x02\xff\xff\xbf", 6));
}

TEST(StoreBase64File, WritesTheDecodedBytesReplacingTheOldFile)
{
    temp_dir dir;
    write_file(dir.file("f"), "old content that is longer");
    EXPECT_TRUE(store_base64_file("AAEC", dir.file("f")));
    EXPECT_EQ(read_file(dir.file("f")), std::string("\x00\x01\x02", 3));
    // Readable as the router's restore expects a configuration file to be.
    struct stat st;
    ASSERT_EQ(stat(dir.file("f").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
}

TEST(StoreBase64File, MissingDirectoryIsAFailure)
{
    temp_dir dir;
    log_capture logs;
    EXPECT_FALSE(store_base64_file("TWFu", dir.file("none/f")));
    ASSERT_FALSE(logs.lines().empty());
    EXPECT_EQ(logs.lines().back().text.rfind("store_base64_file: " + dir.file("none/f") + ": ", 0), 0u);
}

} // namespace
