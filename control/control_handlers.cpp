// The real operations behind the control dispatch.
#include "common/runner.h"
#include "control/firewall.h"
#include "control/inventory.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "control/file_store.h"
#include "control/dispatch.h"
#include "control/nat.h"
#include "settings/module_settings.h"
#include "tunnel/ovpn_control.h"
#include "tunnel/routes.h"
#include "update/module_update.h"

const control_handlers& real_control_handlers()
{
    static const control_handlers real = {
        lan_setup,
        [](const cJSON* payload, const char* ip_key, const char* mask_key, const char* operation, const char* device) {
            return static_cast<int>(routes_manage(payload, ip_key, mask_key, operation, device));
        },
        manageable_ifaces,
        restart_tunnel,
        [](const std::string& directory) { return claim_staging_dir(directory, true); },
        store_base64_file,
        []() { return static_cast<bool>(disable_internet_connection()); },
        []() { return static_cast<bool>(enable_internet_connection()); },
        restart_service,
        settings_tunnel_device,
    };
    return real;
}

bool restart_service(const char* name)
{
    return run_program("/sbin/service", name, "restart", static_cast<char*>(nullptr)) == 0;
}
