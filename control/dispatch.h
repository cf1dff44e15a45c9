// The handling of one control message from its text to its response text: each request segment
// goes to the handler of its type (a table of request type -> handler), and the router services
// the requests changed are restarted after the message.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>
#include <vector>

struct lan_iface_cfg;
enum class lan_setup_result;

// Handles one control message. True when `response` holds the text to send back. False when
// nothing is to be sent: errno is QM_ERR_VERSION_MISMATCH (275) when the protocol version did
// not match; otherwise the reason was logged.
bool process_control_msg(const std::string& request, std::string& response);

// Handles one request segment; `restart_set` gathers the services to restart (RESTART_* bits of
// control/lan_setup.h). Returns a new response segment owned by the caller, null only when the
// segment itself cannot be allocated. Throws GenericError when the segment has no numeric "T".
cJSON* process_control_request(const cJSON* segment, uint32_t* restart_set, int index);

// A response segment {"T":type,"ER":error,"I":index[,"DT":payload][,"MG":message]}.
// Ownership of `payload` passes to the segment (also when null is returned).
cJSON* build_control_response(int type, int index, int error, cJSON* payload, const std::string& message);

// "/sbin/service <name> restart" without a shell; true on wait status 0.
bool restart_service(const char* name);

// The operations that change the router, as the dispatch calls them. The real functions are the
// default; the fuzz target and tests put recording fakes in their place.
struct control_handlers {
    lan_setup_result (*lan_setup)(const std::vector<lan_iface_cfg>& list, uint32_t* restart_set);
    int (*routes_manage)(
        const cJSON* payload, const char* ip_key, const char* mask_key, const char* operation, const char* device);
    std::vector<lan_iface_cfg> (*manageable_ifaces)();
    int (*ovpn_restart)();
    // Makes the staging subdirectory ready for a file (claim_staging_dir); false refuses it.
    bool (*claim_staging_dir)(const std::string& directory);
    bool (*store_base64_file)(const std::string& base64, const std::string& path);
    // The two halves of manage_internet_connection (control/firewall.h).
    bool (*disable_internet_connection)();
    bool (*enable_internet_connection)();
    bool (*restart_service)(const char* name);
    void (*tunnel_device)(char* buffer);
};

// The real operations.
const control_handlers& real_control_handlers();

// Installs `handlers` for the dispatch (null restores the real ones). The table is copied.
void set_control_handlers(const control_handlers* handlers);
