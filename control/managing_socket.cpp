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

int create_managing_socket()
{
    unsigned port = 0;
    {
        module_settings settings;
        module_settings_load(settings);
        port = settings.control_channel_port;
    }
    char device[16] = { 0 };
    settings_tunnel_device(device);

    char address[16] = { 0 };
    if (!iface_name_to_ip(device, address) || address[0] == '\0') {
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
    unsigned port = 0;
    {
        module_settings settings;
        module_settings_load(settings);
        port = settings.control_channel_port;
    }
    char device[16] = { 0 };
    settings_tunnel_device(device);
    char address[16] = { 0 };
    if (!iface_name_to_ip(device, address))
        address[0] = '\0';
    char cs[INET_ADDRSTRLEN] = { 0 };
    struct in_addr in = {};
    in.s_addr = cs_address;
    inet_ntop(AF_INET, &in, cs, sizeof cs);
    return fence_control_port(device, address, cs, port);
}

int accept_control_connection(int listen_fd)
{
    int fd = accept4(listen_fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0)
        return -1;
    return fd;
}
