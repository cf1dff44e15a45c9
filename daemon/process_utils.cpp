#include "daemon/process_utils.h"

#include "common/log.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

int daemonize(bool stay_child)
{
    pid_t pid = stay_child ? 0 : fork();
    if (pid < 0) {
        qm_log(LOG_ERR, "fork: %s", strerror(errno));
        return -1;
    }
    if (pid > 0)
        _exit(0);
    // A process group leader cannot begin a session; staying a child, it keeps the one it has.
    if (setsid() < 0 && !(stay_child && errno == EPERM)) {
        qm_log(LOG_ERR, "setsid: %s", strerror(errno));
        return -1;
    }
    signal(SIGHUP, SIG_IGN);
    pid = stay_child ? 0 : fork();
    if (pid < 0) {
        qm_log(LOG_ERR, "fork: %s", strerror(errno));
        return -1;
    }
    if (pid > 0)
        _exit(0);
    if (chdir("/") != 0) {
        qm_log(LOG_ERR, "chdir: %s -- %s", "/", strerror(errno));
        return -1;
    }
    // Files the daemon and its children create are not writable by others; private keys are
    // created with mode 0600 explicitly.
    umask(022);
    close(0);
    close(1);
    close(2);
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) {
        qm_log(LOG_ERR, "open: %s", strerror(errno));
        return -1;
    }
    dup2(fd, 0);
    dup2(fd, 1);
    dup2(fd, 2);
    if (fd > 2)
        close(fd);
    return 0;
}
