#include "settings/module_settings.h"

#include "common/handles.h"
#include "common/log.h"
#include "common/settings_file.h"

#include <cstdio>
#include <variant>

const char* const MODULE_SETTINGS_PATH = "/opt/quillmesh/etc/settings";
const char* const TUNNEL_SETTINGS_PATH = "/opt/quillmesh/etc/settings.ovpn";

namespace
{
// A key of a settings record and the member that holds its value. Loading reads every key
// (absent ones give empty texts and zeros); saving writes them in the order of the table.
using field = std::variant<int*, bool*, unsigned*, std::string*>;

template <class R> struct key_row {
    const char* key;
    field (*of)(R&);
    bool keep_zero; // a number 0 is written as "0" (or else as an empty value)
};

using module_key = key_row<module_settings>;
const module_key module_keys[] = {
    { "MOD_QUILLMESH_ENABLED", [](module_settings& s) -> field { return &s.enabled; }, true },
    { "MOD_QUILLMESH_LOCAL_DS_IP1", [](module_settings& s) -> field { return &s.local_ds_ip[0]; }, true },
    { "MOD_QUILLMESH_LOCAL_DS_IP2", [](module_settings& s) -> field { return &s.local_ds_ip[1]; }, true },
    { "MOD_QUILLMESH_LOCAL_DS_IP3", [](module_settings& s) -> field { return &s.local_ds_ip[2]; }, true },
    { "MOD_QUILLMESH_CORE_DS_IP1", [](module_settings& s) -> field { return &s.core_ds_ip[0]; }, true },
    { "MOD_QUILLMESH_CORE_DS_IP2", [](module_settings& s) -> field { return &s.core_ds_ip[1]; }, true },
    { "MOD_QUILLMESH_CORE_DS_IP3", [](module_settings& s) -> field { return &s.core_ds_ip[2]; }, true },
    { "MOD_QUILLMESH_CS_IP1", [](module_settings& s) -> field { return &s.cs_ip; }, true },
    { "MOD_QUILLMESH_UCID", [](module_settings& s) -> field { return &s.ucid; }, true },
    { "MOD_QUILLMESH_DS_PORT", [](module_settings& s) -> field { return &s.ds_port; }, true },
    { "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL", [](module_settings& s) -> field { return &s.cs_side_channel_port_ssl; },
        true },
    { "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP", [](module_settings& s) -> field { return &s.cs_side_channel_port_udp; },
        true },
    { "MOD_QUILLMESH_CONTROL_CHANNEL_PORT", [](module_settings& s) -> field { return &s.control_channel_port; }, true },
    { "MOD_QUILLMESH_SYSLOG_LEVEL", [](module_settings& s) -> field { return &s.syslog_level; }, true },
    { "MOD_QUILLMESH_RECOVERY_TIMEOUT", [](module_settings& s) -> field { return &s.recovery_timeout; }, true },
    { "MOD_QUILLMESH_RECOVERY_COUNTER", [](module_settings& s) -> field { return &s.recovery_counter; }, true },
    { "MOD_QUILLMESH_START_DELAY_MAX", [](module_settings& s) -> field { return &s.start_delay_max; }, true },
    { "MOD_QUILLMESH_CHANGE_TRIAL", [](module_settings& s) -> field { return &s.change_trial; }, false },
    // Read by the updater and the supervisor; kept here so that the daemon's saves keep it.
    { "MOD_QUILLMESH_UPDATE_TRIAL", [](module_settings& s) -> field { return &s.update_trial; }, false },
};

using tunnel_key = key_row<tunnel_settings>;
const tunnel_key tunnel_keys[] = {
    { "QUILLMESH_ENABLED", [](tunnel_settings& s) -> field { return &s.enabled; }, true },
    { "QUILLMESH_TUNDEV", [](tunnel_settings& s) -> field { return &s.tundev; }, true },
    { "QUILLMESH_PROTO", [](tunnel_settings& s) -> field { return &s.proto; }, true },
    { "QUILLMESH_PORT", [](tunnel_settings& s) -> field { return &s.port; }, true },
    { "QUILLMESH_REMOTE_IPADDR", [](tunnel_settings& s) -> field { return &s.remote_ipaddr; }, true },
    { "QUILLMESH_REDIRECT_GW", [](tunnel_settings& s) -> field { return &s.redirect_gw; }, true },
    { "QUILLMESH_PING_INTVL", [](tunnel_settings& s) -> field { return &s.ping_intvl; }, false },
    { "QUILLMESH_PING_TOUT", [](tunnel_settings& s) -> field { return &s.ping_tout; }, false },
    { "QUILLMESH_COMP", [](tunnel_settings& s) -> field { return &s.comp; }, true },
    { "QUILLMESH_NAT", [](tunnel_settings& s) -> field { return &s.nat; }, true },
    { "QUILLMESH_AUTH", [](tunnel_settings& s) -> field { return &s.auth; }, true },
    { "QUILLMESH_CIPHER", [](tunnel_settings& s) -> field { return &s.cipher; }, true },
};

template <class R, size_t N> void load_keys(R& record, const key_row<R> (&rows)[N], const char* path)
{
    file_ptr file = settings_open(path);
    FILE* f = file.get();
    for (const key_row<R>& row : rows) {
        field value = row.of(record);
        if (std::string** text = std::get_if<std::string*>(&value))
            **text = settings_get_text(f, row.key);
        else if (unsigned** number = std::get_if<unsigned*>(&value))
            **number = settings_get_uint(f, row.key);
        else if (int** flag = std::get_if<int*>(&value))
            **flag = static_cast<int>(settings_get_uint(f, row.key));
        else
            *std::get<bool*>(value) = settings_get_uint(f, row.key) != 0;
    }
}

template <class R, size_t N> int save_keys(const R& record, const key_row<R> (&rows)[N], const char* path)
{
    atomic_file out(path, 0644);
    if (!out)
        return 0;
    FILE* f = out.get();
    for (const key_row<R>& row : rows) {
        // The accessor only reads here.
        field value = row.of(const_cast<R&>(record));
        if (std::string** text = std::get_if<std::string*>(&value))
            settings_put_text(f, row.key, **text);
        else if (unsigned** number = std::get_if<unsigned*>(&value))
            settings_put_uint(f, row.key, **number, row.keep_zero);
        else if (int** flag = std::get_if<int*>(&value))
            settings_put_flag(f, row.key, **flag);
        else
            settings_put_flag(f, row.key, *std::get<bool*>(value));
    }
    return out.commit() == 0 ? 1 : 0;
}

// Copies at most n bytes and always terminates: a longer value is cut rather than handed out
// without its terminator.
void copy_bounded(char* buffer, const std::string& value, size_t n)
{
    snprintf(buffer, n, "%s", value.c_str());
}
} // namespace

