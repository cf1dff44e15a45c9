#include "control/managing_socket.h"

#include "common/log.h"
#include "common/str_util.h"
#include "control/firewall.h"
#include "settings/module_settings.h"
#include "transport/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace
{
// Where the managing socket listens, as the settings and the tunnel say now: the port, the
// tunnel device and its address (empty when it has none).
struct endpoint {
    unsigned port = 0;
    char device[16] = { 0 };
    char address[16] = { 0 };
    bool has_address = false;
};

endpoint managing_endpoint()
{
    endpoint e;
    {
        module_settings settings;
        module_settings_load(settings);
        e.port = settings.control_channel_port;
    }
    settings_tunnel_device(e.device);
    e.has_address = iface_name_to_ip(e.device, e.address);
    if (!e.has_address)
        e.address[0] = '\0';
    return e;
}
} // namespace

int create_managing_socket()
{
    endpoint e = managing_endpoint();
    unsigned port = e.port;
    const char* device = e.device;
    const char* address = e.address;
    if (!e.has_address || address[0] == '\0') {
        qm_log(LOG_ERR, "Not able to create managing socket. No IP address for interface %s found.", device);
        return -1;
    }
    int fd = -1;
    if (port >= 1 && port <= 65535)
        fd = tcp_create_srv_socket(static_cast<int>(port), address);
    if (fd < 0) {
        qm_log(LOG_ERR, "Not able to create a managing socket.");
        return -1;
    }
    if (fcntl(fd, F_SETFD, FD_CLOEXEC) == -1) {
        close(fd);
        return -1;
    }
    return fd;
}

bool fence_managing_socket(uint32_t cs_address)
{
    endpoint e = managing_endpoint();
    char cs[INET_ADDRSTRLEN] = { 0 };
    struct in_addr in = {};
    in.s_addr = cs_address;
    inet_ntop(AF_INET, &in, cs, sizeof cs);
    return fence_control_port(e.device, e.address, cs, e.port);
}

int accept_control_connection(int listen_fd)
{
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    return fd;
}
