#include "control/firewall.h"

#include "common/log.h"
#include "common/system.h"
#include "common/validate.h"
#include "settings/module_settings.h"

#include <cstdio>
#include <string>

namespace
{
const char* const FILTER = "filter";
const char* const IN_CHAIN = "iint_quillmesh";
const char* const OUT_CHAIN = "oint_quillmesh";
const char* const RAW = "raw";
const char* const CONTROL_CHAIN = "ctl_quillmesh";
const char* const LAN_SOURCES = "-s 192.168.0.0/16,172.16.0.0/12,10.0.0.0/8,127.0.0.0/24 -j ACCEPT";
const char* const LAN_DESTINATIONS = "-d 192.168.0.0/16,172.16.0.0/12,10.0.0.0/8,127.0.0.0/24 -j ACCEPT";

// Logs the step's message at debug priority when it failed; tells the caller to stop.
bool step_failed(bool ok, const char* message)
{
    if (!ok && message)
        qm_log(LOG_DEBUG, "%s", message);
    return !ok;
}
} // namespace

int iptables_cmd::run(const std::string& command)
{
    return run_shell(command);
}

bool iptables_cmd::chain_exists(const std::string& chain, const std::string& table)
{
    return run("iptables -nL " + chain + " -t " + table + wait_ + " >/dev/null 2>/dev/null") == 0;
}

bool iptables_cmd::flush_chain(const std::string& chain, const std::string& table)
{
    return run("iptables -F " + chain + " -t " + table + wait_ + " 2>/dev/null") == 0;
}

bool iptables_cmd::create_chain(const std::string& chain, const std::string& table)
{
    std::string command = "iptables -n --list " + chain + " -t " + table + wait_ + " >/dev/null 2>/dev/null || "
        + "iptables -N " + chain + " -t " + table + wait_;
    if (run(command) != 0) {
        qm_log(LOG_ERR, "Failed to create an iptables chain '%s' (%s).", chain.c_str(), command.c_str());
        return false;
    }
    return true;
}

bool iptables_cmd::rule_exists(const std::string& chain, const std::string& rule, const std::string& table)
{
    return run("iptables -C " + chain + " " + rule + " -t " + table + wait_ + " 2>/dev/null") == 0;
}

bool iptables_cmd::insert_rule(const std::string& chain, const std::string& rule, const std::string& table)
{
    if (rule_exists(chain, rule, table))
        return true;
    std::string command = "iptables -I " + chain + " " + rule + " -t " + table + wait_;
    if (run(command) != 0) {
        qm_log(LOG_ERR, "Failed to insert iptables rule (%s).", command.c_str());
        return false;
    }
    return true;
}

bool iptables_cmd::append_rule(const std::string& chain, const std::string& rule, const std::string& table)
{
    return rule_exists(chain, rule, table) || append_new_rule(chain, rule, table);
}

bool iptables_cmd::append_new_rule(const std::string& chain, const std::string& rule, const std::string& table)
{
    std::string command = "iptables -A " + chain + " " + rule + " -t " + table + wait_;
    if (run(command) != 0) {
        qm_log(LOG_ERR, "Failed to append iptables rule (%s).", command.c_str());
        return false;
    }
    return true;
}

bool iptables_cmd::delete_rule(const std::string& chain, const std::string& rule, const std::string& table)
{
    if (run("iptables -D " + chain + " " + rule + " -t " + table + wait_) == 0)
        return true;
    // A rule that is not there counts as deleted.
    return !rule_exists(chain, rule, table);
}

bool iptables_cmd::delete_chain(const std::string& chain, const std::string& table)
{
    std::string command = "iptables -X " + chain + " -t " + table + wait_;
    if (run(command) == 0)
        return true;
    qm_log(LOG_WARNING, "Warning: Failed to delete iptables chain (%s).", command.c_str());
    return !chain_exists(chain, table);
}

bool iptables_cmd::delete_rule_by_pattern(
    const std::string& chain, const std::string& pattern, const std::string& table)
{
    // The backquoted listing yields the line number of the first rule whose line holds the pattern.
    std::string command = "iptables -t " + table + " -D " + chain + " `iptables -t " + table + " -nvL " + chain
        + " --line-numbers" + wait_ + " | grep " + pattern + " | awk '{print $1}' | head -n 1`" + wait_;
    return run(command) == 0;
}

bool iptables_cmd::flush_chain_if_exists(const std::string& chain, const std::string& table)
{
    return chain_exists(chain, FILTER) ? flush_chain(chain, table) : true;
}

bool iptables_cmd::delete_rule_if_chain_exists(
    const std::string& chain, const std::string& rule, const std::string& table)
{
    return chain_exists(chain, FILTER) ? delete_rule(chain, rule, table) : true;
}

bool iptables_cmd::delete_chain_if_exists(const std::string& chain, const std::string& table)
{
    return chain_exists(chain, FILTER) ? delete_chain(chain, table) : true;
}