void module_settings_load(module_settings& s, const char* path)
{
    load_keys(s, module_keys, path);
}

int module_settings_save(const module_settings& s, const char* path)
{
    return save_keys(s, module_keys, path);
}

void tunnel_settings_load(tunnel_settings& s, const char* path)
{
    load_keys(s, tunnel_keys, path);
}

int tunnel_settings_save(const tunnel_settings& s, const char* path)
{
    return save_keys(s, tunnel_keys, path);
}

void module_settings_release(module_settings& s)
{
    s = module_settings();
}

void tunnel_settings_release(tunnel_settings& s)
{
    s = tunnel_settings();
}

int settings_syslog_level()
{
    module_settings s;
    module_settings_load(s);
    return static_cast<int>(s.syslog_level);
}

unsigned settings_recovery_timeout()
{
    module_settings s;
    module_settings_load(s);
    return s.recovery_timeout;
}

void settings_recovery(unsigned* timeout, unsigned* counter)
{
    module_settings s;
    module_settings_load(s);
    *timeout = s.recovery_timeout;
    *counter = s.recovery_counter;
}

unsigned settings_start_delay_max()
{
    module_settings s;
    module_settings_load(s);
    return s.start_delay_max < START_DELAY_LIMIT ? s.start_delay_max : START_DELAY_LIMIT;
}

unsigned settings_change_trial()
{
    constexpr unsigned DEFAULT_SECONDS = 300;
    // Shorter than this, a good change could be undone before the tunnel is back after it.
    constexpr unsigned MIN_SECONDS = 10;
    module_settings s;
    module_settings_load(s);
    if (s.change_trial == 0)
        return DEFAULT_SECONDS;
    return s.change_trial < MIN_SECONDS ? MIN_SECONDS : s.change_trial;
}

void settings_tunnel_device(char* buffer)
{
    tunnel_settings s;
    tunnel_settings_load(s);
    // A cut name would be another interface's name: the tunnel would never be found up.
    if (s.tundev.size() > TUNNEL_DEVICE_MAX) {
        qm_log(LOG_ERR, "Tunnel device name '%.64s' is longer than %zu characters. Ignoring it.", s.tundev.c_str(),
            TUNNEL_DEVICE_MAX);
        s.tundev.clear();
    }
    copy_bounded(buffer, s.tundev, TUNNEL_DEVICE_MAX + 1);
}

void settings_remote_address(char* buffer)
{
    tunnel_settings s;
    tunnel_settings_load(s);
    copy_bounded(buffer, s.remote_ipaddr, 16);
}
