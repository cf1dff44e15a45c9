#include "common/router_status.h"

#include "common/system.h"

#include <chrono>
#include <cstring>
#include <string>

namespace
{
const char* const STATUS_TOOL = "/usr/bin/status";
const char* const NOT_AVAILABLE = "N/A";
constexpr size_t max_value_length = 127;

// The last section the tool printed on this thread, and the texts handed out from it.
struct status_cache {
    char section[32];
    int64_t expiry;
    char output[4096];
    char value[max_value_length + 1];
    char serial[32];
    char imei[32];
};
thread_local status_cache cache = {};

void copy_cut(char* target, size_t size, const char* text)
{
    strncpy(target, text, size - 1);
    target[size - 1] = '\0';
}

// Runs the tool for `section` and keeps its output; false (cache unchanged) on any failure.
bool refresh(const char* section)
{
    std::string output;
    if (run_program({ STATUS_TOOL, "-v", section }, &output) != 0)
        return false;
    int64_t now = monotonic_seconds();
    copy_cut(cache.output, sizeof cache.output, output.c_str());
    copy_cut(cache.section, sizeof cache.section, section);
    cache.expiry = now < 0 ? -1 : now + 1;
    return true;
}

bool cache_fresh(const char* section)
{
    if (cache.section[0] == '\0' || strcmp(cache.section, section) != 0)
        return false;
    int64_t now = monotonic_seconds();
    return now >= 0 && now <= cache.expiry;
}

const char* find_value(const char* key)
{
    size_t key_length = strlen(key);
    const char* line = cache.output;
    while (*line) {
        const char* end = strchr(line, '\n');
        if (!end)
            end = line + strlen(line);
        if (strncmp(line, key, key_length) == 0) {
            const char* colon = strstr(line, ": ");
            if (!colon || colon >= end)
                return NOT_AVAILABLE;
            const char* value = colon + 2;
            size_t length = static_cast<size_t>(end - value);
            if (length == 0 || length > max_value_length)
                return NOT_AVAILABLE;
            memcpy(cache.value, value, length);
            cache.value[length] = '\0';
            return cache.value;
        }
        if (*end == '\0')
            break;
        line = end + 1;
    }
    return NOT_AVAILABLE;
}
} // namespace

int64_t monotonic_seconds()
{
    return std::chrono::duration_cast<std::chrono::seconds>(monotonic_now().time_since_epoch()).count();
}

const char* router_status_value(const char* section, const char* key)
{
    if (!section || !key)
        return NOT_AVAILABLE;
    if (!cache_fresh(section) && !refresh(section))
        return NOT_AVAILABLE;
    return find_value(key);
}

const char* router_status_value_in(const char* output, const char* key)
{
    if (!output || !key)
        return NOT_AVAILABLE;
    // Taken as the tool's output would be: what fits the buffer, the section forgotten.
    copy_cut(cache.output, sizeof cache.output, output);
    cache.section[0] = '\0';
    return find_value(key);
}

const char* router_serial_number()
{
    copy_cut(cache.serial, sizeof cache.serial, router_status_value("sys", "Serial Number"));
    return cache.serial;
}

const char* router_imei(router_module which)
{
    const char* section = which == ROUTER_MODULE_SECOND ? "module 2" : "module";
    copy_cut(cache.imei, sizeof cache.imei, router_status_value(section, "IMEI"));
    return cache.imei;
}

void router_status_forget()
{
    cache.section[0] = '\0';
    cache.expiry = 0;
    cache.output[0] = '\0';
}
