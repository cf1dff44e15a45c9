// Entry of quillmeshd: becomes a daemon, opens the log, starts up and runs the resource manager.
#include "common/log.h"
#include "common/system.h"
#include "daemon/operations.h"
#include "daemon/prerequisites.h"
#include "daemon/process_utils.h"
#include "daemon/resource_manager.h"
#include "dialogue/device_cert.h"
#include "settings/module_settings.h"
#include "trial/network_trial.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <exception>
#include <fcntl.h>
#include <unistd.h>

namespace
{
// After a regional power cut a whole fleet comes back at the same moment: a random pause of
// 0..max seconds (in milliseconds) before the first contact with a DS spreads their starts.
void start_delay(unsigned max_seconds)
{
    if (max_seconds == 0)
        return;
    uint32_t random = 0;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || read(fd, &random, sizeof random) != static_cast<ssize_t>(sizeof random))
        random = static_cast<uint32_t>(time(nullptr)) ^ (static_cast<uint32_t>(getpid()) * 2654435761u);
    if (fd >= 0)
        close(fd);
    uint32_t ms = random % (max_seconds * 1000 + 1);
    qm_log(LOG_INFO, "Waiting %u.%03u s before the first contact with a DS.", ms / 1000, ms % 1000);
    msleep(ms);
}
} // namespace

// "-f": stay in the foreground as the child of the module's supervisor (module/etc/init), which
// starts the daemon again when it ends. Without it the daemon detaches as it always did.
int main(int argc, char** argv)
{
    bool supervised = argc == 2 && strcmp(argv[1], "-f") == 0;
    if (daemonize(supervised) != 0)
        return -1;
    setenv("PATH", "/bin:/sbin:/usr/bin:/usr/sbin", 0);
    qm_openlog();
    qm_set_log_level(static_cast<unsigned>(settings_syslog_level()));
    qm_log(LOG_NOTICE, "started.");
    // A network change left on trial by an earlier run goes on, or is undone when its time is
    // up, whatever stops the start-up below.
    network_trial_at_start();
    // From here on every pause of the daemon, whatever it waits for, ends at the deadline of a
    // change on trial.
    static trial_system pauses(router_system());
    install_system_backend(&pauses);

    if (access(DS_CERT_PATH, F_OK) != 0) {
        qm_log(LOG_CRIT, "DS certificate is missing (%s). Exiting...", DS_CERT_PATH);
        exit(1);
    }
    try {
        provision_device_certificate();
    } catch (const std::exception& e) {
        qm_log(LOG_CRIT, "Unable to generate SSL certificate (%s). Exiting...", e.what());
        exit(1);
    }
    if (check_prerequisite_versions() != 1) {
        qm_log(LOG_CRIT, "Insufficent version of a needed application. Exiting...");
        exit(1);
    }

    unsigned recovery_timeout = 0;
    unsigned recovery_counter = 0;
    settings_recovery(&recovery_timeout, &recovery_counter);
    start_delay(settings_start_delay_max());
    resource_manager manager(real_operations(), recovery_timeout, recovery_counter);
    return manager.run();
}
