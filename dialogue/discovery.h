// CS discovery through the DS (state "Getting CS IP"): asks a DS which CS serves this device and
// stores the CS address and the certificate that pins it.
#pragma once

#include <string>
#include <vector>

// The CS certificate that the DS hands out; it pins the CS in every later TLS exchange.
constexpr const char* QM_CS_CERT_FILE = "/var/data/quillmesh_certs/certificates/ssl/cs_cert.crt";

// Pause after a failed connection or handshake, and before a new pass without a stored CS.
constexpr unsigned DS_RETRY_PAUSE = 15;
// An empty candidate list is built again this many times, this many seconds apart.
constexpr int DS_LIST_BUILDS = 20;
constexpr unsigned DS_LIST_PAUSE = 3;
// Failed connections or handshakes in a row after which the next DS candidate is tried.
constexpr unsigned DS_FAILURES_BEFORE_ROTATION = 4;

// Asks a DS for the CS address and stores it (tunnel settings, and module settings when it
// changed) with the CS certificate. When a DS handshake succeeded but the exchange failed, a CS
// address stored earlier is used instead. 1 when a CS address is in place, 0 on failure.
// Throws nothing.
int obtain_cs_ip();

// The DS candidates of the module settings (local DS 1-3, then core DS 1-3), each resolved to
// an IPv4 address; values that do not resolve to one are left out.
struct module_settings;
std::vector<std::string> ds_candidate_list(const module_settings& settings);

// What a DS answer carries: the CS address (a dotted quad) and the CS certificate.
struct ds_answer {
    std::string cs_ip;
    std::string cs_cert;
};
// Reads a DS answer without storing anything. False for an answer of another type; throws
// GenericError for an unusable one (error segment, missing fields, an address that is not a
// dotted quad).
bool read_ds_answer(const std::string& answer, ds_answer& result);
