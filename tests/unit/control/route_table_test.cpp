// The routing lookup over a table in the kernel's /proc/net/route format.
#include "common/log.h"
#include "control/inventory.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

namespace
{

const char* const HEADER = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";

iface_set lookup(const std::string& lines, uint32_t address)
{
    temp_dir dir;
    write_file(dir.file("route"), HEADER + lines);
    iface_set set = 0;
    EXPECT_TRUE(routing_iface_in(dir.file("route").c_str(), address, &set));
    return set;
}

TEST(RoutingLookup, NetworkRouteMatchesItsAddressesInKernelByteOrder)
{
    // 192.168.1.0/24 on eth1 as the kernel prints it.
    std::string table = "eth1\t0001A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n";
    EXPECT_EQ(lookup(table, 0xC0A8014D), IFACE_ETH1); // 192.168.1.77
    EXPECT_EQ(lookup(table, 0xC0A8024D), 0); // 192.168.2.77
}

TEST(RoutingLookup, DefaultRouteMatchesOnlyAddressZero)
{
    std::string table = "usb0\t00000000\t0100000A\t0003\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(lookup(table, 0), IFACE_USB0);
    EXPECT_EQ(lookup(table, 0x0A080001), 0);
}

TEST(RoutingLookup, RouteWithoutUpBitIsIgnoredAndFirstMatchWins)
{
    std::string table = "eth0\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n"
                        "wlan0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n"
                        "eth2\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n";
    EXPECT_EQ(lookup(table, 0), IFACE_WLAN0);
}

TEST(RoutingLookup, UnknownInterfacesSetNothingAndAMissingTableFails)
{
    EXPECT_EQ(lookup("tun0\t00000000\t00000000\t0001\t0\t0\t0\t00000000\t0\t0\t0\n", 0), 0);
    iface_set set = 0;
    EXPECT_FALSE(routing_iface_in("/nonexistent/route", 0, &set));
    temp_dir dir;
    write_file(dir.file("empty"), "");
    EXPECT_FALSE(routing_iface_in(dir.file("empty").c_str(), 0, &set));
}

TEST(IfaceSetLog, ListsBitsFromUsb1DownToEth0)
{
    log_capture logs;
    log_iface_set(LOG_DEBUG, "Managable ifaces:", IFACE_ETH0 | IFACE_WLAN0 | IFACE_USB1);
    EXPECT_TRUE(
        logs.contains(LOG_DEBUG, "Managable ifaces:: usb1: 1, usb0: 0, br0: 0, wlan0: 1, eth2: 0, eth1: 0, eth0: 1"));
}

} // namespace
