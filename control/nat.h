// One-to-one NAT: maps each LAN's virtual network onto its real network with NETMAP rules in
// pre_quillmesh_nat and post_quillmesh_nat (table nat, created by the module's install script)
// and mangle_quillmesh_nat (table mangle, created here on first use).
#pragma once

#include "control/lan_iface_cfg.h"

#include <vector>

// Re-creates the mapping of every record of a LAN setup, in list order. False at the first
// record that cannot be mapped (earlier records keep their new rules).
bool setup_one_to_one_nat(const std::vector<lan_iface_cfg>& records);

// Removes the interface's mapping rules (one of each chain); never reports failure.
void cleanup_iface_nat(const char* iface);

// Adds the three mapping rules of one interface. True when all were added.
bool create_iface_nat(
    const char* iface, const char* virtual_network, const char* virtual_netmask, const char* real_network);

// Empties the three chains; always true.
bool flush_one_to_one_nat();

// Puts "RETURN for the tunnel device's own address" at the top of pre_quillmesh_nat, so traffic
// to the router itself is never mapped. True when the rule was inserted.
bool exempt_tunnel_address(const char* tundev);

// Restarts the tunnel (ovpn_restart) and, once it is up, puts the exemption of its new address
// at the top of pre_quillmesh_nat. The result and errno are those of ovpn_restart.
int restart_tunnel();
