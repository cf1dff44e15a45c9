#include "control/dispatch.h"

#include "common/error.h"
#include "common/json_ptr.h"
#include "common/log.h"
#include "common/system.h"
#include "common/validate.h"
#include "control/file_store.h"
#include "control/firewall.h"
#include "control/inventory.h"
#include "control/lan_iface_cfg.h"
#include "control/lan_setup.h"
#include "control/nat.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"
#include "settings/module_settings.h"
#include "tunnel/routes.h"
#include "update/module_update.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <exception>
#include <vector>

namespace
{

const char* const MG_CONFLICT = "Conflicting LAN address";
const char* const MG_UNKNOWN_FILE_TYPE = "Unknown file type";
const char* const MG_INTERNET_FAILED = "Setting internet connection failed.";
const char* const MG_UNSUPPORTED = "Unsupported segment type";

// Value checks that the reader leaves to its callers: a missing member and a member of the
// wrong kind are the same defect of the message.
[[noreturn]] void throw_wrong_kind(const cJSON* node, const char* key)
{
    throw GenericError(
        std::string("Object [") + key + "] could not be found in JSON string '" + JSON_to_string(node) + "'.");
}

const cJSON* get_array(const cJSON* node, const char* key)
{
    const cJSON* item = JSON_get_object(node, key);
    if (!cJSON_IsArray(item))
        throw_wrong_kind(node, key);
    return item;
}

// A list of "13-x" must be an array of texts; routes_manage reads its elements as texts.
void check_text_array(const cJSON* node, const char* key)
{
    if (!JSON_has_object(node, key))
        return;
    const cJSON* list = get_array(node, key);
    const cJSON* element = nullptr;
    cJSON_ArrayForEach(element, list)
    {
        if (!cJSON_IsString(element) || !element->valuestring)
            throw_wrong_kind(node, key);
    }
}

// The request type: an integral number whose response type (type + 1) is representable.
// Anything else is treated like a missing "T": the message is not answered.
int segment_type(const cJSON* segment)
{
    const cJSON* item = JSON_get_object(segment, "T");
    if (!cJSON_IsNumber(item) || !std::isfinite(item->valuedouble) || item->valuedouble < INT_MIN
        || item->valuedouble >= static_cast<double>(INT_MAX))
        throw_wrong_kind(segment, "T");
    return static_cast<int>(item->valuedouble);
}

cJSON* error_response(int type, int index, const std::string& message = std::string())
{
    return build_control_response(type + 1, index, 1, nullptr, message);
}

cJSON* success_response(int type, int index, cJSON* payload = nullptr)
{
    return build_control_response(type + 1, index, 0, payload, std::string());
}

// One LAN entry of a type 11 request, checked for its shape before anything is touched: the
// values end up in the staging file, the router's settings and iptables command lines.
bool parse_lan_entry(const cJSON* entry, lan_iface_cfg& cfg)
{
    if (!cJSON_IsObject(entry))
        throw GenericError("LAN entry is not an object: '" + JSON_to_string(entry) + "'.");
    std::string name = JSON_get_string(entry, "11-3");
    if (!lan_iface_of(name) || !is_iface_name(name)) {
        qm_log(LOG_ERR, "The %s is not a name of supported network interface.", name.c_str());
        return false;
    }
    cfg.iface = name;
    for (const lan_field* f : LAN_FIELDS_REQUEST_ORDER)
        cfg.*f->member = JSON_get_string(entry, f->request_key);
    if (JSON_has_object(entry, "11-8")) {
        cfg.virtual_network = std::string(JSON_get_string(entry, "11-8"));
        cfg.virtual_netmask = std::string(JSON_get_string(entry, "11-9"));
    }

    auto refuse = [&name](const char* key, const std::string& value) {
        qm_log(LOG_ERR, "Invalid value of %s for %s: '%s'.", key, name.c_str(), value.c_str());
        return false;
    };
    for (const lan_field* f : LAN_FIELDS_REQUEST_ORDER) {
        if (!f->valid(cfg.*f->member))
            return refuse(f->request_key, cfg.*f->member);
    }
    if (cfg.virtual_network && !is_dotted_quad(*cfg.virtual_network))
        return refuse("11-8", *cfg.virtual_network);
    if (cfg.virtual_netmask && !is_contiguous_netmask(*cfg.virtual_netmask))
        return refuse("11-9", *cfg.virtual_netmask);
    return true;
}

cJSON* handle_lan_setup(const cJSON* payload, uint32_t* restart_set, int type, int index)
{
    if (!cJSON_IsArray(payload))
        throw GenericError("LAN information is not a list: '" + JSON_to_string(payload) + "'.");
    std::vector<lan_iface_cfg> list;
    const cJSON* entry = nullptr;
    cJSON_ArrayForEach(entry, payload)
    {
        lan_iface_cfg cfg;
        if (!parse_lan_entry(entry, cfg)) {
            qm_log(LOG_ERR, "Unable to parse LAN information obtained from CS.");
            return error_response(type, index);
        }
        list.push_back(std::move(cfg));
    }
    switch (lan_setup(list, restart_set)) {
    case lan_setup_result::success:
        return success_response(type, index);
    case lan_setup_result::conflict:
        return error_response(type, index, MG_CONFLICT);
    default:
        return error_response(type, index);
    }
}

cJSON* handle_routes(const cJSON* payload, uint32_t*, int type, int index)
{
    if (!JSON_has_object(payload, "13-1") && !JSON_has_object(payload, "13-3")) {
        qm_log(LOG_ERR, "Message with routing information is malformed. List of IPs is missing.");
        return error_response(type, index);
    }
    if (!JSON_has_object(payload, "13-2") && !JSON_has_object(payload, "13-4")) {
        qm_log(LOG_ERR, "Message with routing information is malformed. List of netmasks is missing.");
        return error_response(type, index);
    }
    for (const char* key : { "13-1", "13-2", "13-3", "13-4" })
        check_text_array(payload, key);
    char device[16] = { 0 };
    settings_tunnel_device(device);
    // Failures of single routes are only logged; the CS is told the request was taken.
    routes_manage(payload, "13-3", "13-4", "delete", device);
    routes_manage(payload, "13-1", "13-2", "add", device);
    return success_response(type, index);
}

cJSON* handle_inventory(const cJSON*, uint32_t*, int type, int index)
{
    std::vector<lan_iface_cfg> list = manageable_ifaces();
    json_ptr payload(cJSON_CreateObject());
    cJSON* array = cJSON_CreateArray();
    if (!payload || !array) {
        cJSON_Delete(array);
        return nullptr;
    }
    cJSON_AddItemToObject(payload.get(), "16-1", array);
    for (const lan_iface_cfg& cfg : list) {
        cJSON* item = cJSON_CreateObject();
        if (!item)
            return nullptr;
        cJSON_AddItemToArray(array, item);
        cJSON_AddStringToObject(item, "16-4", cfg.iface.c_str());
        for (const lan_field* f : LAN_FIELDS_ANSWER_ORDER)
            cJSON_AddStringToObject(item, f->answer_key, (cfg.*f->member).c_str());
    }
    return success_response(type, index, payload.release());
}

cJSON* handle_tunnel_restart(const cJSON*, uint32_t*, int type, int index)
{
    if (restart_tunnel())
        return success_response(type, index);
    qm_log(LOG_ERR, "Not able to restart OVPN tunnel although CS commanded us to do so.");
    return error_response(type, index);
}

cJSON* handle_file_store(const cJSON* payload, uint32_t*, int type, int index)
{
    std::string content = JSON_get_string(payload, "19-1");
    std::string name = JSON_get_string(payload, "19-3");
    int kind = JSON_get_int(payload, "19-2");
    qm_log(LOG_DEBUG, "Parsed file name: %s Type: %d", name.c_str(), kind);
    const char* dir = nullptr;
    switch (kind) {
    case 1:
        dir = STORE_MODULE_DIR;
        break;
    case 2:
        dir = STORE_CONFIG_DIR;
        break;
    case 3:
        dir = STORE_SCRIPT_DIR;
        break;
    default:
        qm_log(LOG_ERR, "Unknown file type: %d", kind);
        return error_response(type, index, MG_UNKNOWN_FILE_TYPE);
    }
    // The stored file is later run through the shell by its path: one plain path component only.
    if (!is_safe_file_name(name)) {
        qm_log(LOG_ERR, "Refused file name from CS: '%s'.", name.c_str());
        return error_response(type, index);
    }
    if (!claim_staging_dir(dir, true) || !store_base64_file(content, dir + name)) {
        qm_log(LOG_ERR, "Not able to store base64 file: %s.", name.c_str());
        return error_response(type, index);
    }
    return success_response(type, index);
}

cJSON* handle_internet_mode(const cJSON* payload, uint32_t*, int type, int index)
{
    // Leading white space is skipped and trailing characters are ignored; text without leading
    // digits or out of range throws and is answered without "MG".
    int mode = std::stoi(JSON_get_string(payload, "23-1"), nullptr, 10);
    if (manage_internet_connection(mode))
        return success_response(type, index);
    return error_response(type, index, MG_INTERNET_FAILED);
}

// The request types of the catalogue and their handlers. A new request type is one handler and
// one row here.
using request_handler = cJSON* (*)(const cJSON* payload, uint32_t* restart_set, int type, int index);
const struct {
    int type;
    request_handler handle;
} request_table[] = {
    { 11, handle_lan_setup },
    { 13, handle_routes },
    { 15, handle_inventory },
    { 17, handle_tunnel_restart },
    { 19, handle_file_store },
    { 23, handle_internet_mode },
};

} // namespace

