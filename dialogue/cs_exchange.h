// Registration and tunnel credentials over the CS's TLS side channel. Each operation runs one
// exchange: a fresh TLS connection to QUILLMESH_REMOTE_IPADDR on
// MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL, the CS pinned by cs_cert.crt, one request, one answer.
// On failure errno holds QM_ERR_CS_HANDSHAKE (271) when the handshake failed and
// QM_ERR_VERSION_MISMATCH (275) when the CS speaks another protocol version.
#pragma once

#include <cstddef>
#include <string>

constexpr const char* QM_OVPN_DIR = "/var/data/quillmesh_certs/certificates/ovpn";
constexpr const char* QM_OVPN_CA_FILE = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_ca.crt";
constexpr const char* QM_OVPN_CERT_FILE = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_cert.crt";
constexpr const char* QM_OVPN_KEY_FILE = "/var/data/quillmesh_certs/certificates/ovpn/ovpn_key.pem";

// Longest CS address text taken from the tunnel settings.
constexpr size_t CS_ADDRESS_MAX = 90;
// The CS address kept in the tunnel settings (QUILLMESH_REMOTE_IPADDR), at most CS_ADDRESS_MAX
// characters of it.
std::string stored_cs_address();

// One request and its answer. 1 when an answer was received.
int cs_exchange(const char* request, std::string& answer);

// Registration (type 21 with UDID and serial number). 1 when the CS acknowledged or sent the
// credentials.
int register_on_cs();

// Tunnel details request (type 6). 1 when the credentials were stored or the CS acknowledged.
int obtain_ovpn_details();

// Reads a CS answer: type 22 is accepted, type 7 has its three credential files written (the
// key readable by its owner only). 1 when the answer was accepted.
int process_secure_cs_msg(const std::string& answer);

// The tunnel credentials of a type 7 answer.
struct ovpn_credentials {
    std::string ca;
    std::string cert;
    std::string key;
};
// Reads a CS answer without touching any file: 22 for an acknowledgement, 7 with `credentials`
// filled, 0 otherwise (errno QM_ERR_VERSION_MISMATCH when the CS speaks another version).
// Throws GenericError for a defective answer.
int read_secure_cs_msg(const std::string& answer, ovpn_credentials& credentials);
