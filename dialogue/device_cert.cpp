#include "dialogue/device_cert.h"

#include "certs/kgen.h"
#include "certs/kgen_cfg.h"
#include "common/log.h"
#include "common/router_status.h"
#include "common/system.h"

#include <fcntl.h>
#include <unistd.h>

const char* const CERTS_SSL_DIR = "/var/data/quillmesh_certs/certificates/ssl";
const char* const DS_CERT_PATH = "/var/data/quillmesh_certs/certificates/ssl/ds_cert.crt";
const char* const DEVICE_KEY_PATH = "/var/data/quillmesh_certs/certificates/ssl/dev_cert.pem";
const char* const DEVICE_CERT_PATH = "/var/data/quillmesh_certs/certificates/ssl/dev_cert.crt";
const char* const DEVICE_CERT_NAME = "dev_cert";

namespace
{
constexpr uint32_t device_cert_days = 9999;

void sync_path(const char* path, int flags)
{
    int fd = open(path, flags | O_CLOEXEC);
    if (fd >= 0) {
        sync_to_storage(fd);
        close(fd);
    }
}
} // namespace

std::string device_common_name()
{
    std::string mac = router_status_value("lan", "MAC Address");
    if (mac.empty() || mac == "N/A")
        return "kiv-123456789";
    for (char& c : mac) {
        if (c == ':')
            c = '.';
    }
    return "kiv-" + mac;
}

void provision_device_certificate()
{
    if (access(DEVICE_KEY_PATH, R_OK) == 0 && access(DEVICE_CERT_PATH, R_OK) == 0)
        return;

    kgen_subject subject;
    subject.common_name = device_common_name();
    kgen_cfg cfg;
    cfg.set_self_signed(subject);

    kgen_key_spec key_kind;
    key_kind.kind = KGEN_KEY_EC;
    key_kind.curve = "P-256";
    kgen_files files { DEVICE_CERT_NAME, CERTS_SSL_DIR };

    // A certificate left from an earlier key would pass for a pair at the next start and
    // fail every handshake: it goes before a new key is made, and again if making the new
    // certificate fails, so a half-done run is always redone at the next start.
    unlink(DEVICE_CERT_PATH);
    try {
        gen_self_signed_cert(key_kind, cfg, files, device_cert_days);
    } catch (...) {
        unlink(DEVICE_CERT_PATH);
        throw;
    }
    sync_path(DEVICE_KEY_PATH, O_RDONLY);
    sync_path(DEVICE_CERT_PATH, O_RDONLY);
    sync_path(CERTS_SSL_DIR, O_RDONLY | O_DIRECTORY);
    qm_log(LOG_INFO, "SSL certificate for %s generated.", subject.common_name.c_str());
}
