// LAN reconfiguration on the CS's request: the conflict check against the router's other
// interfaces, the staging file, the one-to-one NAT, the router's restore tool and the check of
// its result. Also the reading of an interface's current settings from the router's files.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

struct lan_iface_cfg;

// The staging file handed to /usr/sbin/restore.
extern const char* const LAN_STAGING_PATH; // /opt/quillmesh/etc/settings.lan

// The router's settings files read here.
extern const char* const SETTINGS_ETH_PATH; // /etc/settings.eth
extern const char* const SETTINGS_WLAN_PATH; // /etc/settings.wlan
extern const char* const SETTINGS_WIFI_AP_PATH; // /etc/settings.wifi_ap
extern const char* const SETTINGS_BACKRT_PATH; // /etc/settings.backrt

// Restart set: the services to restart once a control message is handled.
constexpr uint32_t RESTART_BARD = 0x1;
constexpr uint32_t RESTART_ETH = 0x2;
constexpr uint32_t RESTART_WIFI = 0x4;

enum class lan_setup_result { success, conflict, failure };

// Carries out a LAN setup request for `list` (request order). The values of the records must
// have been checked for their shape by the caller (they go into settings and command lines).
// Sets the restart set on success; clears it when restore failed but every value is in place.
lan_setup_result lan_setup(const std::vector<lan_iface_cfg>& list, uint32_t* restart_set);

// The settings key prefix of the interface ("ETH", "ETH2", "ETH3", "WLAN") into `buffer`
// (at least 10 bytes). False for any other name and for null arguments.
bool iface_settings_prefix(const char* name, char* buffer);

// The interface's current settings from the router's files; missing keys give empty texts and a
// bridged flag of 0. The virtual network fields stay absent.
lan_iface_cfg read_iface_settings(const char* name);

// The first of eth0, eth1, eth2, wlan0 that is bridged and has an address; empty when none.
std::string bridge_member();

struct backrt_settings {
    unsigned enabled = 0;
    unsigned eth0 = 0;
    unsigned eth1 = 0;
    unsigned eth2 = 0;
    unsigned wifi = 0;
};

// The backup-route switches of /etc/settings.backrt (0 when missing).
backrt_settings read_backrt_settings();

// Appends the staging lines of one record to `file`; false (nothing written) when the name has
// no settings prefix (br0 without a bridge member).
bool write_iface_settings(FILE* file, const lan_iface_cfg& record);

// True when the router's settings files hold every key of the staging file with its value.
bool verify_restored_settings();
