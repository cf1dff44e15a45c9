// The resource manager's operations wired to the router's real subsystems.
#include "daemon/operations.h"

#include "common/log.h"
#include "common/str_util.h"
#include "control/dispatch.h"
#include "control/managing_socket.h"
#include "control/nat.h"
#include "dialogue/cs_exchange.h"
#include "dialogue/discovery.h"
#include "dialogue/initial_actions.h"
#include "settings/module_settings.h"
#include "transport/tcp.h"
#include "trial/network_trial.h"
#include "tunnel/ovpn_control.h"
#include "update/module_update.h"

#include <arpa/inet.h>
#include <cerrno>
#include <malloc.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace
{
int wait_readable(int listener, unsigned timeout_seconds)
{
    fd_set read_set;
    FD_ZERO(&read_set);
    FD_SET(listener, &read_set);
    struct timeval timeout = { static_cast<time_t>(timeout_seconds), 0 };
    return ::select(listener + 1, &read_set, nullptr, nullptr, &timeout);
}

int peer_ipv4_address(int fd, uint32_t* address)
{
    struct sockaddr_in peer = {};
    socklen_t length = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&peer), &length) != 0)
        return -1;
    if (peer.sin_family != AF_INET) {
        errno = EAFNOSUPPORT;
        return -1;
    }
    *address = peer.sin_addr.s_addr;
    return 0;
}

// The listener is bound to the tunnel address of the moment it was created. When the tunnel
// comes back with another address (a reconnect, a CS-commanded restart), the CS can no longer
// reach it although the tunnel is up.
bool managing_socket_on_old_address(int listener)
{
    struct sockaddr_in bound = {};
    socklen_t length = sizeof bound;
    if (getsockname(listener, reinterpret_cast<struct sockaddr*>(&bound), &length) != 0 || bound.sin_family != AF_INET)
        return false;
    char tundev[16] = {};
    settings_tunnel_device(tundev);
    uint32_t address = 0, netmask = 0;
    if (iface_addr_mask(tundev, &address, &netmask) != 0)
        return false;
    return address != bound.sin_addr.s_addr;
}

int set_socket_receive_timeout(int fd, unsigned seconds)
{
    struct timeval timeout = { static_cast<time_t>(seconds), 0 };
    return setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
}
} // namespace

rm_operations real_operations()
{
    rm_operations ops;
    ops.obtain_cs_ip = obtain_cs_ip;
    ops.register_on_cs = register_on_cs;
    ops.get_ovpn_detail_approval = get_ovpn_detail_approval;
    ops.obtain_ovpn_details = obtain_ovpn_details;

    ops.ovpn_credentials_present = ovpn_credentials_present;
    ops.ovpn_credentials_delete = ovpn_credentials_delete;
    ops.ovpn_stop = ovpn_stop;
    ops.ovpn_restart = restart_tunnel;
    ops.tunnel_status = tunnel_status;
    ops.cs_reachable = cs_reachable;
    ops.flush_one_to_one_nat = flush_one_to_one_nat;

    ops.tunnel_device = settings_tunnel_device;
    ops.remote_address = settings_remote_address;
    ops.iface_addr_mask = iface_addr_mask;

    ops.create_managing_socket = create_managing_socket;
    ops.fence_managing_socket = fence_managing_socket;
    ops.select = wait_readable;
    ops.accept_control_connection = accept_control_connection;
    ops.managing_socket_stale = managing_socket_on_old_address;
    ops.peer_address = peer_ipv4_address;
    ops.set_receive_timeout = set_socket_receive_timeout;
    ops.read_message = tcp_read_msg;
    ops.process_control_msg = process_control_msg;
    ops.ovpn_write = ovpn_write;
    ops.close = [](int fd) {
        ::close(fd);
        // A request may have been large (a module package); give its memory back to the system
        // before the daemon goes back to waiting.
        malloc_trim(0);
    };

    ops.trial_tick = network_trial_tick;
    ops.trial_awaits_cs = network_trial_awaits_cs;
    ops.trial_heard_from_cs = network_trial_heard_from_cs;
    ops.ping = [](uint32_t address, unsigned wait_seconds) {
        char text[INET_ADDRSTRLEN] = {};
        struct in_addr in = {};
        in.s_addr = address;
        return inet_ntop(AF_INET, &in, text, sizeof text) && ping_host(text, wait_seconds) == 0;
    };

    ops.apply_staged_files = apply_staged_files;
    ops.module_download = module_download;
    ops.module_install = module_install;
    ops.commit_module_update = commit_module_update;
    return ops;
}
