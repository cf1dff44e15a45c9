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

namespace
{

const char* const RESTORE_COMMAND = "/usr/sbin/restore";
// The keys of the access point in settings.wifi_ap.
const char* const ACCESS_POINT_PREFIX = "WIFI_AP";

// True when the record's interface is the wireless one and the router keeps its settings as
// those of the access point.
bool access_point_record(const lan_iface* row)
{
    return row && row->wireless && !file_exists(row->settings_path);
}

// The interface a record stands for: a "br0" record stands for the bridge member.
std::string effective_name(const lan_iface_cfg& record)
{
    const lan_iface* row = lan_iface_of(record.iface);
    return row && !row->settings_prefix ? bridge_member() : record.iface;
}

void read_record(const char* path, const std::string& prefix, lan_iface_cfg& cfg)
{
    file_ptr file = settings_open(path);
    for (const lan_field& f : LAN_FIELDS)
        cfg.*f.member = settings_get_text(file.get(), (prefix + f.settings_suffix).c_str());
    cfg.bridged = static_cast<int32_t>(settings_get_uint(file.get(), (prefix + "_BRIDGED").c_str()));
}

void write_record_lines(FILE* file, const char* prefix, const lan_iface_cfg& record)
{
    for (const lan_field& f : LAN_FIELDS)
        fprintf(file, "%s%s=%s\n", prefix, f.settings_suffix, (record.*f.member).c_str());
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
    for (const restart_row& s : RESTART_SERVICES) {
        if (restart & s.bit)
            names += (names.empty() ? "" : ",") + std::string(s.service);
    }
    return names;
}

} // namespace

lan_iface_cfg read_iface_settings(const char* name)
{
    lan_iface_cfg cfg;
    if (!name)
        return cfg;
    cfg.iface = name;
    const lan_iface* row = lan_iface_of(name);
    if (access_point_record(row)) {
        cfg.iface = row->name;
        read_record(SETTINGS_WIFI_AP_PATH, ACCESS_POINT_PREFIX, cfg);
    } else if (row && row->settings_prefix) {
        read_record(row->settings_path, row->settings_prefix, cfg);
    }
    return cfg;
}

std::string bridge_member()
{
    for (const lan_iface& i : lan_members()) {
        lan_iface_cfg cfg = read_iface_settings(i.name);
        if ((cfg.bridged & 1) && !cfg.address.empty())
            return i.name;
    }
    return std::string();
}

bool write_iface_settings(FILE* file, const lan_iface_cfg& record)
{
    const lan_iface* row = lan_iface_of(effective_name(record));
    if (!row || !row->settings_prefix) {
        qm_log(LOG_NOTICE, "Unsupported device name: %s", record.iface.c_str());
        return false;
    }
    write_record_lines(file, row->settings_prefix, record);
    fprintf(file, "%s_BOOTPROTO=static\n", row->settings_prefix);
    const lan_iface* named = lan_iface_of(record.iface);
    if (named && named->wireless)
        fprintf(file, "%s_ENABLED=1\n", row->settings_prefix);
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
    for (const lan_iface& i : lan_members()) {
        bool named = false;
        for (const lan_iface_cfg& r : list)
            named = named || r.iface == i.name;
        if (!named)
            others.push_back(i.name);
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
    for (const lan_iface_cfg& r : list) {
        const lan_iface* row = lan_iface_of(r.iface);
        if (row)
            restart |= row->restart;
        if (access_point_record(row))
            write_record_lines(file, ACCESS_POINT_PREFIX, r);
        else
            write_iface_settings(file, r);
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
