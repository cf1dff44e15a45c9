#include "control/inventory.h"

#include "common/handles.h"
#include "common/log.h"
#include "common/settings_file.h"
#include "common/str_util.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "settings/module_settings.h"

#include <arpa/inet.h>
#include <cstdio>
#include <cstring>
#include <memory>
#include <sys/stat.h>

namespace
{

const char* const ROUTE_TABLE_PATH = "/proc/net/route";
const char* const SETTINGS_BACKRT_PATH = "/etc/settings.backrt";

// The names a routing lookup can report beside the LAN interfaces.
const struct {
    const char* name;
    iface_set bit;
} WAN_IFACES[] = {
    { "usb0", IFACE_USB0 },
    { "usb1", IFACE_USB1 },
};

} // namespace

bool iface_present(const char* name)
{
    if (!name)
        return false;
    char path[128];
    int n = snprintf(path, sizeof path, "/proc/sys/net/ipv4/conf/%s", name);
    if (n < 0 || static_cast<size_t>(n) >= sizeof path)
        return false;
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool supported_ifaces(iface_set* set)
{
    if (!set)
        return false;
    for (const lan_iface& i : lan_members()) {
        if (iface_present(i.name))
            *set |= i.bit;
    }
    if (iface_present("br0")) {
        for (const lan_iface& i : lan_members()) {
            if (read_iface_settings(i.name).bridged != 0) {
                *set |= IFACE_BR0;
                break;
            }
        }
    }
    log_iface_set(LOG_DEBUG, "Supported ifaces:", *set);
    return true;
}

bool routing_iface(uint32_t address, iface_set* set)
{
    return routing_iface_in(ROUTE_TABLE_PATH, address, set);
}

bool routing_iface_in(const char* table_path, uint32_t address, iface_set* set)
{
    file_ptr file(fopen(table_path, "r"));
    if (!file || !set)
        return false;
    char line[512];
    if (!fgets(line, sizeof line, file.get()))
        return false;
    // Destination and mask lie in the table as the kernel keeps them: network byte order read as
    // a native number.
    const uint32_t wanted = htonl(address);
    while (fgets(line, sizeof line, file.get())) {
        char name[64];
        unsigned long destination = 0;
        unsigned long gateway = 0;
        unsigned flags = 0;
        unsigned long mask = 0;
        if (sscanf(line, "%63s%lx%lx%X%*d%*d%*d%lx%*d%*d%*d", name, &destination, &gateway, &flags, &mask) != 5)
            break;
        if (!(flags & 0x1))
            continue; // route not up
        bool match = mask != 0 ? destination == (mask & wanted) : destination == address;
        if (!match)
            continue;
        char dotted[16] = { 0 };
        u32_to_ip(address, dotted);
        qm_log(LOG_DEBUG, "Routing interface found for address %s: %s", dotted, name);
        for (const lan_iface& i : LAN_IFACES) {
            if (strcmp(name, i.name) == 0)
                *set |= i.bit;
        }
        for (const auto& i : WAN_IFACES) {
            if (strcmp(name, i.name) == 0)
                *set |= i.bit;
        }
        break;
    }
    return true;
}

bool backrt_ifaces(iface_set* set)
{
    if (!set)
        return false;
    file_ptr file = settings_open(SETTINGS_BACKRT_PATH);
    if (settings_get_uint(file.get(), "BACKRT_ENABLED") != 0) {
        // Added to what the set holds: the caller gathers every reason to leave an interface alone.
        for (const lan_iface& i : lan_members()) {
            if (settings_get_uint(file.get(), i.backrt_key) & 1)
                *set |= i.bit;
        }
    }
    log_iface_set(LOG_DEBUG, "Backrt ifaces: ", *set);
    return true;
}

bool bridged_ifaces(iface_set* set)
{
    if (!set)
        return false;
    for (const lan_iface& i : lan_members()) {
        if (read_iface_settings(i.name).bridged & 1)
            *set |= i.bit;
    }
    return true;
}

std::vector<lan_iface_cfg> manageable_ifaces()
{
    iface_set supported = 0;
    supported_ifaces(&supported);

    iface_set excluded = 0;
    routing_iface(0, &excluded);
    char cs_address[16] = { 0 };
    settings_remote_address(cs_address);
    cs_address[15] = '\0';
    routing_iface(ip_to_u32(cs_address), &excluded);
    backrt_ifaces(&excluded);

    iface_set bridged = 0;
    bridged_ifaces(&bridged);

    iface_set manageable = static_cast<iface_set>(supported & ~excluded & ~bridged);
    log_iface_set(LOG_DEBUG, "Managable ifaces:", manageable);

    std::vector<lan_iface_cfg> list;
    for (const lan_iface& i : LAN_IFACES) {
        if (!(manageable & i.bit))
            continue;
        if (i.settings_prefix) {
            list.push_back(read_iface_settings(i.name));
            continue;
        }
        // The bridge carries the addresses of its member.
        std::string member = bridge_member();
        lan_iface_cfg bridge;
        if (!member.empty())
            bridge = read_iface_settings(member.c_str());
        bridge.iface = i.name;
        list.push_back(std::move(bridge));
    }
    return list;
}

void log_iface_set(int priority, const char* text, iface_set set)
{
    qm_log(priority, "%s: usb1: %d, usb0: %d, br0: %d, wlan0: %d, eth2: %d, eth1: %d, eth0: %d", text, (set >> 6) & 1,
        (set >> 5) & 1, (set >> 4) & 1, (set >> 3) & 1, (set >> 2) & 1, (set >> 1) & 1, set & 1);
}
