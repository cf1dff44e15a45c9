#include "control/lan_setup.h"

#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "common/settings_file.h"
#include "common/str_util.h"
#include "common/system.h"
#include "control/lan_iface_cfg.h"
#include "control/nat.h"
#include "trial/network_trial.h"

#include <cerrno>
#include <cstring>
#include <memory>

const char* const LAN_STAGING_PATH = "/opt/quillmesh/etc/settings.lan";
const char* const SETTINGS_ETH_PATH = "/etc/settings.eth";
const char* const SETTINGS_WLAN_PATH = "/etc/settings.wlan";
const char* const SETTINGS_WIFI_AP_PATH = "/etc/settings.wifi_ap";
const char* const SETTINGS_BACKRT_PATH = "/etc/settings.backrt";

namespace
{

const char* const RESTORE_COMMAND = "/usr/sbin/restore";

// The LAN interfaces the router has settings for, in the order every walk over them uses.
const char* const LAN_IFACES[] = { "eth0", "eth1", "eth2", "wlan0" };

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

bool wlan_settings_exist()
{
    return file_exists(SETTINGS_WLAN_PATH);
}

// The interface a record stands for: a "br0" record stands for the bridge member.
std::string effective_name(const lan_iface_cfg& record)
{
    return starts_with(record.iface, "br0") ? bridge_member() : record.iface;
}

void read_record(FILE* file, const std::string& prefix, lan_iface_cfg& cfg)
{
    cfg.address = settings_get_text(file, (prefix + "_IPADDR").c_str());
    cfg.netmask = settings_get_text(file, (prefix + "_NETMASK").c_str());
    cfg.network = settings_get_text(file, (prefix + "_NETWORK").c_str());
    cfg.dhcp_enabled = settings_get_text(file, (prefix + "_DHCP_POOL_ENABLED").c_str());
    cfg.dhcp_low = settings_get_text(file, (prefix + "_DHCP_POOL_LO").c_str());
    cfg.dhcp_high = settings_get_text(file, (prefix + "_DHCP_POOL_HI").c_str());
    cfg.bridged = static_cast<int32_t>(settings_get_uint(file, (prefix + "_BRIDGED").c_str()));
}

// True when the requested record's network overlaps the other interface's current one, compared
// under the shorter of the two masks.
bool networks_overlap(const lan_iface_cfg& requested, const lan_iface_cfg& other)
{
    int32_t mask_r = static_cast<int32_t>(netmask_to_u32(requested.netmask.c_str()));
    int32_t mask_o = static_cast<int32_t>(netmask_to_u32(other.netmask.c_str()));
    uint32_t mask = static_cast<uint32_t>(mask_r < mask_o ? mask_r : mask_o);
    uint32_t net_r = ip_to_u32(requested.network.c_str());
    uint32_t net_o = ip_to_u32(other.network.c_str());
    return (net_r & mask) == (net_o & mask);
}

// The services of a restart set, as a change on trial names them.
std::string restart_names(uint32_t restart)
{
    std::string names;
    const struct {
        uint32_t bit;
        const char* name;
    } services[] = { { RESTART_BARD, "bard" }, { RESTART_WIFI, "wifi" }, { RESTART_ETH, "eth" } };
    for (const auto& s : services) {
        if (restart & s.bit)
            names += (names.empty() ? "" : ",") + std::string(s.name);
    }
    return names;
}

void write_access_point_lines(FILE* file, const lan_iface_cfg& record)
{
    fprintf(file, "WIFI_AP_IPADDR=%s\n", record.address.c_str());
    fprintf(file, "WIFI_AP_NETMASK=%s\n", record.netmask.c_str());
    fprintf(file, "WIFI_AP_NETWORK=%s\n", record.network.c_str());
    fprintf(file, "WIFI_AP_DHCP_POOL_ENABLED=%s\n", record.dhcp_enabled.c_str());
    fprintf(file, "WIFI_AP_DHCP_POOL_LO=%s\n", record.dhcp_low.c_str());
    fprintf(file, "WIFI_AP_DHCP_POOL_HI=%s\n", record.dhcp_high.c_str());
}

} // namespace

