#include "protocol/message_reader.h"

#include "common/log.h"
#include "protocol/message_builder.h"

#include <cstdlib>

namespace
{

[[noreturn]] void throw_missing(const cJSON* node, const std::string& key)
{
    throw GenericError("Object [" + key + "] could not be found in JSON string '" + JSON_to_string(node) + "'.");
}

std::string mismatch_text(int32_t expected, int32_t found, const std::string& context)
{
    return "Message protocol version missmatch " + context + " (expected: " + std::to_string(expected)
        + " found: " + std::to_string(found) + ").";
}

} // namespace

json_ptr parse_json_msg(const char* text)
{
    json_ptr root(text ? cJSON_Parse(text) : nullptr);
    if (!root)
        throw GenericError("Malformed JSON message, can not be parsed.");
    return root;
}

json_ptr parse_json_msg(const std::string& text)
{
    return parse_json_msg(text.c_str());
}

bool JSON_has_object(const cJSON* node, const std::string& key)
{
    return node != nullptr && cJSON_GetObjectItem(node, key.c_str()) != nullptr;
}

cJSON* JSON_get_object(const cJSON* node, const std::string& key)
{
    cJSON* item = node ? cJSON_GetObjectItem(node, key.c_str()) : nullptr;
    if (!item)
        throw_missing(node, key);
    return item;
}

const char* JSON_get_string(const cJSON* node, const std::string& key)
{
    const char* text = cJSON_GetStringValue(JSON_get_object(node, key));
    if (!text)
        throw_missing(node, key);
    return text;
}

int32_t JSON_get_int(const cJSON* node, const std::string& key)
{
    const cJSON* item = JSON_get_object(node, key);
    if (!cJSON_IsNumber(item))
        throw_missing(node, key);
    // cJSON truncates toward zero and saturates at the 32-bit limits.
    return item->valueint;
}

std::string JSON_to_string(const cJSON* node)
{
    if (!node)
        return std::string();
    char* printed = cJSON_PrintUnformatted(node);
    if (!printed)
        return std::string();
    std::string text(printed);
    cJSON_free(printed);
    return text;
}

int32_t get_msg_version(const cJSON* root)
{
    return JSON_get_int(JSON_get_object(root, "H"), "V");
}

bool check_msg_version(const cJSON* root, const std::string& context)
{
    int32_t version = get_msg_version(root);
    if (version == QM_PROTOCOL_VERSION)
        return true;
    qm_log(LOG_WARNING, "%s", mismatch_text(QM_PROTOCOL_VERSION, version, context).c_str());
    return false;
}

void warn_msg_version(const cJSON* root, const std::string& context)
{
    check_msg_version(root, context);
}

int32_t require_msg_version(const cJSON* root, int32_t expected, const std::string& context)
{
    int32_t version = get_msg_version(root);
    if (version != expected)
        throw GenericError(mismatch_text(expected, version, context));
    return version;
}

namespace
{

// The root's "B"; a "B" that is not an array is as good as none.
const cJSON* get_body(const cJSON* root)
{
    const cJSON* body = JSON_get_object(root, "B");
    if (!cJSON_IsArray(body))
        throw_missing(root, "B");
    return body;
}

} // namespace

cJSON* get_first_segment(const cJSON* root)
{
    return get_body(root)->child;
}

int get_segment_count(const cJSON* root)
{
    return cJSON_GetArraySize(get_body(root));
}

cJSON* JSON_get_nth_object(int index, const cJSON* array)
{
    cJSON* item = (array && index >= 0) ? cJSON_GetArrayItem(array, index) : nullptr;
    if (!item)
        throw GenericError("JSON_get_nth_object: array is too short.");
    return item;
}

int32_t get_segment_err_code(const cJSON* segment)
{
    if (!segment)
        throw GenericError("get_segment_err_code: wrong parameters (resp_segment=NULL)");
    if (!JSON_has_object(segment, "ER"))
        return 0;
    return JSON_get_int(segment, "ER");
}

int32_t assert_no_error(const cJSON* segment)
{
    if (!segment)
        throw GenericError("assert_no_error: wrong parameters (resp_segment=NULL)");
    if (get_segment_err_code(segment) == 0)
        return 0;
    throw GenericError(std::string("Received an error message - ") + JSON_get_string(segment, "MG"));
}

std::string format_segment_error(const cJSON* segment)
{
    std::string message;
    if (JSON_has_object(segment, "MG"))
        message = JSON_get_string(segment, "MG");
    return "code: " + std::to_string(get_segment_err_code(segment)) + " message: " + message;
}
