// The packet filter, changed only through the iptables command line: the command builder every
// change goes through, and the internet-access mode of the LAN (chains iint_quillmesh and
// oint_quillmesh in table filter).
#pragma once

#include <string>

// Builds and runs iptables command lines. Every operation tests before it changes anything, so
// repeating it duplicates nothing. The wait option " -w" (wait for the xtables lock) is
// appended to every command unless switched off.
class iptables_cmd
{
public:
    void set_wait(bool on) { wait_ = on ? " -w" : ""; }
    const std::string& wait() const { return wait_; }

    bool chain_exists(const std::string& chain, const std::string& table);
    bool flush_chain(const std::string& chain, const std::string& table);
    bool create_chain(const std::string& chain, const std::string& table);
    bool rule_exists(const std::string& chain, const std::string& rule, const std::string& table);
    bool insert_rule(const std::string& chain, const std::string& rule, const std::string& table);
    bool append_rule(const std::string& chain, const std::string& rule, const std::string& table);
    // Appends without looking for the rule first: for a chain that was just flushed.
    bool append_new_rule(const std::string& chain, const std::string& rule, const std::string& table);
    bool delete_rule(const std::string& chain, const std::string& rule, const std::string& table);
    bool delete_chain(const std::string& chain, const std::string& table);
    // Deletes the first listed rule of the chain whose listing line contains `pattern`.
    bool delete_rule_by_pattern(const std::string& chain, const std::string& pattern, const std::string& table);
    // The three conditional operations test for the chain in table filter, whatever `table` is.
    bool flush_chain_if_exists(const std::string& chain, const std::string& table);
    bool delete_rule_if_chain_exists(const std::string& chain, const std::string& rule, const std::string& table);
    bool delete_chain_if_exists(const std::string& chain, const std::string& table);

private:
    int run(const std::string& command);

    std::string wait_ = " -w";
};

// Internet mode 0: confines the router and what it forwards to the private ranges and the CS.
bool disable_internet_connection();
// Internet mode 1: removes that confinement again.
bool enable_internet_connection();

// Carries out an internet mode request (0 disabled, 1 enabled) and logs its outcome:
// "Setting internet connection mode to: %s" on success, "Setting internet connection to
// %s failed." or "Manage Internet Connection: unknown mode: %d" on failure. True on success;
// on false the response carries "Setting internet connection failed.".
bool manage_internet_connection(int mode);

// Lets only the CS reach the managing socket: in table raw, chain ctl_quillmesh (jumped to from
// PREROUTING, created when missing, refilled on every call) drops every packet to the socket's
// address and TCP port that does not come in on the tunnel device from the CS's address. True
// when the rules are in place; false after a log line otherwise.
bool fence_control_port(
    const std::string& tunnel_device, const std::string& address, const std::string& cs_address, unsigned port);