bool iface_settings_prefix(const char* name, char* buffer)
{
    if (!name || !buffer)
        return false;
    const char* prefix = nullptr;
    if (strncmp(name, "eth0", 4) == 0)
        prefix = "ETH";
    else if (strncmp(name, "eth1", 4) == 0)
        prefix = "ETH2";
    else if (strncmp(name, "eth2", 4) == 0)
        prefix = "ETH3";
    else if (strncmp(name, "wlan0", 5) == 0)
        prefix = "WLAN";
    if (!prefix)
        return false;
    strcpy(buffer, prefix);
    return true;
}

lan_iface_cfg read_iface_settings(const char* name)
{
    lan_iface_cfg cfg;
    if (!name)
        return cfg;
    std::string iface = name;
    if (!wlan_settings_exist() && starts_with(iface, "wlan")) {
        cfg.iface = "wlan0";
        file_ptr file = settings_open(SETTINGS_WIFI_AP_PATH);
        read_record(file.get(), "WIFI_AP", cfg);
        return cfg;
    }
    cfg.iface = iface;
    char prefix[10];
    if (!iface_settings_prefix(name, prefix))
        return cfg;
    const char* path = starts_with(iface, "eth") ? SETTINGS_ETH_PATH : SETTINGS_WLAN_PATH;
    file_ptr file = settings_open(path);
    read_record(file.get(), prefix, cfg);
    return cfg;
}

std::string bridge_member()
{
    for (const char* name : LAN_IFACES) {
        lan_iface_cfg cfg = read_iface_settings(name);
        if ((cfg.bridged & 1) && !cfg.address.empty())
            return name;
    }
    return std::string();
}

backrt_settings read_backrt_settings()
{
    backrt_settings s;
    file_ptr file = settings_open(SETTINGS_BACKRT_PATH);
    s.enabled = settings_get_uint(file.get(), "BACKRT_ENABLED");
    s.eth0 = settings_get_uint(file.get(), "BACKRT_ETH0_ENABLED");
    s.eth1 = settings_get_uint(file.get(), "BACKRT_ETH1_ENABLED");
    s.eth2 = settings_get_uint(file.get(), "BACKRT_ETH2_ENABLED");
    s.wifi = settings_get_uint(file.get(), "BACKRT_WIFI_ENABLED");
    return s;
}

bool write_iface_settings(FILE* file, const lan_iface_cfg& record)
{
    std::string name = effective_name(record);
    char prefix[10];
    if (!iface_settings_prefix(name.c_str(), prefix)) {
        qm_log(LOG_NOTICE, "Unsupported device name: %s", record.iface.c_str());
        return false;
    }
    fprintf(file, "%s_IPADDR=%s\n", prefix, record.address.c_str());
    fprintf(file, "%s_NETMASK=%s\n", prefix, record.netmask.c_str());
    fprintf(file, "%s_NETWORK=%s\n", prefix, record.network.c_str());
    fprintf(file, "%s_DHCP_POOL_ENABLED=%s\n", prefix, record.dhcp_enabled.c_str());
    fprintf(file, "%s_DHCP_POOL_LO=%s\n", prefix, record.dhcp_low.c_str());
    fprintf(file, "%s_DHCP_POOL_HI=%s\n", prefix, record.dhcp_high.c_str());
    fprintf(file, "%s_BOOTPROTO=static\n", prefix);
    if (starts_with(record.iface, "wlan"))
        fprintf(file, "%s_ENABLED=1\n", prefix);
    return true;
}

