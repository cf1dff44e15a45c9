#include "tunnel/ovpn_control.h"

#include "common/error.h"
#include "common/log.h"
#include "common/str_util.h"
#include "common/system.h"
#include "settings/module_settings.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

const char* const OVPN_INIT_SCRIPT = "/opt/quillmesh/etc/init.ovpn";
const char* const OVPN_SYSTEM_LOG = "/var/log/messages";
const char* const OVPN_CA_CERT_PATH = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_ca.crt";
const char* const OVPN_CLIENT_CERT_PATH = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_cert.crt";
const char* const OVPN_CLIENT_KEY_PATH = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_key.pem";

namespace
{
const char* const credential_files[] = { OVPN_CA_CERT_PATH, OVPN_CLIENT_CERT_PATH, OVPN_CLIENT_KEY_PATH };

// Finds the tunnel device, the process number of the ferryd process whose command line names
// it, and the system log lines of that process that match the pattern. The number is matched
// as the "[pid]" of the syslog tag, so that a number that merely occurs in another line (a time
// of day, another process's number) does not count.
const char* const LOG_QUERY_FORMAT
    = "TUNDEV=`grep QUILLMESH_TUNDEV /opt/quillmesh/etc/settings.ovpn | awk -F \"=\" '{print $2}'` &&PID=%s && "
      "cat '/var/log/messages' | grep \"\\[$PID\\]\" | grep -e %s";
const char* const FERRYD_PID = "`ps | grep ferryd | grep $TUNDEV | awk '{print $1}'`";

// Looks for the tunnel address between two rounds of log queries (each a shell pipeline over
// the whole log, so at most one round a second).
const int ADDRESS_LOOKS_PER_SECOND = 20;

const char* const TUNNEL_STATE_PATTERN
    = "'Initialization Sequence Completed\\|Inactivity timeout\\|AUTH_FAILED' | tail -n 1 | grep -e "
      "'AUTH_FAILED\\|Inactivity timeout'";
} // namespace

int ovpn_log_contains(const char* pattern)
{
    std::string command = format_text(LOG_QUERY_FORMAT, FERRYD_PID, pattern ? pattern : "");
    int status = run_shell_status(command);
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0 ? 1 : 0;
}

int ovpn_log_contains_quoted(const char* message)
{
    std::string quoted = std::string("\"") + (message ? message : "") + "\"";
    return ovpn_log_contains(quoted.c_str());
}

int ovpn_init(const char* action)
{
    // The command line has two blanks before the action.
    std::string command = std::string(OVPN_INIT_SCRIPT) + "  " + (action ? action : "");
    int status = run_shell_status(command);
    return status != -1 && ((status >> 8) & 0xff) == 0 ? 1 : 0;
}

int ovpn_stop()
{
    return ovpn_init("stop");
}

int ovpn_restart()
{
    if (!ovpn_init("restart")) {
        qm_log(LOG_DEBUG, "OVPN restart failed.");
        // No reason code of an earlier call may survive: this failure is "other".
        errno = 0;
        return 0;
    }
    qm_log(LOG_DEBUG, "OVPN restarted. Waiting for tunnel to come up...");
    if (!wait_for_tunnel(1)) {
        int code = errno;
        qm_log(LOG_ERR, "Unable to establish OVPN tunnel (error: %d).", code);
        errno = code; // the resource manager decides by it
        return 0;
    }
    return 1;
}

int wait_for_tunnel(int32_t minutes)
{
    char tundev[16] = { 0 };
    settings_tunnel_device(tundev);
    errno = 0;
    long budget = static_cast<long>(minutes) * 60;
    const auto has_address = [&tundev] {
        uint32_t address = 0;
        uint32_t netmask = 0;
        return iface_addr_mask(tundev, &address, &netmask) == 0;
    };
    for (;;) {
        if (iface_has_address(tundev))
            return 1;
        // Each log query is a pipeline over the whole log, long on a router: the address is
        // looked for again after each.
        if (ovpn_log_contains_quoted("TLS Error: TLS handshake failed")) {
            errno = QM_ERR_TUNNEL_CREDENTIALS;
            return 0;
        }
        if (has_address())
            return 1;
        if (ovpn_log_contains_quoted("AUTH_FAILED")) {
            errno = QM_ERR_TUNNEL_AUTH_FAILED;
            return 0;
        }
        if (has_address())
            return 1;
        if (ovpn_log_contains_quoted("WARNING: Your certificate has expired!")) {
            errno = QM_ERR_TUNNEL_CREDENTIALS;
            return 0;
        }
        if (minutes != 0 && --budget <= 0) {
            errno = QM_ERR_TUNNEL_NO_ADDRESS;
            return 0;
        }
        // The second until the next round of log queries: the address is looked for every
        // 50 ms with one ioctl, so the tunnel counts as up within 50 ms of getting it. The
        // ticks are fixed points in time, so the pause stays one second.
        const auto second = monotonic_now();
        for (int i = 1; i <= ADDRESS_LOOKS_PER_SECOND; i++) {
            const auto tick = second + std::chrono::milliseconds(1000 * i / ADDRESS_LOOKS_PER_SECOND);
            const auto now = monotonic_now();
            if (tick > now)
                msleep(
                    static_cast<uint32_t>(std::chrono::duration_cast<std::chrono::milliseconds>(tick - now).count()));
            if (has_address())
                return 1;
        }
    }
}

int tunnel_status()
{
    if (ovpn_log_contains(TUNNEL_STATE_PATTERN))
        return 0;
    char tundev[16] = { 0 };
    settings_tunnel_device(tundev);
    return iface_has_address(tundev);
}

int iface_has_address(const char* name, char* address)
{
    if (!name)
        return 0;
    char found[16] = { 0 };
    if (!iface_name_to_ip(name, found) || found[0] == '\0')
        return 0;
    if (address)
        memcpy(address, found, sizeof found);
    return 1;
}

int ovpn_credentials_present()
{
    for (const char* path : credential_files) {
        if (access(path, R_OK) != 0)
            return 0;
    }
    return 1;
}

int ovpn_credentials_delete()
{
    for (const char* path : credential_files) {
        if (unlink(path) != 0)
            return 0;
    }
    return 1;
}

int ping_host(const char* host, unsigned wait_seconds)
{
    // The host goes into a shell command line: only address and host name characters pass.
    if (is_empty_text(host)
        || strspn(host, "0123456789.-abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ") != strlen(host)
        || host[0] == '-') {
        qm_log(LOG_ERR, "Refusing to ping the invalid host name '%s'.", host ? host : "");
        return 2;
    }
    return run_shell(std::string("ping ") + host + " -c 1 -W " + std::to_string(wait_seconds));
}

int cs_reachable()
{
    char address[16] = { 0 };
    settings_remote_address(address);
    return ping_host(address) == 0 ? 1 : 0;
}
