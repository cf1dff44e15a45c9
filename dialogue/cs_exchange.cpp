#include "dialogue/cs_exchange.h"

#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/system.h"
#include "dialogue/device_cert.h"
#include "dialogue/discovery.h"
#include "dialogue/identity.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"
#include "settings/module_settings.h"
#include "transport/tls_client.h"

#include <cerrno>
#include <exception>
#include <string>

std::string stored_cs_address()
{
    tunnel_settings tunnel;
    tunnel_settings_load(tunnel);
    std::string address = tunnel.remote_ipaddr.substr(0, CS_ADDRESS_MAX);
    tunnel_settings_release(tunnel);
    return address;
}

namespace
{

int cs_exchange_on(WolfSSL_tls_client& client, const char* request, std::string& answer, int& error_code)
{
    wolfSSL_Init();
    const std::string address = stored_cs_address();
    module_settings settings;
    module_settings_load(settings);
    const int port = static_cast<int>(settings.cs_side_channel_port_ssl);
    module_settings_release(settings);

    if (client.init(tls_cred_files { DEVICE_KEY_PATH, DEVICE_CERT_PATH }, QM_CS_CERT_FILE) != 1) {
        qm_log(LOG_ERR, "SSL initialization failed.");
        return 0;
    }
    if (!client.create_socket(10)) {
        qm_log(LOG_ERR, "Failed to create a socket for communication with CS.");
        return 0;
    }
    if (client.connect(address, port) != 1) {
        qm_log(LOG_ERR, "Connection to CS (%s:%i) failed.", address.c_str(), port);
        return 0;
    }
    if (client.do_handshake() != 1) {
        qm_log(LOG_ERR, "Handshake with CS (%s:%i) failed.", address.c_str(), port);
        error_code = QM_ERR_CS_HANDSHAKE;
        return 0;
    }
    if (client.send(request) != 1) {
        qm_log(LOG_ERR, "Sending a message to CS failed.");
        return 0;
    }
    if (client.receive(answer, 10) != 1) {
        qm_log(LOG_ERR, "Receiving of message from CS failed.");
        return 0;
    }
    return 1;
}

// Writes one credential file; the key file never exists with wider permissions than 0600.
void write_credential(const std::string& text, const char* path, mode_t perms)
{
    if (string_to_file(text, path, "w", perms) != 0)
        throw GenericError(std::string("Failed to write file: '") + path + "'.");
}

} // namespace

int cs_exchange(const char* request, std::string& answer)
{
    WolfSSL_tls_client client;
    int error_code = 0;
    int result = 0;
    try {
        result = cs_exchange_on(client, request, answer, error_code);
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "%s", e.what());
        result = 0;
    }
    client.close();
    // Last, so that closing and logging cannot overwrite the reason.
    if (error_code)
        errno = error_code;
    return result;
}

int register_on_cs()
{
    // A reason code left over from an earlier operation must not be read as this call's.
    errno = 0;
    try {
        std::string udid = device_udid();
        std::string serial = device_serial_number();
        char request[QM_MSG_BUFFER_SIZE];
        if (!create_json_msg(21, request, udid.c_str(), serial.c_str())) {
            qm_log(LOG_ERR, "register_on_cs: Failed to create a message.");
            return 0;
        }
        std::string answer;
        if (!cs_exchange(request, answer))
            return 0;
        return process_secure_cs_msg(answer);
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "register_on_cs: %s", e.what());
        return 0;
    }
}

int obtain_ovpn_details()
{
    errno = 0;
    char request[QM_MSG_BUFFER_SIZE];
    if (!create_json_msg(6, request)) {
        qm_log(LOG_ERR, "obtain_ovpn_details: Failed to create a message.");
        return 0;
    }
    std::string answer;
    if (!cs_exchange(request, answer))
        return 0;
    return process_secure_cs_msg(answer);
}

int read_secure_cs_msg(const std::string& answer, ovpn_credentials& credentials)
{
    json_ptr root = parse_json_msg(answer);
    if (!check_msg_version(root.get(), "")) {
        root.reset();
        errno = QM_ERR_VERSION_MISMATCH;
        return 0;
    }
    cJSON* segment = get_first_segment(root.get());
    int type = JSON_get_int(segment, "T");
    if (type == 7) {
        assert_no_error(segment);
        cJSON* dt = JSON_get_object(segment, "DT");
        credentials.ca = JSON_get_string(dt, "7-1");
        credentials.cert = JSON_get_string(dt, "7-2");
        credentials.key = JSON_get_string(dt, "7-3");
        return 7;
    }
    if (type == 22) {
        assert_no_error(segment);
        return 22;
    }
    qm_log(LOG_ERR, "process_secure_cs_msg: Received a message with invalid/unsupported code\n");
    return 0;
}

int process_secure_cs_msg(const std::string& answer)
{
    try {
        // All three texts are taken before any file is touched, so an incomplete answer
        // leaves the files as they were.
        ovpn_credentials credentials;
        int type = read_secure_cs_msg(answer, credentials);
        if (type == 7) {
            run_shell(std::string("mkdir -p ") + QM_OVPN_DIR);
            write_credential(credentials.ca, QM_OVPN_CA_FILE, 0644);
            write_credential(credentials.cert, QM_OVPN_CERT_FILE, 0644);
            write_credential(credentials.key, QM_OVPN_KEY_FILE, 0600);
            return 1;
        }
        return type == 22 ? 1 : 0;
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "%s", e.what());
        qm_log(LOG_DEBUG, "%s", answer.c_str());
        return 0;
    }
}
