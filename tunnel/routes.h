// Routes through the tunnel as the CS asks for them in a route update request.
#pragma once

#include <cjson/cJSON.h>

// Runs "ip r <operation> <address>/<netmask> dev <device>" for each pair of the address list
// (`address_key`) and the netmask list (`netmask_key`) of `payload`, in order. Every address must
// be a dotted quad and every netmask a contiguous dotted-quad mask, both JSON strings. 1 when
// every route was processed; 0 when a key is missing, the tunnel is down, an element is invalid
// or a command fails (the rest of the list is then skipped, earlier routes stay changed).
int routes_manage(
    const cJSON* payload, const char* address_key, const char* netmask_key, const char* operation, const char* device);
