// The operations that the resource manager drives, gathered in one table. The daemon runs with
// the table of the router's real subsystems; tests hand in stand-ins for every entry.
//
// Results follow the system's conventions: 1 (or true) for success, 0 for failure, with the
// reason code (266-275) left in errno where the resource manager must tell failures apart.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

struct rm_operations {
    // Discovery, registration, approval and tunnel credentials.
    std::function<int()> obtain_cs_ip;
    std::function<int()> register_on_cs;
    std::function<int(unsigned* sleep_time)> get_ovpn_detail_approval;
    std::function<int()> obtain_ovpn_details;

    // The tunnel and its credential files.
    std::function<int()> ovpn_credentials_present;
    std::function<int()> ovpn_credentials_delete;
    std::function<int()> ovpn_stop;
    std::function<int()> ovpn_restart;
    std::function<int()> tunnel_status;
    std::function<int()> cs_reachable;
    std::function<bool()> flush_one_to_one_nat;

    // Settings read at the moment of use: QUILLMESH_TUNDEV into a 16-byte buffer and
    // QUILLMESH_REMOTE_IPADDR into a 16-byte buffer.
    std::function<void(char* buffer)> tunnel_device;
    std::function<void(char* buffer)> remote_address;
    // Address and netmask of an interface in network byte order; 0 or the system error number.
    std::function<int(const char* name, uint32_t* address, uint32_t* netmask)> iface_addr_mask;

    // The managing socket and the control requests on it.
    std::function<int()> create_managing_socket; // listening descriptor or -1
    // Lets only the CS (its tunnel address, network byte order) reach the managing socket
    // through the packet filter. Optional: unset means no filter.
    std::function<bool(uint32_t cs_address)> fence_managing_socket;
    // Waits until the listener is readable: > 0 readable, 0 timed out, -1 failed (errno).
    std::function<int(int listener, unsigned timeout_seconds)> select;
    std::function<int(int listener)> accept_control_connection; // descriptor or -1 (errno)
    // True when the listener is no longer bound to the tunnel interface's current address
    // (the tunnel came back with another address). Optional: unset means never.
    std::function<bool(int listener)> managing_socket_stale;
    // IPv4 address of the connected peer in network byte order; 0, or -1 (errno).
    std::function<int(int fd, uint32_t* address)> peer_address;
    std::function<int(int fd, unsigned seconds)> set_receive_timeout; // 0, or -1 (errno)
    std::function<bool(int fd, std::string& message)> read_message; // one complete message
    std::function<bool(const std::string& request, std::string& response)> process_control_msg;
    std::function<bool(int fd, const std::string& text)> ovpn_write;
    std::function<void(int fd)> close;

    // Network changes on trial (trial/network_trial.h). Optional: unset means none.
    // Undoes the change on trial when its time is up; the seconds it has left, -1 for none.
    std::function<long()> trial_tick;
    // True when a change on trial, or a revert, waits to hear from the CS.
    std::function<bool()> trial_awaits_cs;
    // The CS was heard from; `how` goes into the log line.
    std::function<void(const char* how)> trial_heard_from_cs;
    // Does the address (network byte order) answer a ping within the seconds given.
    std::function<bool(uint32_t address, unsigned wait_seconds)> ping;

    // Module update.
    std::function<void()> apply_staged_files;
    std::function<int(const std::string& base_url)> module_download;
    std::function<bool()> module_install;
    // Commits a module update on trial; called on entering "Listening". Optional.
    std::function<void()> commit_module_update;
};

// The table wired to the router's real subsystems.
rm_operations real_operations();
