// Reading messages of the DS and the CS: parsing, typed getters that throw GenericError naming
// what is missing, the protocol-version check and access to segments.
//
// Keys are looked up without regard to case ("dt" finds "DT"). A getter that finds a member of
// the wrong JSON kind throws the same GenericError as for a missing member.
#pragma once

#include "common/error.h"
#include "common/json_ptr.h"

#include <cjson/cJSON.h>
#include <cstdint>
#include <memory>
#include <string>

// Parses `text`; throws "Malformed JSON message, can not be parsed." when it is not JSON.
// Text after the first complete JSON value is not examined.
json_ptr parse_json_msg(const char* text);
json_ptr parse_json_msg(const std::string& text);

// True when `node` is non-null and has a member `key`. Never throws.
bool JSON_has_object(const cJSON* node, const std::string& key);

// The member `key` of `node`, of any kind. Throws
// "Object [<key>] could not be found in JSON string '<node unformatted>'." when it is missing
// or `node` is null.
cJSON* JSON_get_object(const cJSON* node, const std::string& key);

// The member's string value; the text lives as long as the tree. Throws the missing-member
// error when the member is missing or not a string.
const char* JSON_get_string(const cJSON* node, const std::string& key);

// The member's number, truncated toward zero and held within the 32-bit range. Throws the
// missing-member error when the member is missing or not a number.
int32_t JSON_get_int(const cJSON* node, const std::string& key);

// `node` printed unformatted; empty when `node` is null or printing fails. Never throws.
std::string JSON_to_string(const cJSON* node);

// "H"."V" of the root; throws when either is missing.
int32_t get_msg_version(const cJSON* root);

// True when the version is QM_PROTOCOL_VERSION; otherwise logs at LOG_WARNING
// "Message protocol version missmatch <context> (expected: 113 found: <v>)." and returns false.
bool check_msg_version(const cJSON* root, const std::string& context);

// The same test and warning, for callers that go on whatever the version.
void warn_msg_version(const cJSON* root, const std::string& context);

// Returns the version when it equals `expected`; otherwise throws the mismatch text.
int32_t require_msg_version(const cJSON* root, int32_t expected, const std::string& context);

// The first element of the root's "B"; null when "B" is empty. Throws when "B" is missing.
cJSON* get_first_segment(const cJSON* root);

// Number of elements of the root's "B"; throws when "B" is missing.
int get_segment_count(const cJSON* root);

// The element at `index` (from 0); throws "JSON_get_nth_object: array is too short." when the
// array is null or too short.
cJSON* JSON_get_nth_object(int index, const cJSON* array);

// The segment's "ER", 0 when absent. Throws for a null segment.
int32_t get_segment_err_code(const cJSON* segment);

// Returns 0 when the segment's status is 0; otherwise throws
// "Received an error message - <MG>" (or the missing-member error for "MG").
int32_t assert_no_error(const cJSON* segment);

// "code: <ER> message: <MG>" ("MG" empty when absent).
std::string format_segment_error(const cJSON* segment);
