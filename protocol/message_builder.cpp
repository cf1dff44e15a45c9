#include "protocol/message_builder.h"

#include "common/json_ptr.h"
#include "common/log.h"

#include <cjson/cJSON.h>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>

namespace
{

bool non_empty(const char* text)
{
    return text != nullptr && text[0] != '\0';
}

// A null text leaves the key out.
void add_text(cJSON* object, const char* key, const char* text)
{
    if (text != nullptr)
        cJSON_AddStringToObject(object, key, text);
}

// The status pair: "I" first, then "ER".
void add_status(cJSON* segment, int code)
{
    cJSON_AddNumberToObject(segment, "I", 0);
    cJSON_AddNumberToObject(segment, "ER", code);
}

cJSON* add_payload(cJSON* segment)
{
    cJSON* payload = cJSON_CreateObject();
    cJSON_AddItemToObject(segment, "DT", payload);
    return payload;
}

void add_error_form(cJSON* segment, const char* text)
{
    add_status(segment, 1);
    add_text(segment, "MG", text);
}

// Fills the segment of `type` from the arguments; false for a type outside the catalogue.
bool fill_segment(int type, cJSON* segment, va_list args)
{
    switch (type) {
    case 1: {
        const char* a = va_arg(args, const char*);
        const char* b = va_arg(args, const char*);
        const char* c = va_arg(args, const char*);
        const char* d = va_arg(args, const char*);
        if (non_empty(a) && non_empty(b) && non_empty(c) && non_empty(d)) {
            add_status(segment, 0);
            cJSON* dt = add_payload(segment);
            add_text(dt, "1-1", a);
            add_text(dt, "1-2", b);
            add_text(dt, "1-3", c);
            add_text(dt, "1-4", d);
        }
        return true;
    }
    case 2: {
        int flag = va_arg(args, int);
        if (flag != 0) {
            add_status(segment, 0);
            cJSON_AddNumberToObject(add_payload(segment), "2-1", 1);
            return true;
        }
        const char* s2 = va_arg(args, const char*);
        const char* s3 = va_arg(args, const char*);
        if (s2 == nullptr) {
            add_error_form(segment, s3);
            return true;
        }
        const char* s4 = va_arg(args, const char*);
        const char* s5 = va_arg(args, const char*);
        add_status(segment, 0);
        cJSON* dt = add_payload(segment);
        cJSON_AddNumberToObject(dt, "2-1", 0);
        add_text(dt, "2-2", s2);
        add_text(dt, "2-3", s3);
        add_text(dt, "2-4", s4);
        add_text(dt, "2-5", s5);
        return true;
    }
    case 3: {
        const char* s1 = va_arg(args, const char*);
        const char* s2 = va_arg(args, const char*);
        cJSON* dt = add_payload(segment);
        add_text(dt, "3-1", s1);
        if (non_empty(s2))
            add_text(dt, "3-2", s2);
        return true;
    }
    case 4: {
        // Copied before any test; a null text counts as empty.
        const char* ucid_arg = va_arg(args, const char*);
        const char* udid_arg = va_arg(args, const char*);
        std::string ucid = ucid_arg ? ucid_arg : "";
        std::string udid = udid_arg ? udid_arg : "";
        if (ucid.empty() && udid.empty())
            return true;
        cJSON* dt = add_payload(segment);
        if (!ucid.empty())
            add_text(dt, "4-1", ucid.c_str());
        if (!udid.empty())
            add_text(dt, "4-2", udid.c_str());
        return true;
    }
    case 5: {
        const char* s1 = va_arg(args, const char*);
        const char* s2 = va_arg(args, const char*);
        if (s1 == nullptr) {
            add_error_form(segment, s2);
            return true;
        }
        add_status(segment, 0);
        cJSON* dt = add_payload(segment);
        add_text(dt, "5-1", s1);
        add_text(dt, "5-2", s2);
        return true;
    }
    case 6:
    case 10:
        return true;
    case 7: {
        const char* s1 = va_arg(args, const char*);
        const char* s2 = va_arg(args, const char*);
        const char* s3 = va_arg(args, const char*);
        add_status(segment, 0);
        cJSON* dt = add_payload(segment);
        add_text(dt, "7-1", s1);
        add_text(dt, "7-2", s2);
        add_text(dt, "7-3", s3);
        return true;
    }
    case 8:
        add_text(add_payload(segment), "8-1", va_arg(args, const char*));
        return true;
    case 9: {
        int x = va_arg(args, int);
        if (x != 0) {
            add_status(segment, 0);
            cJSON_AddNumberToObject(add_payload(segment), "9-1", x);
            return true;
        }
        int y = va_arg(args, int);
        if (y == -1) {
            add_status(segment, -1);
            return true;
        }
        add_status(segment, 0);
        cJSON* dt = add_payload(segment);
        cJSON_AddNumberToObject(dt, "9-1", 0);
        if (y != -2)
            cJSON_AddNumberToObject(dt, "9-2", y);
        return true;
    }
    case 21: {
        const char* udid = va_arg(args, const char*);
        const char* serial = va_arg(args, const char*);
        cJSON* dt = add_payload(segment);
        add_text(dt, "21-1", udid);
        add_text(dt, "21-2", serial);
        return true;
    }
    case 22:
        add_status(segment, 0);
        return true;
    default:
        return false;
    }
}

// Prints the tree straight into the buffer. The library's printer wants one byte of slack
// beyond the terminating zero, so it refuses a text of exactly QM_MSG_BUFFER_SIZE - 1
// characters; only then is the text printed apart and copied in if it fits.
bool print_into_buffer(const cJSON* root, char* buffer)
{
    if (cJSON_PrintPreallocated(const_cast<cJSON*>(root), buffer, static_cast<int>(QM_MSG_BUFFER_SIZE), 0))
        return true;
    std::unique_ptr<char, void (*)(void*)> text(cJSON_PrintUnformatted(root), cJSON_free);
    if (!text)
        return false;
    std::size_t length = std::strlen(text.get());
    if (length >= QM_MSG_BUFFER_SIZE)
        return false;
    std::memcpy(buffer, text.get(), length + 1);
    return true;
}

} // namespace

