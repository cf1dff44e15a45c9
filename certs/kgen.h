// Keys, requests and certificates made by the openssl command line, always through sudo, and
// the commands of a small certificate authority. Every operation throws GenericError when a
// command fails: "Execution of [<command line>] has failed." (the command's output is logged
// at debug priority). Texts that go into a command line must be free of blanks and shell
// metacharacters; others are refused before anything runs.
#pragma once

#include "certs/kgen_cfg.h"

#include <cstdint>
#include <string>
#include <vector>

// Key kinds of kgen_key_spec.
enum kgen_key_kind : int32_t { KGEN_KEY_RSA = 0, KGEN_KEY_EC = 1 };

struct kgen_key_spec {
    int32_t kind = KGEN_KEY_EC; // 0 RSA, 1 EC; other values are refused
    uint32_t rsa_bits = 2048; // RSA only
    std::string curve = "P-256"; // EC only, as `openssl genpkey` names it
};

// The files of one certificate: dir + "/" + name + ".pem" (key), ".crt", ".csr" (transient),
// ".crl", ".dh".
struct kgen_files {
    std::string name;
    std::string dir; // without trailing slash

    std::string key() const { return dir + "/" + name + ".pem"; }
    std::string cert() const { return dir + "/" + name + ".crt"; }
    std::string csr() const { return dir + "/" + name + ".csr"; }
    std::string crl() const { return dir + "/" + name + ".crl"; }
    std::string dh() const { return dir + "/" + name + ".dh"; }
};

// Where temporary configurations are written.
extern const char* const KGEN_TEMP_DIR; // "/tmp/"

// Runs the line with run_shell_capture; throws "Execution of [<line>] has failed." when it
// ends with a non-zero status, after logging its output at debug priority.
void kgen_exec(const std::string& command);

// Writes to_text of the configuration into a new file dir + "/kgen_cfg_XXXXXX" (mode 0600)
// and returns its path.
std::string kgen_cfg_to_temp(const kgen_cfg& cfg, const std::string& dir);

// Makes a private key at key_path, readable by its owner only from the moment it exists.
void gen_raw_kpair(const kgen_key_spec& key_kind, const std::string& key_path);
// Makes a request from the key; the configuration must support KGEN_CSR or KGEN_SELF_SIGNED.
void gen_csr(const kgen_cfg& cfg, const std::string& key_path, const std::string& csr_path);
// Signs the request with its own key; the configuration (may be null) adds its [v3_ca].
void self_sign_cert(const std::string& csr_path, const std::string& key_path, const std::string& cert_path,
    uint32_t days, const kgen_cfg* cfg);
// Key, request and self-signed certificate of the file set; the request is removed on every
// path. The configuration must support KGEN_SELF_SIGNED.
void gen_self_signed_cert(const kgen_key_spec& key_kind, const kgen_cfg& cfg, const kgen_files& files, uint32_t days);

// Certificate authority. verify_cert throws nothing: true exactly when openssl accepts the
// certificate against ca_file (with the untrusted intermediates).
bool verify_cert(const std::string& ca_file, const std::string& cert_path,
    const std::vector<std::string>& untrusted = {}, bool no_check_time = false);
void gen_dhparam(const kgen_files& files, uint32_t bits);
void gen_crl(const kgen_cfg& cfg, const kgen_files& files);
void sign_csr(
    const kgen_cfg& cfg, const std::string& csr_path, const std::string& cert_path, const std::string& pass_phrase);
void gen_signed_cert(
    const kgen_key_spec& key_kind, const kgen_cfg& cfg, const kgen_files& files, const std::string& pass_phrase);
void revoke_cert(
    const kgen_cfg& cfg, const std::string& cert_path, const std::string& crl_path, const std::string& reason);
// Writes a fresh 16-digit serial into serial_path, one not yet in the index database
// (database empty: not tested). Throws after three serials that were all taken.
void randomize_serial(const std::string& serial_path, const std::string& database);
