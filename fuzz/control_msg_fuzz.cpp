// Feeds arbitrary text to process_control_msg as the CS would send it on the managing socket.
// The operations that change the router are recording fakes; they abort when a value that
// reaches them has a shape that must have been refused first (it would end up in a path, a
// settings file or a shell command line).
#include "common/log.h"
#include "common/validate.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "control/managing_socket.h"
#include "control/file_store.h"
#include "control/dispatch.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

void require(bool condition)
{
    if (!condition)
        abort();
}

bool starts_with(const std::string& text, const char* prefix)
{
    return text.compare(0, strlen(prefix), prefix) == 0;
}

lan_setup_result fake_lan_setup(const std::vector<lan_iface_cfg>& list, uint32_t* restart_set)
{
    for (const lan_iface_cfg& r : list) {
        require(is_iface_name(r.iface));
        require(is_dotted_quad(r.network) && is_contiguous_netmask(r.netmask) && is_dotted_quad(r.address));
        // The DHCP pool may be left out: empty texts.
        require(r.dhcp_enabled.empty() || is_alnum_token(r.dhcp_enabled, 8));
        require((r.dhcp_low.empty() || is_dotted_quad(r.dhcp_low)) && (r.dhcp_high.empty() || is_dotted_quad(r.dhcp_high)));
        require(!r.virtual_network || is_dotted_quad(*r.virtual_network));
        require(!r.virtual_netmask || is_contiguous_netmask(*r.virtual_netmask));
    }
    *restart_set |= list.empty() ? 0 : RESTART_BARD;
    return list.size() % 3 == 0 ? lan_setup_result::success
                                : (list.size() % 3 == 1 ? lan_setup_result::conflict : lan_setup_result::failure);
}

int fake_routes_manage(const cJSON* payload, const char* ip_key, const char* mask_key, const char*, const char*)
{
    for (const char* key : { ip_key, mask_key }) {
        const cJSON* list = cJSON_GetObjectItem(payload, key);
        const cJSON* element = nullptr;
        cJSON_ArrayForEach(element, list) require(cJSON_IsString(element));
    }
    return 1;
}

std::vector<lan_iface_cfg> fake_manageable_ifaces()
{
    lan_iface_cfg cfg;
    cfg.iface = "eth0";
    cfg.address = "192.168.1.1";
    return { cfg };
}

bool fake_claim_staging_dir(const std::string& directory)
{
    require(directory == STORE_MODULE_DIR || directory == STORE_CONFIG_DIR || directory == STORE_SCRIPT_DIR);
    return true;
}

bool fake_store(const std::string&, const std::string& path)
{
    const char* dir = starts_with(path, STORE_MODULE_DIR) ? STORE_MODULE_DIR
        : starts_with(path, STORE_CONFIG_DIR)             ? STORE_CONFIG_DIR
        : starts_with(path, STORE_SCRIPT_DIR)             ? STORE_SCRIPT_DIR
                                                          : nullptr;
    require(dir != nullptr);
    require(is_safe_file_name(path.substr(strlen(dir))));
    return path.size() % 2 == 0;
}

const control_handlers fakes = {
    fake_lan_setup,
    fake_routes_manage,
    fake_manageable_ifaces,
    []() { return 1; },
    fake_claim_staging_dir,
    fake_store,
    []() { return true; },
    []() { return false; },
    [](const char* name) { return strcmp(name, "wifi") != 0; },
    [](char* buffer) { strcpy(buffer, "tun0"); },
};

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    qm_set_log_sink([](int, const std::string&) {});
    set_control_handlers(&fakes);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string request(reinterpret_cast<const char*>(data), size);
    std::string response;
    if (process_control_msg(request, response)) {
        // Whatever was asked, the answer is a well-formed envelope.
        cJSON* parsed = cJSON_Parse(response.c_str());
        require(parsed != nullptr);
        require(cJSON_IsArray(cJSON_GetObjectItem(parsed, "B")));
        cJSON_Delete(parsed);
    }
    return 0;
}
