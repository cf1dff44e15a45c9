// The module settings (/opt/quillmesh/etc/settings) and tunnel settings
// (/opt/quillmesh/etc/settings.ovpn) records. They are loaded, used and released inside one
// operation; nothing is cached, so edits by other programs are seen at the next use.
#pragma once

#include <cstddef>
#include <string>

extern const char* const MODULE_SETTINGS_PATH; // /opt/quillmesh/etc/settings
extern const char* const TUNNEL_SETTINGS_PATH; // /opt/quillmesh/etc/settings.ovpn

struct module_settings {
    int enabled = 0;
    std::string local_ds_ip[3];
    std::string core_ds_ip[3];
    std::string cs_ip;
    std::string ucid;
    unsigned ds_port = 0;
    unsigned cs_side_channel_port_ssl = 0;
    unsigned cs_side_channel_port_udp = 0;
    unsigned control_channel_port = 0;
    unsigned syslog_level = 0;
    unsigned recovery_timeout = 0;
    unsigned recovery_counter = 0;
    unsigned start_delay_max = 0;
    unsigned change_trial = 0;
    unsigned update_trial = 0;
};

struct tunnel_settings {
    int enabled = 0;
    std::string tundev;
    std::string proto;
    unsigned port = 0;
    std::string remote_ipaddr;
    bool redirect_gw = false;
    unsigned ping_intvl = 0;
    unsigned ping_tout = 0;
    std::string comp;
    bool nat = false;
    std::string auth;
    std::string cipher;
};

// Loading never fails: a missing file or key gives empty texts and zeros.
void module_settings_load(module_settings& settings, const char* path = MODULE_SETTINGS_PATH);
void tunnel_settings_load(tunnel_settings& settings, const char* path = TUNNEL_SETTINGS_PATH);

// Saving replaces the whole file atomically, in the fixed key order. 1 on success, 0 when the
// file could not be written (the old file then stays whole).
int module_settings_save(const module_settings& settings, const char* path = MODULE_SETTINGS_PATH);
int tunnel_settings_save(const tunnel_settings& settings, const char* path = TUNNEL_SETTINGS_PATH);

// Drops the owned texts of a record.
void module_settings_release(module_settings& settings);
void tunnel_settings_release(tunnel_settings& settings);

// Getters: each loads the record, copies the value and releases the record.
int settings_syslog_level();
unsigned settings_recovery_timeout();
void settings_recovery(unsigned* timeout, unsigned* counter);
// MOD_QUILLMESH_START_DELAY_MAX: seconds, at most START_DELAY_LIMIT (a larger value counts as that).
constexpr unsigned START_DELAY_LIMIT = 3600;
unsigned settings_start_delay_max();
// Seconds a network change stays on trial (MOD_QUILLMESH_CHANGE_TRIAL): 300 when absent or 0,
// at least 10.
unsigned settings_change_trial();
// Copies QUILLMESH_TUNDEV, terminated, into a buffer of at least TUNNEL_DEVICE_MAX + 1 bytes.
// A longer name is refused with a log line and read as an empty text, as an absent one is.
constexpr size_t TUNNEL_DEVICE_MAX = 10;
void settings_tunnel_device(char* buffer);
// Copies at most 16 bytes of QUILLMESH_REMOTE_IPADDR.
void settings_remote_address(char* buffer);