bool disable_internet_connection()
{
    char cs_address[16] = { 0 };
    settings_remote_address(cs_address);
    cs_address[sizeof cs_address - 1] = '\0';
    // The address goes into a shell command line: anything but a dotted quad fails the CS steps
    // without running them.
    bool cs_valid = is_dotted_quad(cs_address);
    if (!cs_valid)
        qm_log(LOG_ERR, "Invalid CS address '%s' in the tunnel settings.", cs_address);
    std::string cs_in = std::string("-s ") + cs_address + "/32 -j ACCEPT";
    std::string cs_out = std::string("-d ") + cs_address + "/32 -j ACCEPT";

    iptables_cmd ipt;
    if (step_failed(ipt.create_chain(IN_CHAIN, FILTER), "Creating iint_quillmesh chain failed.")
        || step_failed(ipt.create_chain(OUT_CHAIN, FILTER), "Creating oint_quillmesh chain failed.")
        || step_failed(ipt.insert_rule("INPUT", "-j iint_quillmesh", FILTER),
            "Inserting iint_quillmesh chain into INPUT chain failed.")
        || step_failed(ipt.insert_rule("OUTPUT", "-j oint_quillmesh", FILTER),
            "Inserting oint_quillmesh chain into OUTPUT chain failed.")
        || step_failed(ipt.insert_rule("FORWARD", "-j iint_quillmesh", FILTER),
            "Inserting iint_quillmesh chain into FORWARD chain failed.")
        || step_failed(ipt.insert_rule("FORWARD", "-j oint_quillmesh", FILTER),
            "Inserting oint_quillmesh chain into FORWARD chain failed.")
        || step_failed(ipt.append_rule(IN_CHAIN, "-j DROP", FILTER), "Appending DROP rule to iint_quillmesh failed.")
        || step_failed(ipt.append_rule(OUT_CHAIN, "-j DROP", FILTER), "Appending DROP rule to oint_quillmesh failed.")
        || step_failed(
            ipt.insert_rule(IN_CHAIN, LAN_SOURCES, FILTER), "Inserting LAN rules into iint_quillmesh failed.")
        || step_failed(
            ipt.insert_rule(OUT_CHAIN, LAN_DESTINATIONS, FILTER), "Inserting LAN rules into oint_quillmesh failed.")
        || step_failed(
            cs_valid && ipt.insert_rule(IN_CHAIN, cs_in, FILTER), "Inserting CS rule into iint_quillmesh failed.")
        || step_failed(
            cs_valid && ipt.insert_rule(OUT_CHAIN, cs_out, FILTER), "Inserting CS rule into oint_quillmesh failed."))
        return false;
    return true;
}

bool enable_internet_connection()
{
    iptables_cmd ipt;
    if (step_failed(ipt.flush_chain_if_exists(IN_CHAIN, FILTER), "Flushing iint_quillmesh failed.")
        || step_failed(ipt.flush_chain_if_exists(OUT_CHAIN, FILTER), "Flushing oint_quillmesh failed.")
        || step_failed(ipt.delete_rule_if_chain_exists("INPUT", "-j iint_quillmesh", FILTER),
            "Deleting chain iint_quillmesh from INPUT failed.")
        || step_failed(ipt.delete_rule_if_chain_exists("OUTPUT", "-j oint_quillmesh", FILTER), nullptr)
        || step_failed(ipt.delete_rule_if_chain_exists("FORWARD", "-j iint_quillmesh", FILTER),
            "Deleting chain iint_quillmesh from FORWARD failed.")
        || step_failed(ipt.delete_rule_if_chain_exists("FORWARD", "-j oint_quillmesh", FILTER),
            "Deleting chain oint_quillmesh from FORWARD failed.")
        || step_failed(ipt.delete_chain_if_exists(IN_CHAIN, FILTER), "Deleting chain iint_quillmesh failed.")
        || step_failed(ipt.delete_chain_if_exists(OUT_CHAIN, FILTER), "Deleting chain oint_quillmesh failed."))
        return false;
    return true;
}

bool manage_internet_connection(int mode)
{
    if (mode != 0 && mode != 1) {
        qm_log(LOG_ERR, "Manage Internet Connection: unknown mode: %d", mode);
        return false;
    }
    const char* name = mode == 0 ? "disabled" : "enabled";
    bool ok = mode == 0 ? disable_internet_connection() : enable_internet_connection();
    if (!ok) {
        qm_log(LOG_ERR, "Setting internet connection to %s failed.", name);
        return false;
    }
    qm_log(LOG_DEBUG, "Setting internet connection mode to: %s", name);
    return true;
}

bool fence_control_port(
    const std::string& tunnel_device, const std::string& address, const std::string& cs_address, unsigned port)
{
    if (!is_iface_name(tunnel_device) || !is_dotted_quad(address) || !is_dotted_quad(cs_address) || port < 1
        || port > 65535) {
        qm_log(LOG_ERR, "Not able to fence the managing socket: invalid tunnel device '%s' or address '%s' or '%s'.",
            tunnel_device.c_str(), address.c_str(), cs_address.c_str());
        return false;
    }
    // Table raw sees every packet first, whatever the router's own filter rules and the internet
    // mode's chains accept, and before a flood fills the connection tracking.
    const std::string port_of_socket = "-p tcp -d " + address + "/32 --dport " + std::to_string(port);
    iptables_cmd ipt;
    bool ok = ipt.create_chain(CONTROL_CHAIN, RAW)
        && ipt.insert_rule("PREROUTING", std::string("-j ") + CONTROL_CHAIN, RAW) && ipt.flush_chain(CONTROL_CHAIN, RAW)
        && ipt.append_new_rule(
            CONTROL_CHAIN, port_of_socket + " -i " + tunnel_device + " -s " + cs_address + "/32 -j RETURN", RAW)
        && ipt.append_new_rule(CONTROL_CHAIN, port_of_socket + " -j DROP", RAW);
    if (!ok)
        qm_log(LOG_ERR, "Not able to fence the managing socket in the packet filter.");
    return ok;
}
