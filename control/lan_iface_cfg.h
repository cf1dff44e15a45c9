// One LAN interface's addressing, as a LAN setup request carries it or as the router's settings
// files describe it. Used by the LAN setup, the one-to-one NAT and the interface inventory.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct lan_iface_cfg {
    std::string iface; // interface name ("11-3"), e.g. eth0, eth1, eth2, wlan0, br0
    std::string netmask; // "11-2"
    std::string network; // network address ("11-1")
    std::string address; // interface address ("11-4")
    std::string dhcp_enabled; // DHCP pool enabled ("11-5"), copied unchanged
    std::string dhcp_low; // DHCP pool first address ("11-6")
    std::string dhcp_high; // DHCP pool last address ("11-7")
    // Virtual network of the one-to-one NAT ("11-8") and its netmask ("11-9"); absent when the
    // interface is not mapped.
    std::optional<std::string> virtual_network;
    std::optional<std::string> virtual_netmask;
    int32_t bridged = 0; // bit 0: the interface is a member of the bridge (never sent by the CS)
};
