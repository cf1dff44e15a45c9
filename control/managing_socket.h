// The managing socket on the tunnel address, the handling of one control message from its text
// to its response text, the dispatch of each control request, the restart of router services
// and the storing of files the CS sends.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>
#include <vector>

struct lan_iface_cfg;
enum class lan_setup_result;

// Staging directories of the file store request, by file kind (each path ends in '/').
extern const char* const STORE_MODULE_DIR; // kind 1: /tmp/vpn_module_tbd/module/
extern const char* const STORE_CONFIG_DIR; // kind 2: /tmp/vpn_module_tbd/config/
extern const char* const STORE_SCRIPT_DIR; // kind 3: /tmp/vpn_module_tbd/script/

// A TCP listener bound to the tunnel interface's address and MOD_QUILLMESH_CONTROL_CHANNEL_PORT,
// close-on-exec. -1 after a log line when the tunnel has no address or the socket fails.
int create_managing_socket();

// Fences the managing socket's port in the packet filter (fence_control_port) for the CS at
// `cs_address` (network byte order), with the tunnel device, its address and the port of now.
bool fence_managing_socket(uint32_t cs_address);

// Accepts one connection; the descriptor is close-on-exec. -1 when accept or fcntl fails.
int accept_control_connection(int listen_fd);

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

// Decodes the base64 text (standard alphabet; decoding stops at the first '=' or character
// outside the alphabet) and writes the bytes to `path`, replacing it atomically. True when the
// whole file was written; false after a log line otherwise (nothing is left at `path` that was
// not there before).
bool store_base64_file(const std::string& base64, const std::string& path);

// The decoding of store_base64_file on its own.
std::string base64_decode(const std::string& text);

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
    bool (*disable_internet_connection)();
    bool (*enable_internet_connection)();
    bool (*restart_service)(const char* name);
    void (*tunnel_device)(char* buffer);
};

// The real operations.
const control_handlers& real_control_handlers();

// Installs `handlers` for the dispatch (null restores the real ones). The table is copied.
void set_control_handlers(const control_handlers* handlers);
