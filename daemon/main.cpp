// Entry of quillmeshd: becomes a daemon, opens the log, starts up and runs the resource manager.
#include "common/log.h"
#include "settings/module_settings.h"
#include "daemon/operations.h"
#include "daemon/prerequisites.h"
#include "daemon/process_utils.h"
#include "daemon/resource_manager.h"
#include "dialogue/device_cert.h"

#include <cstdlib>
#include <cstring>
#include <exception>
#include <unistd.h>

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
    resource_manager manager(real_operations(), recovery_timeout, recovery_counter);
    return manager.run();
}
