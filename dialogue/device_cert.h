// The device's own TLS client certificate and the pinned server certificates beside it.
#pragma once

#include <string>

// Directory of the device's and the servers' certificates.
extern const char* const CERTS_SSL_DIR; // /var/data/quillmesh_certs/certificates/ssl
extern const char* const DS_CERT_PATH; // .../ssl/ds_cert.crt, installed with the module
extern const char* const DEVICE_KEY_PATH; // .../ssl/dev_cert.pem, readable by its owner only
extern const char* const DEVICE_CERT_PATH; // .../ssl/dev_cert.crt
extern const char* const DEVICE_CERT_NAME; // "dev_cert", the base name of the device's files

// "kiv-" + the LAN MAC address with every ':' replaced by '.'; "kiv-123456789" when the
// status tool reports no MAC address.
std::string device_common_name();

// Makes an EC P-256 key and a self-signed certificate valid 9999 days for the device when the
// key and the certificate are not both readable; an existing pair is left untouched and
// nothing is logged. Throws GenericError (from the certificate toolkit) when a step fails;
// a certificate that does not belong to the key on disk is never left behind.
void provision_device_certificate();
