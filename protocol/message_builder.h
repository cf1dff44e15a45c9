// The message envelope shared with the DS and the CS, and the request builder.
//
// Every message is one JSON object {"H":{"V":113},"B":[segment, ...]}. A segment holds "T" (the
// message type) first, then optionally the status pair "I" and "ER", the payload "DT" (keys
// "<type>-<n>") and an error text "MG".
#pragma once

#include <cstddef>

// The protocol version carried in "H"."V" of every message.
constexpr int QM_PROTOCOL_VERSION = 113;

// Size of the caller's message buffer; the longest message is one byte shorter.
constexpr std::size_t QM_MSG_BUFFER_SIZE = 9000;

// Builds a message of the given type into `buffer` (QM_MSG_BUFFER_SIZE bytes, owned by the
// caller) as unformatted JSON. The further arguments depend on the type (texts are const char*,
// numbers are int):
//   1: a, b, c, d          2: flag, then (flag 0) s2, s3, s4, s5     3: s1, s2
//   4: UCID, UDID          5: s1, s2        6: none        7: s1, s2, s3
//   8: device certificate  9: x, then (x 0) y              10: none
//   21: UDID, serial       22: none
// Returns true when the complete text stands in the buffer. On failure (unsupported type, text
// too long for the buffer) it logs at LOG_ERR, returns false and leaves the buffer empty.
bool create_json_msg(int type, char* buffer, ...);