bool restart_service(const char* name)
{
    return run_program({ "/sbin/service", name, "restart" }) == 0;
}

cJSON* build_control_response(int type, int index, int error, cJSON* payload, const std::string& message)
{
    cJSON* segment = cJSON_CreateObject();
    if (!segment) {
        cJSON_Delete(payload);
        return nullptr;
    }
    cJSON_AddNumberToObject(segment, "T", type);
    cJSON_AddNumberToObject(segment, "ER", error);
    cJSON_AddNumberToObject(segment, "I", index);
    if (payload)
        cJSON_AddItemToObject(segment, "DT", payload);
    if (!message.empty())
        cJSON_AddStringToObject(segment, "MG", message.c_str());
    return segment;
}

cJSON* process_control_request(const cJSON* segment, uint32_t* restart_set, int index)
{
    int type = segment_type(segment);
    qm_log(LOG_DEBUG, "process_control_request: Segment type: %d", type);
    try {
        const cJSON* payload = JSON_get_object(segment, "DT");
        for (const auto& row : request_table) {
            if (row.type == type)
                return row.handle(payload, restart_set, type, index);
        }
        qm_log(LOG_ERR, "Received a message with invalid/unsupported type: %d.", type);
        return error_response(type, index, MG_UNSUPPORTED);
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "%s", e.what());
        return error_response(type, index);
    }
}

