// The handling of one control message from its text to its response text: each request segment
// goes to the handler of its type (a table of request type -> handler), and the router services
// the requests changed are restarted after the message.
#pragma once

#include <cjson/cJSON.h>
#include <cstdint>
#include <string>

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
