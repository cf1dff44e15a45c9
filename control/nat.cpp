#include "control/nat.h"

#include "common/log.h"
#include "common/str_util.h"
#include "common/system.h"
#include "common/validate.h"
#include "control/firewall.h"
#include "settings/module_settings.h"
#include "tunnel/ovpn_control.h"

#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

namespace
{
const char* const PRE_CHAIN = "pre_quillmesh_nat";
const char* const POST_CHAIN = "post_quillmesh_nat";
const char* const MANGLE_CHAIN = "mangle_quillmesh_nat";

// The mark of the interface's row, by its exact name; any other name (a VLAN of a port, say)
// shares the bridge's, the last row's.
const char* iface_mark(const char* iface)
{
    for (const lan_iface& i : LAN_IFACES) {
        if (strcmp(iface, i.name) == 0)
            return i.nat_mark;
    }
    return LAN_IFACES[std::size(LAN_IFACES) - 1].nat_mark;
}

// The NAT commands run without the xtables wait option.
iptables_cmd nat_iptables()
{
    iptables_cmd ipt;
    ipt.set_wait(false);
    return ipt;
}

// The first line of the capture that holds more than blanks, without its surrounding blanks.
std::string first_nonempty_line(const std::string& text)
{
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        size_t first = line.find_first_not_of(" \t\r");
        if (first != std::string::npos) {
            size_t last = line.find_last_not_of(" \t\r");
            return line.substr(first, last - first + 1);
        }
        start = end + 1;
    }
    return "";
}

bool run_formatted(const char* format, const char* a, const char* b, const char* c, const char* d, const char* e)
{
    return run_shell(format_text(format, a, b, c, d, e)) == 0;
}

bool refuse_text(const char* what, const char* text)
{
    qm_log(LOG_ERR, "1-to-1 NAT error: invalid %s '%s' obtained from CS.", what, text ? text : "");
    return false;
}
} // namespace

bool setup_one_to_one_nat(const std::vector<lan_iface_cfg>& records)
{
    for (const lan_iface_cfg& record : records) {
        cleanup_iface_nat(record.iface.c_str());
        bool complete = true;
        if (record.virtual_network) {
            if (!record.virtual_netmask) {
                complete = false;
            } else {
                qm_log(LOG_DEBUG, "%s: Local IP: %s/%s Virtual IP: %s/%s", "Creating NAT: ", record.network.c_str(),
                    record.netmask.c_str(), record.virtual_network->c_str(), record.virtual_netmask->c_str());
                if (!create_iface_nat(record.iface.c_str(), record.virtual_network->c_str(),
                        record.virtual_netmask->c_str(), record.network.c_str()))
                    return false;
            }
        } else if (record.virtual_netmask) {
            complete = false;
        }
        if (!complete) {
            qm_log(LOG_ERR, "1-to-1 NAT error: incomplete NAT message obtained from CS.");
            return false;
        }
    }
    return true;
}

void cleanup_iface_nat(const char* iface)
{
    if (!iface || !is_iface_name(iface))
        return;
    std::string output;
    run_shell_capture(std::string("iptables -S -t mangle | grep \" ") + iface + " \" | awk '{ print $4 }'", &output);
    // The capture holds one line per matching mangle rule; the first one names the interface's
    // real network, which identifies its rules in all three chains.
    std::string network = first_nonempty_line(output);
    if (network.empty() || !is_network_prefix(network))
        return;
    iptables_cmd ipt = nat_iptables();
    ipt.delete_rule_by_pattern(PRE_CHAIN, network, "nat");
    // The source mapping names only the virtual network, so it is found by the interface's mark.
    ipt.delete_rule_by_pattern(POST_CHAIN, std::string("'mark match ") + iface_mark(iface) + " '", "nat");
    ipt.delete_rule_by_pattern(MANGLE_CHAIN, network, "mangle");
}

bool create_iface_nat(
    const char* iface, const char* virtual_network, const char* virtual_netmask, const char* real_network)
{
    // Every text below goes into a shell command line.
    if (!iface || !is_iface_name(iface))
        return refuse_text("interface name", iface);
    if (!virtual_network || !is_dotted_quad(virtual_network))
        return refuse_text("virtual network", virtual_network);
    if (!virtual_netmask || !is_contiguous_netmask(virtual_netmask))
        return refuse_text("virtual netmask", virtual_netmask);
    if (!real_network || !is_dotted_quad(real_network))
        return refuse_text("network", real_network);

    const char* mark = iface_mark(iface);
    if (!run_formatted("iptables -t nat -A %s -d %s/%s -j NETMAP --to %s/%s", PRE_CHAIN, virtual_network,
            virtual_netmask, real_network, virtual_netmask))
        return false;
    if (!run_formatted("iptables -t nat -A %s -m mark --mark %s -j NETMAP --to %s/%s", POST_CHAIN, mark,
            virtual_network, virtual_netmask, nullptr))
        return false;
    iptables_cmd ipt = nat_iptables();
    if (!ipt.create_chain(MANGLE_CHAIN, "mangle"))
        return false;
    if (!ipt.append_rule("PREROUTING", std::string("-j ") + MANGLE_CHAIN, "mangle"))
        return false;
    return run_formatted("iptables -t mangle -A %s -i %s -s %s/%s -j MARK --set-mark %s", MANGLE_CHAIN, iface,
        real_network, virtual_netmask, mark);
}

bool flush_one_to_one_nat()
{
    qm_log(LOG_DEBUG, "Flushing all 1-to-1 NAT chains.");
    iptables_cmd ipt = nat_iptables();
    ipt.flush_chain(PRE_CHAIN, "nat");
    ipt.flush_chain(POST_CHAIN, "nat");
    ipt.flush_chain(MANGLE_CHAIN, "mangle");
    return true;
}

bool exempt_tunnel_address(const char* tundev)
{
    if (!tundev || !is_iface_name(tundev))
        return refuse_text("tunnel device", tundev);
    const char* format_delete = "iptables -t nat -D %s -d `ifconfig %s | grep 'inet ' | awk '{print $2;}' | "
                                "awk -F: '{print $2;}'` -j RETURN";
    const char* format_insert = "iptables -t nat -I %s -d `ifconfig %s | grep 'inet ' | awk '{print $2;}' | "
                                "awk -F: '{print $2;}'` -j RETURN";
    run_formatted(format_delete, PRE_CHAIN, tundev, nullptr, nullptr, nullptr);
    return run_formatted(format_insert, PRE_CHAIN, tundev, nullptr, nullptr, nullptr);
}

int restart_tunnel()
{
    if (!ovpn_restart())
        return 0;
    char tundev[16] = { 0 };
    settings_tunnel_device(tundev);
    exempt_tunnel_address(tundev);
    qm_log(LOG_DEBUG, "OVPN up and running.");
    return 1;
}