bool verify_restored_settings()
{
    settings_map staged;
    settings_map router;
    settings_load_map(LAN_STAGING_PATH, staged);
    settings_load_map(SETTINGS_ETH_PATH, router);
    settings_load_map(SETTINGS_WLAN_PATH, router);
    settings_load_map(SETTINGS_WIFI_AP_PATH, router);
    for (const auto& entry : staged) {
        auto found = router.find(entry.first);
        std::string value = found == router.end() ? std::string() : found->second;
        if (value != entry.second) {
            qm_log(LOG_DEBUG, "Error after restore: for K: %s expected %s but found %s", entry.first.c_str(),
                entry.second.c_str(), value.c_str());
            return false;
        }
    }
    return true;
}

lan_setup_result lan_setup(const std::vector<lan_iface_cfg>& list, uint32_t* restart_set)
{
    // 1. The interfaces the request does not name.
    std::vector<std::string> others;
    for (const char* name : LAN_IFACES) {
        bool named = false;
        for (const lan_iface_cfg& r : list)
            named = named || r.iface == name;
        if (!named)
            others.push_back(name);
    }

    // 2. Nothing is changed when a requested network overlaps another interface's.
    for (const lan_iface_cfg& r : list) {
        for (const std::string& o_name : others) {
            lan_iface_cfg o = read_iface_settings(o_name.c_str());
            if (effective_name(r) == o.iface)
                continue;
            if (networks_overlap(r, o)) {
                qm_log(LOG_ERR, "Requested network setup for %s is in conflict with %s.", r.iface.c_str(),
                    o.iface.c_str());
                return lan_setup_result::conflict;
            }
        }
    }

    // Two interfaces of the same request may not share a network either.
    for (size_t i = 0; i < list.size(); ++i) {
        for (size_t j = i + 1; j < list.size(); ++j) {
            if (effective_name(list[i]) == effective_name(list[j]))
                continue;
            if (networks_overlap(list[i], list[j])) {
                qm_log(LOG_ERR, "Requested network setup for %s is in conflict with %s.", list[i].iface.c_str(),
                    list[j].iface.c_str());
                return lan_setup_result::conflict;
            }
        }
    }

    // 3.-6. The staging file is replaced as a whole, so restore never sees half of a request.
    atomic_file staging(LAN_STAGING_PATH, 0644);
    FILE* file = staging.get();
    if (!file) {
        qm_log(LOG_ERR, "Not able to open temporary LAN file for clearing. Error = %d.", errno);
        return lan_setup_result::failure;
    }
    uint32_t restart = RESTART_BARD;
    bool wlan_file = wlan_settings_exist();
    for (const lan_iface_cfg& r : list) {
        if (starts_with(r.iface, "eth"))
            restart |= RESTART_ETH;
        else if (starts_with(r.iface, "wlan"))
            restart |= RESTART_WIFI;
        else if (starts_with(r.iface, "br0"))
            restart |= RESTART_ETH;
        if (wlan_file || !starts_with(r.iface, "wlan"))
            write_iface_settings(file, r);
        else
            write_access_point_lines(file, r);
    }
    if (staging.commit() != 0) {
        qm_log(LOG_ERR, "Not able to create config file for LAN settings.");
        return lan_setup_result::failure;
    }
    // From here on the router may change: its services are restarted after the message.
    *restart_set = (*restart_set & ~(RESTART_ETH | RESTART_WIFI)) | restart;

    // 7. One-to-one NAT for the virtual networks.
    if (!setup_one_to_one_nat(list)) {
        qm_log(LOG_ERR, "Unable to configure NAT.");
        return lan_setup_result::failure;
    }

    // The router's settings are kept before restore changes them: unless the CS is heard from
    // again in time, the change is undone and these services restarted once more.
    if (!network_trial_begin(LAN_SETTINGS_FILES, restart_names(restart)))
        return lan_setup_result::failure;

    // 8.-9. The router takes the staging file over; a failed restore still counts when every
    // value is in place, and then nothing needs a restart.
    if (run_shell(std::string(RESTORE_COMMAND) + " " + LAN_STAGING_PATH) == 0)
        return lan_setup_result::success;
    if (verify_restored_settings()) {
        *restart_set = 0;
        return lan_setup_result::success;
    }
    return lan_setup_result::failure;
}
