#include "control/lan_iface_cfg.h"

#include "common/validate.h"

#include <cstring>

const char* const SETTINGS_ETH_PATH = "/etc/settings.eth";
const char* const SETTINGS_WLAN_PATH = "/etc/settings.wlan";
const char* const SETTINGS_WIFI_AP_PATH = "/etc/settings.wifi_ap";

const restart_row RESTART_SERVICES[3] = {
    { RESTART_BARD, "bard", "Not able to restart bard service." },
    { RESTART_WIFI, "wifi", "Not able to restart wifi service." },
    { RESTART_ETH, "eth", "Not able to restart service eth." },
};

const lan_iface LAN_IFACES[5] = {
    // clang-format off
    // name     bit          prefix  settings file        wireless  restart       backup-route switch     NAT mark
    { "eth0",  IFACE_ETH0,  "ETH",  SETTINGS_ETH_PATH,   false,    RESTART_ETH,  "BACKRT_ETH0_ENABLED",  "0x1" },
    { "eth1",  IFACE_ETH1,  "ETH2", SETTINGS_ETH_PATH,   false,    RESTART_ETH,  "BACKRT_ETH1_ENABLED",  "0x2" },
    { "eth2",  IFACE_ETH2,  "ETH3", SETTINGS_ETH_PATH,   false,    RESTART_ETH,  "BACKRT_ETH2_ENABLED",  "0x3" },
    { "wlan0", IFACE_WLAN0, "WLAN", SETTINGS_WLAN_PATH,  true,     RESTART_WIFI, "BACKRT_WIFI_ENABLED",  "0x4" },
    { "br0",   IFACE_BR0,   nullptr, nullptr,            false,    RESTART_ETH,  nullptr,                "0x5" },
    // clang-format on
};

lan_iface_range lan_members()
{
    return { LAN_IFACES, LAN_IFACES + 4 };
}

const lan_iface* lan_iface_of(const std::string& name)
{
    for (const lan_iface& i : LAN_IFACES) {
        if (name.compare(0, strlen(i.name), i.name) == 0)
            return &i;
    }
    return nullptr;
}

namespace
{
// The longest DHCP pool switch text ("11-5"); the router writes it unchanged into its settings.
constexpr size_t POOL_SWITCH_MAX = 8;

// The DHCP pool may be left out of a request (empty texts, as the inventory reports absent
// values).
bool is_pool_switch(const std::string& v)
{
    return v.empty() || is_alnum_token(v, POOL_SWITCH_MAX);
}

bool is_pool_bound(const std::string& v)
{
    return v.empty() || is_dotted_quad(v);
}
} // namespace

const lan_field LAN_FIELDS[LAN_FIELD_COUNT] = {
    // clang-format off
    { &lan_iface_cfg::address,      "_IPADDR",            "11-4", "16-5", is_dotted_quad },
    { &lan_iface_cfg::netmask,      "_NETMASK",           "11-2", "16-3", is_contiguous_netmask },
    { &lan_iface_cfg::network,      "_NETWORK",           "11-1", "16-2", is_dotted_quad },
    { &lan_iface_cfg::dhcp_enabled, "_DHCP_POOL_ENABLED", "11-5", "16-6", is_pool_switch },
    { &lan_iface_cfg::dhcp_low,     "_DHCP_POOL_LO",      "11-6", "16-7", is_pool_bound },
    { &lan_iface_cfg::dhcp_high,    "_DHCP_POOL_HI",      "11-7", "16-8", is_pool_bound },
    // clang-format on
};

const lan_field* const LAN_FIELDS_REQUEST_ORDER[LAN_FIELD_COUNT]
    = { &LAN_FIELDS[2], &LAN_FIELDS[1], &LAN_FIELDS[0], &LAN_FIELDS[3], &LAN_FIELDS[4], &LAN_FIELDS[5] };
const lan_field* const LAN_FIELDS_ANSWER_ORDER[LAN_FIELD_COUNT]
    = { &LAN_FIELDS[0], &LAN_FIELDS[2], &LAN_FIELDS[1], &LAN_FIELDS[3], &LAN_FIELDS[4], &LAN_FIELDS[5] };
