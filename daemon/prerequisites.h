// The check that the router's openssl and OpenVPN daemon are recent enough to start.
#pragma once

#include <string>

extern const char* const MIN_OPENSSL_VERSION; // "1.0.2"
extern const char* const MIN_OPENVPN_VERSION; // "2.3.18"

// Compares two dotted versions piece by piece: negative when `installed` is lower than
// `minimum`, 0 when equal, positive when higher. Each piece counts by its leading decimal
// number (leading blanks skipped, trailing text ignored); when that cannot be read in the
// last piece, the two pieces are compared as texts. Throws GenericError when the numbers of
// pieces differ or an earlier piece has no number.
int version_compare(const std::string& installed, const std::string& minimum);

// 1 when the daemon may start, 0 when openssl or openvpnd is known to be too old. A version
// that cannot be read or compared lets the daemon start (after a LOG_CRIT line).
int check_prerequisite_versions();
