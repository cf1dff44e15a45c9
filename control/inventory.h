// The interface inventory: which of the router's LAN interfaces the CS may manage, and their
// current settings.
#pragma once

#include "control/lan_iface_cfg.h"

#include <cstdint>
#include <vector>

// True when /proc/sys/net/ipv4/conf/<name> exists.
bool iface_present(const char* name);

// Adds the present interfaces among eth0, eth1, eth2, wlan0 and, when something is bridged,
// br0. False only for a null set.
bool supported_ifaces(iface_set* set);

// Adds the interface that routes `address` (host order) according to /proc/net/route. False
// only when the routing table cannot be read.
bool routing_iface(uint32_t address, iface_set* set);

// The same lookup over a routing table file in the format of /proc/net/route.
bool routing_iface_in(const char* table_path, uint32_t address, iface_set* set);

// Adds the interfaces reserved for backup routes.
bool backrt_ifaces(iface_set* set);

// Adds the interfaces whose settings mark them as bridged.
bool bridged_ifaces(iface_set* set);

// The current settings of every manageable interface, in the order eth0, eth1, eth2, wlan0, br0.
std::vector<lan_iface_cfg> manageable_ifaces();

// Logs "<text>: usb1: %d, usb0: %d, br0: %d, wlan0: %d, eth2: %d, eth1: %d, eth0: %d".
void log_iface_set(int priority, const char* text, iface_set set);
