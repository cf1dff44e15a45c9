// Entry of quillmeshd: becomes a daemon, opens the log and starts up.
#include <cstdlib>

#include "common/log.h"
#include "daemon/module_settings.h"
#include "daemon/process_utils.h"

int main()
{
    if (daemonize() != 0)
        return -1;
    setenv("PATH", "/bin:/sbin:/usr/bin:/usr/sbin", 0);
    qm_openlog();
    qm_set_log_level(static_cast<unsigned>(settings_syslog_level()));
    qm_log(LOG_NOTICE, "started.");
    return 0;
}