bool process_control_msg(const std::string& request, std::string& response)
{
    try {
        json_ptr root = parse_json_msg(request);
        if (!check_msg_version(root.get(), "")) {
            errno = QM_ERR_VERSION_MISMATCH;
            return false;
        }
        json_ptr reply(cJSON_CreateObject());
        if (!reply)
            return false;
        cJSON* body = cJSON_CreateArray();
        cJSON* header = cJSON_CreateObject();
        if (!body || !header) {
            cJSON_Delete(body);
            cJSON_Delete(header);
            return false;
        }
        cJSON_AddItemToObject(reply.get(), "B", body);
        cJSON_AddItemToObject(reply.get(), "H", header);
        cJSON_AddNumberToObject(header, "V", QM_PROTOCOL_VERSION);

        qm_log(LOG_DEBUG, "process_control_msg: message: %s", request.c_str());

        const cJSON* segments = get_array(root.get(), "B");
        uint32_t restart_set = 0;
        int index = 0;
        const cJSON* segment = nullptr;
        cJSON_ArrayForEach(segment, segments)
        {
            cJSON* answer = process_control_request(segment, &restart_set, index);
            if (!answer)
                return false;
            cJSON_AddItemToArray(body, answer);
            ++index;
        }

        int bard = (restart_set & RESTART_BARD) ? 1 : 0;
        int eth = (restart_set & RESTART_ETH) ? 1 : 0;
        int wifi = (restart_set & RESTART_WIFI) ? 1 : 0;
        qm_log(LOG_DEBUG, "Services to restart: bard: %d, eth: %d, wifi: %d", bard, eth, wifi);
        for (const restart_row& s : RESTART_SERVICES) {
            if ((restart_set & s.bit) && !restart_service(s.service)) {
                qm_log(LOG_ERR, "%s", s.failure);
                return false;
            }
        }

        char* text = cJSON_PrintUnformatted(reply.get());
        if (!text)
            return false;
        response = text;
        cJSON_free(text);
        return true;
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "process_control_msg: %s", e.what());
        return false;
    }
}
