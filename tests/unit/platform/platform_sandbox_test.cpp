// The router status reader, the device identity and the prerequisite version check against
// the sandbox's firmware stand-ins.
#include "certs/sandbox_guard.h"
#include "common/error.h"
#include "common/log.h"
#include "common/router_status.h"
#include "daemon/prerequisites.h"
#include "dialogue/identity.h"
#include "standins.h"
#include "support/test_support.h"

#include <chrono>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

class PlatformSandbox : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(in_sandbox()) << "this test changes the router's firmware stand-ins: run it through qm-sandbox";
        for (const char* section : { "sys", "lan", "module", "module 2" })
            standins::status_rc(section, 0);
        standins::status_section("sys", "Serial Number   : A1234\n");
        standins::status_section("lan", "MAC Address     : 00:0A:14:81:7A:1B\n");
        standins::status_section("module", "IMEI            : 356789012345678\n");
        standins::status_section("module 2", "IMEI            : 356789012345686\n");
        write_file(standins::DIR + "/calls/status", "");
        router_status_forget();
    }
};

using RouterStatus = PlatformSandbox;

TEST_F(RouterStatus, ValueStartsAfterTheFirstColonBlankOfTheFirstMatchingLine)
{
    standins::status_section("sys",
        "Product Type    : QR-100\n"
        "Model Number    : X1\n"
        "Serial Number : 1234\n"
        "Serial Number : 9999\n"
        "Uptime          : 1 day :  3 h  \n"
        "Note: first\n"
        "Last            : end");
    EXPECT_STREQ(router_status_value("sys", "Serial Number"), "1234");
    EXPECT_STREQ(router_status_value("sys", "Model"), "X1"); // a prefix of the line's key matches
    EXPECT_STREQ(router_status_value("sys", "Uptime"), "1 day :  3 h  "); // blanks stay
    EXPECT_STREQ(router_status_value("sys", "Note"), "first");
    EXPECT_STREQ(router_status_value("sys", "Last"), "end"); // last line without a line feed
    EXPECT_STREQ(router_status_value("sys", "serial number"), "N/A"); // case counts
    EXPECT_STREQ(router_status_value("sys", "Firmware"), "N/A");
    EXPECT_STREQ(router_serial_number(), "1234");
}

TEST_F(RouterStatus, MissingOrEmptyValuesAreNotAvailable)
{
    standins::status_section("module",
        "IMEI :\n"
        "ICCID : \n"
        "Operator\n"
        "Signal: -70\n"
        "Plain:text\n");
    EXPECT_STREQ(router_status_value("module", "IMEI"), "N/A");
    EXPECT_STREQ(router_status_value("module", "ICCID"), "N/A");
    // The first line with the key decides, even when it has no ": " and a later one does.
    EXPECT_STREQ(router_status_value("module", "Operator"), "N/A");
    EXPECT_STREQ(router_status_value("module", "Signal"), "-70");
    EXPECT_STREQ(router_status_value("module", "Plain"), "N/A"); // ": " of another line is not taken
}

TEST_F(RouterStatus, ValuesUpTo127CharactersOnly)
{
    std::string v127(127, 'a');
    std::string v128(128, 'b');
    standins::status_section("sys", "Long : " + v127 + "\nLonger : " + v128 + "\n");
    EXPECT_EQ(router_status_value("sys", "Long"), v127);
    EXPECT_STREQ(router_status_value("sys", "Longer"), "N/A");
}

TEST_F(RouterStatus, SerialAndImeiAreCutTo31Characters)
{
    standins::status_section("sys", "Serial Number : " + std::string(40, '7') + "\n");
    EXPECT_EQ(router_serial_number(), std::string(31, '7'));
    EXPECT_STREQ(router_imei(), "356789012345678");
    EXPECT_STREQ(router_imei(ROUTER_MODULE_SECOND), "356789012345686");
    EXPECT_EQ(standins::status_runs("module 2"), 1); // one argument, blank included
}

