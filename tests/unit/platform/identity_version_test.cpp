// The UDID composition, the version comparison, and the version check with the recording
// backend answering the tools' commands.
#include "common/error.h"
#include "common/log.h"
#include "common/system_recording.h"
#include "daemon/prerequisites.h"
#include "dialogue/identity.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

TEST(CalculateUdid, SerialMacWithoutColonsAndImei)
{
    EXPECT_EQ(calculate_udid("A1234", "00:0A:14:81:7A:1B", "356789012345678"), "A1234000A14817A1B356789012345678");
    EXPECT_EQ(calculate_udid("00:0A:14:81:7A:1B", "00:0A:14:81:7A:1B", "0"), "00:0A:14:81:7A:1B000A14817A1B0");
}

TEST(CalculateUdid, MacWithoutSeparatorsIsUsedUnchanged)
{
    EXPECT_EQ(calculate_udid("S1", "000A14817A1B", "7"), "S1000A14817A1B7");
}

TEST(CalculateUdid, RefusesMissingPartsAndOddMacLengthsNamingAllThree)
{
    EXPECT_EQ(message_of([] { calculate_udid("S1", "00:0A:14:81:7A", "7"); }),
        "Invalid parameters for UDID calculation ['S1','00:0A:14:81:7A','7'].");
    EXPECT_EQ(message_of([] { calculate_udid("", "00:0A:14:81:7A:1B", "7"); }),
        "Invalid parameters for UDID calculation ['','00:0A:14:81:7A:1B','7'].");
    EXPECT_EQ(message_of([] { calculate_udid("S1", "00:0A:14:81:7A:1B", ""); }),
        "Invalid parameters for UDID calculation ['S1','00:0A:14:81:7A:1B',''].");
    EXPECT_THROW(calculate_udid("S1", "", "7"), GenericError);
}

TEST(VersionCompare, NumbersDecidePieceByPiece)
{
    struct {
        const char* installed;
        const char* minimum;
        int sign;
    } cases[] = {
        { "1.0.2k-fips\n", "1.0.2", 0 }, // trailing text of the last piece is ignored
        { "1.0.1u\n", "1.0.2", -1 },
        { "1.1.1g\n", "1.0.2", 1 },
        { "3.0.22\n", "1.0.2", 1 },
        { "2.3.18\n", "2.3.18", 0 },
        { "2.3.17\n", "2.3.18", -1 },
        { "2.6.3\n", "2.3.18", 1 },
        { "2.10.0", "2.9.0", 1 }, // numbers, not texts
        { " 2.3.18", "2.3.18", 0 },
    };
    for (const auto& c : cases) {
        int result = version_compare(c.installed, c.minimum);
        EXPECT_EQ((result > 0) - (result < 0), c.sign) << c.installed << " vs " << c.minimum;
    }
}

TEST(VersionCompare, DifferentNumberOfPiecesIsADifferentFormat)
{
    EXPECT_EQ(message_of([] { version_compare("2.4\n", "2.3.18"); }),
        "Versions (2.4\n) and (2.3.18) have a different format.");
    EXPECT_EQ(message_of([] { version_compare("", "1.0.2"); }), "Versions () and (1.0.2) have a different format.");
    EXPECT_EQ(message_of([] { version_compare("1.0.2.1", "1.0.2"); }),
        "Versions (1.0.2.1) and (1.0.2) have a different format.");
}

TEST(VersionCompare, UnreadablePieceThrowsExceptInTheLastPosition)
{
    EXPECT_EQ(
        message_of([] { version_compare("2.x.1", "2.3.18"); }), "Unexpected characters encountered in version string.");
    EXPECT_EQ(message_of([] { version_compare("2.3.99999999999999999999", "2.3.1"); }), "(nothing thrown)");
    EXPECT_GT(version_compare("2.3.x", "2.3.18"), 0); // "x" > "18" as texts
    EXPECT_LT(version_compare("2.3.-", "2.3.18"), 0);
    EXPECT_THROW(version_compare("99999999999.1", "1.1"), GenericError);
}

TEST(PrerequisiteVersions, DecidedOnWhatTheToolsReport)
{
    const char* const openssl = "/usr/bin/openssl version | awk -F ' ' '{print $2}'";
    const char* const openvpn = "/usr/sbin/openvpnd --version | head -1 | awk -F ' ' '{print $2}'";
    struct {
        const char* openssl; // as the command line prints it
        const char* openvpn;
        int allowed;
        const char* crit; // the LOG_CRIT line, empty for none
    } cases[] = {
        { "1.0.2k-fips\n", "2.3.18\n", 1, "" },
        { "3.0.22\n", "2.6.3\n", 1, "" },
        { "1.0.1u\n", "2.3.18\n", 0, "Too low version of OpenSSL (1.0.1u\n < 1.0.2)" },
        { "0.9.8\n", "2.x.1\n", 0, "Too low version of OpenSSL (0.9.8\n < 1.0.2)" }, // openvpnd not compared
        { "1.1.1g\n", "2.3.17\n", 0, "Too low version of OpenVPN (2.3.17\n < 2.3.18)" },
        { "1.1.1g\n", "2.4\n", 1,
            "Could not determine a version of some application (Versions (2.4\n) and (2.3.18) have a different "
            "format.)." },
        { "1.1.1g\n", "2.x.1\n", 1,
            "Could not determine a version of some application (Unexpected characters encountered in version "
            "string.)." },
        { "1.1.1g\n", "", 1,
            "Could not determine a version of some application (Versions () and (2.3.18) have a different format.)." },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.openssl) + " / " + c.openvpn);
        recording_system sys;
        sys.script(openssl, 0, c.openssl);
        sys.script(openvpn, 0, c.openvpn);
        log_capture log;
        EXPECT_EQ(check_prerequisite_versions(), c.allowed);
        EXPECT_EQ(sys.commands, (std::vector<std::string> { openssl, openvpn }));
        std::vector<log_line> expected
            = { { LOG_DEBUG, std::string("Versions: [OpenSSL ") + c.openssl + "], [OpenVPN " + c.openvpn + "]." } };
        if (*c.crit)
            expected.push_back({ LOG_CRIT, c.crit });
        EXPECT_EQ(log.lines(), expected);
    }
}