bool create_json_msg(int type, char* buffer, ...)
{
    json_ptr root(cJSON_CreateObject());
    if (!root) {
        qm_log(LOG_ERR, "create_json_msg: cJSON_CreateObject() has failed.");
        return false;
    }
    cJSON* header = cJSON_CreateObject();
    cJSON_AddItemToObject(root.get(), "H", header);
    cJSON_AddNumberToObject(header, "V", QM_PROTOCOL_VERSION);
    cJSON* body = cJSON_CreateArray();
    cJSON_AddItemToObject(root.get(), "B", body);
    cJSON* segment = cJSON_CreateObject();
    cJSON_AddItemToArray(body, segment);

    buffer[0] = '\0';
    cJSON_AddNumberToObject(segment, "T", type);

    va_list args;
    va_start(args, buffer);
    bool known = fill_segment(type, segment, args);
    va_end(args);
    if (!known) {
        qm_log(LOG_ERR, "create_json_msg: Unsupported type of message (%i)", type);
        return false;
    }

    if (!print_into_buffer(root.get(), buffer)) {
        // The partial text need not be terminated inside the buffer.
        int shown = static_cast<int>(strnlen(buffer, QM_MSG_BUFFER_SIZE));
        qm_log(LOG_ERR,
            "create_json_msg%i: Copying JSON string to msg buffer failed - buffer is probably too "
            "small (%d). %.*s",
            type, static_cast<int>(QM_MSG_BUFFER_SIZE), shown, buffer);
        buffer[0] = '\0';
        return false;
    }
    return true;
}
