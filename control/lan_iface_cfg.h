// The router's LAN interfaces and one interface's addressing, as a LAN setup request carries it
// or as the router's settings files describe it. Used by the LAN setup, the one-to-one NAT, the
// interface inventory and the control dispatch.
#pragma once

#include <cstddef>
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

// Restart set: the services to restart once a control message is handled.
constexpr uint32_t RESTART_BARD = 0x1;
constexpr uint32_t RESTART_ETH = 0x2;
constexpr uint32_t RESTART_WIFI = 0x4;

// The services of a restart set, in the order they are restarted.
struct restart_row {
    uint32_t bit;
    const char* service; // for /sbin/service
    const char* failure; // the log line when its restart fails
};
extern const restart_row RESTART_SERVICES[3];

// Interface set: one bit per interface.
using iface_set = uint8_t;
constexpr iface_set IFACE_ETH0 = 0x01;
constexpr iface_set IFACE_ETH1 = 0x02;
constexpr iface_set IFACE_ETH2 = 0x04;
constexpr iface_set IFACE_WLAN0 = 0x08;
constexpr iface_set IFACE_BR0 = 0x10;
constexpr iface_set IFACE_USB0 = 0x20;
constexpr iface_set IFACE_USB1 = 0x40;

// The router's settings files that describe its LAN interfaces.
extern const char* const SETTINGS_ETH_PATH; // /etc/settings.eth
extern const char* const SETTINGS_WLAN_PATH; // /etc/settings.wlan
extern const char* const SETTINGS_WIFI_AP_PATH; // /etc/settings.wifi_ap: the access point, without settings.wlan

struct lan_iface {
    const char* name;
    iface_set bit;
    const char* settings_prefix; // of its keys in its settings file; null for the bridge
    const char* settings_path; // null for the bridge
    bool wireless; // settings.wifi_ap stands in for settings.wlan where that is missing
    uint32_t restart; // the service a change of it restarts
    const char* backrt_key; // its backup-route switch in /etc/settings.backrt; null for the bridge
    const char* nat_mark; // the packet mark of its one-to-one NAT
};

// The router's LAN interfaces: the four with settings of their own, in the order every walk over
// them uses, and the bridge br0, which carries the settings of its member.
extern const lan_iface LAN_IFACES[5];
struct lan_iface_range {
    const lan_iface* first;
    const lan_iface* last;
    const lan_iface* begin() const { return first; }
    const lan_iface* end() const { return last; }
};
// eth0, eth1, eth2, wlan0: the interfaces that can be members of the bridge.
lan_iface_range lan_members();

// The row of the interface a name stands for: the name starts with the row's name ("eth0.1" is
// eth0's). Null for any other name.
const lan_iface* lan_iface_of(const std::string& name);

// The fields a LAN record shares with the router's settings and with the CS.
struct lan_field {
    std::string lan_iface_cfg::*member;
    const char* settings_suffix; // the key is the interface's settings prefix and this
    const char* request_key; // in a LAN setup request ("11-x")
    const char* answer_key; // in the inventory answer ("16-x")
    bool (*valid)(const std::string&); // the shape a requested value must have
};

constexpr size_t LAN_FIELD_COUNT = 6;
// In the order of the router's settings files.
extern const lan_field LAN_FIELDS[LAN_FIELD_COUNT];
// The rows in the orders the CS's texts have always had: a request is read and checked in the
// order of its keys ("11-1", "11-2", "11-4", ...); the inventory answer lists "16-5", "16-2",
// "16-3", ...
extern const lan_field* const LAN_FIELDS_REQUEST_ORDER[LAN_FIELD_COUNT];
extern const lan_field* const LAN_FIELDS_ANSWER_ORDER[LAN_FIELD_COUNT];