TEST_F(RouterStatus, OneRunPerSectionWhileTheOutputIsFresh)
{
    router_status_value("sys", "Serial Number");
    router_status_value("sys", "Model");
    EXPECT_EQ(standins::status_runs("sys"), 1);
    router_status_value("lan", "MAC Address");
    router_status_value("sys", "Serial Number");
    EXPECT_EQ(standins::status_runs("sys"), 2);
    EXPECT_EQ(standins::status_runs("lan"), 1);
    // The output is kept for about a second, then asked for again.
    std::this_thread::sleep_for(std::chrono::milliseconds(2100));
    standins::status_section("sys", "Serial Number : B777\n");
    EXPECT_STREQ(router_status_value("sys", "Serial Number"), "B777");
    EXPECT_EQ(standins::status_runs("sys"), 3);
}

TEST_F(RouterStatus, FailingRunGivesNotAvailableAndKeepsTheEarlierOutput)
{
    EXPECT_STREQ(router_status_value("sys", "Serial Number"), "A1234");
    standins::status_rc("lan", 1);
    EXPECT_STREQ(router_status_value("lan", "MAC Address"), "N/A");
    standins::status_missing("module");
    EXPECT_STREQ(router_imei(), "N/A");
    standins::status_section("sys", "Serial Number : CHANGED\n");
    EXPECT_STREQ(router_status_value("sys", "Serial Number"), "A1234"); // still the cached run
    EXPECT_EQ(standins::status_runs("sys"), 1);
    EXPECT_EQ(standins::status_runs("lan"), 1);
}

TEST_F(RouterStatus, OutputBeyondTheBufferIsCutNotHung)
{
    // 200 kB is more than a pipe holds: the tool must not block forever.
    std::string big = "Serial Number : S-BIG\n";
    while (big.size() < 200000)
        big += "Filler          : " + std::string(100, 'f') + "\n";
    standins::status_section("sys", big);
    const char* value = router_status_value("sys", "Serial Number");
    EXPECT_TRUE(std::string(value) == "S-BIG" || std::string(value) == "N/A") << value;
}

TEST_F(RouterStatus, ProcessLeftBehindByTheToolDoesNotHoldUpTheAnswer)
{
    // A status tool that prints nothing and leaves a process holding its output open.
    ASSERT_EQ(rename("/usr/bin/status", "/usr/bin/status.qm-real"), 0);
    write_file("/usr/bin/status", "#!/bin/sh\nsleep 30 &\necho $! > /var/sandbox/lingering.pid\nexit 0\n");
    chmod("/usr/bin/status", 0755);
    const std::string value = router_status_value("sys", "Serial Number");
    pid_t lingering = atoi(read_file("/var/sandbox/lingering.pid").c_str());
    bool still_there = lingering > 0 && kill(lingering, 0) == 0;
    if (lingering > 0)
        kill(lingering, SIGKILL);
    rename("/usr/bin/status.qm-real", "/usr/bin/status");
    EXPECT_EQ(value, "N/A");
    EXPECT_TRUE(still_there) << "the lookup waited for the process the tool left behind";
}

