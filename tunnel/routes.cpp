#include "tunnel/routes.h"

#include "common/log.h"
#include "common/system.h"
#include "common/validate.h"
#include "tunnel/ovpn_control.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{
// The element as the log shows it: the text of a string, the printed JSON of anything else.
std::string element_text(const cJSON* item)
{
    if (!item)
        return "(missing)";
    if (cJSON_IsString(item) && item->valuestring)
        return item->valuestring;
    char* printed = cJSON_PrintUnformatted(item);
    std::string text = printed ? printed : "";
    cJSON_free(printed);
    return text;
}
} // namespace

int routes_manage(
    const cJSON* payload, const char* address_key, const char* netmask_key, const char* operation, const char* device)
{
    if (!payload || !address_key || !netmask_key)
        return 0;
    const cJSON* addresses = cJSON_GetObjectItem(payload, address_key);
    const cJSON* netmasks = cJSON_GetObjectItem(payload, netmask_key);
    if (!addresses || !netmasks)
        return 0;
    if (!cJSON_IsArray(addresses) || !cJSON_IsArray(netmasks)) {
        qm_log(LOG_ERR, "routes_manage: %s and %s must be lists.", address_key, netmask_key);
        return 0;
    }
    // Operation and device go into the command line as well.
    if (!operation || (strcmp(operation, "add") != 0 && strcmp(operation, "delete") != 0) || !device
        || !is_iface_name(device)) {
        qm_log(LOG_ERR, "routes_manage: invalid operation '%s' or device '%s'.", operation ? operation : "",
            device ? device : "");
        return 0;
    }

    int count = cJSON_GetArraySize(addresses);
    for (int i = 0; i < count; ++i) {
        const cJSON* address = cJSON_GetArrayItem(addresses, i);
        const cJSON* netmask = cJSON_GetArrayItem(netmasks, i);
        // Both texts end up in a shell command line: only a dotted quad and a contiguous mask pass.
        if (!cJSON_IsString(address) || !address->valuestring || !is_dotted_quad(address->valuestring)) {
            qm_log(LOG_ERR, "Operation %s stopped: invalid network address %s at position %d of %s.", operation,
                element_text(address).c_str(), i, address_key);
            return 0;
        }
        if (!cJSON_IsString(netmask) || !netmask->valuestring || !is_contiguous_netmask(netmask->valuestring)) {
            qm_log(LOG_ERR, "Operation %s stopped: invalid netmask %s at position %d of %s.", operation,
                element_text(netmask).c_str(), i, netmask_key);
            return 0;
        }

        std::string route = std::string(address->valuestring) + "/" + netmask->valuestring;
        std::string command = std::string("ip r ") + operation + " " + route + " dev " + device;
        qm_log(LOG_DEBUG, "routes_manage: command: %s", command.c_str());

        if (!wait_for_tunnel(1)) {
            qm_log(LOG_ERR, "Not able to set routes. OVPN tunnel is down.");
            return 0;
        }
        if (run_shell_status(command) != 0) {
            qm_log(LOG_ERR, "Operation %s for route %s failed.", operation, route.c_str());
            return 0;
        }
    }
    return 1;
}
