// Facts about the router as its status tool reports them: `/usr/bin/status -v <section>`
// prints one section of "Key : value" lines. The last section's output is kept for about a
// second, so several keys of one section cost one run. A value that cannot be had is "N/A".
#pragma once

#include <cstdint>

// Which cellular module router_imei asks about: section "module" or "module 2".
enum router_module : int { ROUTER_MODULE_FIRST = 0, ROUTER_MODULE_SECOND = 1 };

// The value of the first line of `section` that begins with `key` (a case-sensitive prefix
// test), taken from just after the first ": " to the end of the line; "N/A" when the tool
// fails, no line begins with the key, or the value is empty or 128 characters or longer.
// The text lives in per-thread storage until the next call on the same thread.
const char* router_status_value(const char* section, const char* key);

// The same lookup over a text in the tool's output format instead of the tool's own output.
// Replaces the kept section.
const char* router_status_value_in(const char* output, const char* key);

// Section "sys", key "Serial Number", cut to 31 characters. Valid until the next call.
const char* router_serial_number();

// Section "module" (first) or "module 2" (second), key "IMEI", cut to 31 characters.
const char* router_imei(router_module which = ROUTER_MODULE_FIRST);

// Whole seconds of the monotonic clock; -1 when the clock cannot be read.
int64_t monotonic_seconds();

// Forgets the cached section of this thread, so the next lookup runs the tool again.
void router_status_forget();
