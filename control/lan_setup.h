// LAN reconfiguration on the CS's request: the conflict check against the router's other
// interfaces, the staging file, the one-to-one NAT, the router's restore tool and the check of
// its result. Also the reading of an interface's current settings from the router's files.
#pragma once

#include "control/lan_iface_cfg.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

// The staging file handed to /usr/sbin/restore.
extern const char* const LAN_STAGING_PATH; // /opt/quillmesh/etc/settings.lan

enum class lan_setup_result { success, conflict, failure };

// Carries out a LAN setup request for `list` (request order). The values of the records must
// have been checked for their shape by the caller (they go into settings and command lines).
// Sets the restart set on success; clears it when restore failed but every value is in place.
lan_setup_result lan_setup(const std::vector<lan_iface_cfg>& list, uint32_t* restart_set);

// The current settings of the interface `name` stands for (see lan_iface_of) from the router's
// files; missing keys give empty texts and a bridged flag of 0. The virtual network fields stay
// absent. Without settings.wlan, the wireless interface's are those of the access point.
lan_iface_cfg read_iface_settings(const char* name);

// The first of eth0, eth1, eth2, wlan0 that is bridged and has an address; empty when none.
std::string bridge_member();

// Appends the staging lines of one record to `file`; false (nothing written) when the name has
// no settings prefix (br0 without a bridge member).
bool write_iface_settings(FILE* file, const lan_iface_cfg& record);

// True when the router's settings files hold every key of the staging file with its value.
bool verify_restored_settings();