TEST_F(RouterStatus, MonotonicSecondsAdvance)
{
    int64_t a = monotonic_seconds();
    EXPECT_GE(a, 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    EXPECT_GE(monotonic_seconds(), a + 1);
}

using DeviceIdentity = PlatformSandbox;

TEST_F(DeviceIdentity, UdidFromTheRoutersReports)
{
    EXPECT_EQ(device_serial_number(), "A1234");
    EXPECT_EQ(device_udid(), "A1234000A14817A1B356789012345678");
    // Serial number and MAC address come from separate sections, read once each.
    EXPECT_EQ(standins::status_runs("sys"), 1);
    EXPECT_EQ(standins::status_runs("lan"), 1);
}

TEST_F(DeviceIdentity, MacAddressStandsInForAMissingSerialNumber)
{
    standins::status_section("sys", "Serial Number   : N/A\n");
    standins::status_section("module", "IMEI            : N/A\n");
    EXPECT_EQ(device_serial_number(), "00:0A:14:81:7A:1B");
    EXPECT_EQ(device_udid(), "00:0A:14:81:7A:1B000A14817A1B0");
    router_status_forget();
    standins::status_rc("sys", 1);
    standins::status_missing("module");
    EXPECT_EQ(device_udid(), "00:0A:14:81:7A:1B000A14817A1B0");
}

TEST_F(DeviceIdentity, MacAddressWithoutSeparatorsIsUsedUnchanged)
{
    standins::status_section("lan", "MAC Address : 000A14817A1B\n");
    EXPECT_EQ(device_udid(), "A1234000A14817A1B356789012345678");
}

TEST_F(DeviceIdentity, FailuresNameTheirCause)
{
    standins::status_section("lan", "MAC Address : 00:0A:14:81:7A\n");
    EXPECT_EQ(message_of([] { device_udid(); }),
        "Invalid parameters for UDID calculation ['A1234','00:0A:14:81:7A','356789012345678'].");

    router_status_forget();
    standins::status_rc("lan", 1);
    EXPECT_EQ(message_of([] { device_udid(); }), "Failed to obtain UDID (cannot read MAC address).");

    router_status_forget();
    standins::status_section("sys", "Serial Number : N/A\n");
    EXPECT_EQ(message_of([] { device_serial_number(); }), "Reading serial number failed.");
    EXPECT_EQ(message_of([] { device_udid(); }), "Reading serial number failed.");
}

// The version check with the router's openssl and openvpnd replaced by scripts that report the
// version under test (the sandbox's overlay keeps the replacements private).
class PrerequisiteVersions : public PlatformSandbox
{
protected:
    void SetUp() override
    {
        PlatformSandbox::SetUp();
        ASSERT_EQ(rename("/usr/bin/openssl", "/usr/bin/openssl.qm-real"), 0);
    }
    void TearDown() override
    {
        rename("/usr/bin/openssl.qm-real", "/usr/bin/openssl");
        standins::openvpnd_version("");
        if (file_exists_("/usr/sbin/openvpnd.qm-real"))
            rename("/usr/sbin/openvpnd.qm-real", "/usr/sbin/openvpnd");
    }
    static bool file_exists_(const char* path) { return access(path, F_OK) == 0; }
    void openssl_reports(const std::string& line)
    {
        write_file("/usr/bin/openssl", "#!/bin/sh\n[ \"$1\" = version ] && echo '" + line + "'\n");
        chmod("/usr/bin/openssl", 0755);
    }
    void openvpnd_missing() { ASSERT_EQ(rename("/usr/sbin/openvpnd", "/usr/sbin/openvpnd.qm-real"), 0); }
};

TEST_F(PrerequisiteVersions, TheToolsOutputIsReadThroughTheirCommandLines)
{
    // The decisions on the versions are unit tests; here the command lines meet the tools.
    openssl_reports("OpenSSL 1.0.1u  22 Sep 2016");
    standins::openvpnd_version("2.3.18");
    log_capture log;
    EXPECT_EQ(check_prerequisite_versions(), 0);
    EXPECT_EQ(log.texts(),
        (std::vector<std::string> {
            "Versions: [OpenSSL 1.0.1u\n], [OpenVPN 2.3.18\n].", "Too low version of OpenSSL (1.0.1u\n < 1.0.2)" }));
}

TEST_F(PrerequisiteVersions, MissingProgramAllowsTheStartAfterTheCriticalLine)
{
    openssl_reports("OpenSSL 1.1.1g  21 Apr 2020");
    openvpnd_missing();
    log_capture log;
    EXPECT_EQ(check_prerequisite_versions(), 1);
    ASSERT_EQ(log.lines().size(), 2u);
    EXPECT_EQ(log.lines()[1].priority, LOG_CRIT);
    EXPECT_EQ(log.lines()[1].text.rfind("Could not determine a version of some application (Versions (", 0), 0u)
        << log.lines()[1].text;
}
