#include "daemon/module_settings.h"

#include <cstdio>

#include "common/log.h"
#include "common/settings_file.h"

const char* const MODULE_SETTINGS_PATH = "/opt/quillmesh/etc/settings";
const char* const TUNNEL_SETTINGS_PATH = "/opt/quillmesh/etc/settings.ovpn";

namespace {
const char* const local_ds_keys[3] = {"MOD_QUILLMESH_LOCAL_DS_IP1", "MOD_QUILLMESH_LOCAL_DS_IP2",
                                      "MOD_QUILLMESH_LOCAL_DS_IP3"};
const char* const core_ds_keys[3] = {"MOD_QUILLMESH_CORE_DS_IP1", "MOD_QUILLMESH_CORE_DS_IP2",
                                     "MOD_QUILLMESH_CORE_DS_IP3"};

// Copies at most n bytes and always terminates: a longer value is cut rather than handed out
// without its terminator.
void copy_bounded(char* buffer, const std::string& value, size_t n)
{
    snprintf(buffer, n, "%s", value.c_str());
}
}  // namespace

void module_settings_load(module_settings& s, const char* path)
{
    FILE* f = settings_open(path, "r");
    s.enabled = static_cast<int>(settings_get_uint(f, "MOD_QUILLMESH_ENABLED"));
    for (int i = 0; i < 3; ++i)
        s.local_ds_ip[i] = settings_get_text(f, local_ds_keys[i]);
    for (int i = 0; i < 3; ++i)
        s.core_ds_ip[i] = settings_get_text(f, core_ds_keys[i]);
    s.cs_ip = settings_get_text(f, "MOD_QUILLMESH_CS_IP1");
    s.ucid = settings_get_text(f, "MOD_QUILLMESH_UCID");
    s.ds_port = settings_get_uint(f, "MOD_QUILLMESH_DS_PORT");
    s.cs_side_channel_port_ssl = settings_get_uint(f, "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL");
    s.cs_side_channel_port_udp = settings_get_uint(f, "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP");
    s.control_channel_port = settings_get_uint(f, "MOD_QUILLMESH_CONTROL_CHANNEL_PORT");
    s.syslog_level = settings_get_uint(f, "MOD_QUILLMESH_SYSLOG_LEVEL");
    s.recovery_timeout = settings_get_uint(f, "MOD_QUILLMESH_RECOVERY_TIMEOUT");
    s.recovery_counter = settings_get_uint(f, "MOD_QUILLMESH_RECOVERY_COUNTER");
    s.start_delay_max = settings_get_uint(f, "MOD_QUILLMESH_START_DELAY_MAX");
    settings_close(f);
}

int module_settings_save(const module_settings& s, const char* path)
{
    FILE* f = settings_open(path, "w");
    if (!f)
        return 0;
    settings_put_flag(f, "MOD_QUILLMESH_ENABLED", s.enabled);
    for (int i = 0; i < 3; ++i)
        settings_put_text(f, local_ds_keys[i], s.local_ds_ip[i]);
    for (int i = 0; i < 3; ++i)
        settings_put_text(f, core_ds_keys[i], s.core_ds_ip[i]);
    settings_put_text(f, "MOD_QUILLMESH_CS_IP1", s.cs_ip);
    settings_put_text(f, "MOD_QUILLMESH_UCID", s.ucid);
    settings_put_uint(f, "MOD_QUILLMESH_DS_PORT", s.ds_port, true);
    settings_put_uint(f, "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL", s.cs_side_channel_port_ssl, true);
    settings_put_uint(f, "MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP", s.cs_side_channel_port_udp, true);
    settings_put_uint(f, "MOD_QUILLMESH_CONTROL_CHANNEL_PORT", s.control_channel_port, true);
    settings_put_uint(f, "MOD_QUILLMESH_SYSLOG_LEVEL", s.syslog_level, true);
    settings_put_uint(f, "MOD_QUILLMESH_RECOVERY_TIMEOUT", s.recovery_timeout, true);
    settings_put_uint(f, "MOD_QUILLMESH_RECOVERY_COUNTER", s.recovery_counter, true);
    settings_put_uint(f, "MOD_QUILLMESH_START_DELAY_MAX", s.start_delay_max, true);
    return settings_close(f) == 0 ? 1 : 0;
}

void tunnel_settings_load(tunnel_settings& s, const char* path)
{
    FILE* f = settings_open(path, "r");
    s.enabled = static_cast<int>(settings_get_uint(f, "QUILLMESH_ENABLED"));
    s.tundev = settings_get_text(f, "QUILLMESH_TUNDEV");
    s.proto = settings_get_text(f, "QUILLMESH_PROTO");
    s.port = settings_get_uint(f, "QUILLMESH_PORT");
    s.remote_ipaddr = settings_get_text(f, "QUILLMESH_REMOTE_IPADDR");
    s.redirect_gw = settings_get_uint(f, "QUILLMESH_REDIRECT_GW") != 0;
    s.ping_intvl = settings_get_uint(f, "QUILLMESH_PING_INTVL");
    s.ping_tout = settings_get_uint(f, "QUILLMESH_PING_TOUT");
    s.comp = settings_get_text(f, "QUILLMESH_COMP");
    s.nat = settings_get_uint(f, "QUILLMESH_NAT") != 0;
    s.auth = settings_get_text(f, "QUILLMESH_AUTH");
    s.cipher = settings_get_text(f, "QUILLMESH_CIPHER");
    settings_close(f);
}

int tunnel_settings_save(const tunnel_settings& s, const char* path)
{
    FILE* f = settings_open(path, "w");
    if (!f)
        return 0;
    settings_put_flag(f, "QUILLMESH_ENABLED", s.enabled);
    settings_put_text(f, "QUILLMESH_TUNDEV", s.tundev);
    settings_put_text(f, "QUILLMESH_PROTO", s.proto);
    settings_put_uint(f, "QUILLMESH_PORT", s.port, true);
    settings_put_text(f, "QUILLMESH_REMOTE_IPADDR", s.remote_ipaddr);
    settings_put_flag(f, "QUILLMESH_REDIRECT_GW", s.redirect_gw);
    settings_put_uint(f, "QUILLMESH_PING_INTVL", s.ping_intvl, false);
    settings_put_uint(f, "QUILLMESH_PING_TOUT", s.ping_tout, false);
    settings_put_text(f, "QUILLMESH_COMP", s.comp);
    settings_put_flag(f, "QUILLMESH_NAT", s.nat);
    settings_put_text(f, "QUILLMESH_AUTH", s.auth);
    settings_put_text(f, "QUILLMESH_CIPHER", s.cipher);
    return settings_close(f) == 0 ? 1 : 0;
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
