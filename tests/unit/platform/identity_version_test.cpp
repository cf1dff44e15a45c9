// The UDID composition and the version comparison, which need nothing of the router.
#include "common/error.h"
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
