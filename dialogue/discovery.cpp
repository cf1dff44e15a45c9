#include "dialogue/discovery.h"

#include "common/error.h"
#include "common/file_util.h"
#include "common/log.h"
#include "common/str_util.h"
#include "common/system.h"
#include "common/validate.h"
#include "dialogue/device_cert.h"
#include "dialogue/identity.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"
#include "settings/module_settings.h"
#include "transport/tls_client.h"

#include <exception>
#include <string>
#include <unistd.h>
#include <vector>

namespace
{

struct ds_answer_error : GenericError {
    using GenericError::GenericError;
};

enum class pass_result { STORED, FAILED };

} // namespace

bool read_ds_answer(const std::string& answer, ds_answer& result)
{
    json_ptr root = parse_json_msg(answer);
    warn_msg_version(root.get(), "");
    cJSON* segment = get_first_segment(root.get());
    // The status comes first so that an error segment, which has no payload, is reported with
    // the DS's own text.
    assert_no_error(segment);
    if (JSON_get_int(segment, "T") != 5) {
        qm_log(LOG_ERR, "process_secure_ds_msg: Received a message with invalid/unsupported code\n");
        return false;
    }
    cJSON* dt = JSON_get_object(segment, "DT");
    std::string cs_ip = JSON_get_string(dt, "5-1");
    std::string cs_cert = JSON_get_string(dt, "5-2");
    // The address goes into the settings and from there into command lines: only a plain
    // dotted quad is taken.
    if (!is_dotted_quad(cs_ip))
        throw ds_answer_error("CS address from DS is not an IPv4 address ('" + cs_ip + "').");
    result.cs_ip = std::move(cs_ip);
    result.cs_cert = std::move(cs_cert);
    return true;
}

namespace
{

// Reads a DS answer and stores what it carries. Throws GenericError for anything that makes the
// answer unusable; nothing is stored then.
pass_result process_ds_answer(const std::string& answer)
{
    ds_answer read;
    if (!read_ds_answer(answer, read))
        return pass_result::FAILED;
    const std::string& cs_ip = read.cs_ip;
    const std::string& cs_cert = read.cs_cert;

    // The certificate first: a CS address is never stored without the certificate that pins it.
    if (string_to_file(cs_cert, QM_CS_CERT_FILE, "w") != 0)
        throw ds_answer_error(std::string("Failed to write file: '") + QM_CS_CERT_FILE + "'.");

    tunnel_settings tunnel;
    tunnel_settings_load(tunnel);
    tunnel.remote_ipaddr = cs_ip;
    tunnel_settings_save(tunnel);
    tunnel_settings_release(tunnel);

    module_settings current;
    module_settings_load(current);
    if (current.cs_ip != cs_ip) {
        current.cs_ip = cs_ip;
        module_settings_save(current);
    }
    module_settings_release(current);
    qm_log(LOG_DEBUG, "CS IP obtained: %s", cs_ip.c_str());
    return pass_result::STORED;
}

void use_stored_cs_address(const module_settings& settings)
{
    tunnel_settings tunnel;
    tunnel_settings_load(tunnel);
    tunnel.remote_ipaddr = settings.cs_ip;
    tunnel_settings_save(tunnel);
    tunnel_settings_release(tunnel);
}

// Builds the candidate list, building it again while it is empty. False when it stayed empty.
bool usable_candidate_list(const module_settings& settings, std::vector<std::string>& list)
{
    for (int build = 0; build < DS_LIST_BUILDS; ++build) {
        list = ds_candidate_list(settings);
        if (!list.empty())
            return true;
        sleep_seconds(DS_LIST_PAUSE);
    }
    qm_log(LOG_ERR, "No DS IP address found.");
    return false;
}

int obtain_cs_ip_unguarded(WolfSSL_tls_client& client)
{
    module_settings settings;
    module_settings_load(settings);
    struct release {
        module_settings& s;
        ~release() { module_settings_release(s); }
    } release_settings { settings };
    wolfSSL_Init();

    std::string udid = device_udid();
    qm_log(LOG_DEBUG, "Approaching DS with UCID (%s) and UDID (%s).", settings.ucid.c_str(), udid.c_str());

    char request[QM_MSG_BUFFER_SIZE];
    if (!create_json_msg(4, request, settings.ucid.c_str(), udid.c_str())) {
        qm_log(LOG_ERR, "obtain_cs_ip: creating request failed.");
        return 0;
    }
    if (client.init(tls_cred_files { DEVICE_KEY_PATH, DEVICE_CERT_PATH }, DS_CERT_PATH) != 1) {
        qm_log(LOG_ERR, "obtain_cs_ip: SSL initialization failed.");
        return 0;
    }

    const int port = static_cast<int>(settings.ds_port);
    size_t index = 0;
    unsigned failures_in_a_row = 0; // failed connections and handshakes on the current candidate
    bool first_pass = true;
    for (;;) {
        std::vector<std::string> candidates;
        if (!usable_candidate_list(settings, candidates))
            return 0;
        if (!first_pass) {
            if (!settings.cs_ip.empty()) {
                use_stored_cs_address(settings);
                return 1;
            }
            qm_log(LOG_ERR, "Getting CS's address from DS failed. Next attempt in %d s.", DS_RETRY_PAUSE);
            sleep_seconds(DS_RETRY_PAUSE);
        }
        first_pass = false;

        // Connection loop: no attempt limit; after four failures in a row on one candidate the
        // next one is tried, wrapping within the list.
        std::string address;
        for (int attempt = 0;; ++attempt) {
            if (failures_in_a_row >= DS_FAILURES_BEFORE_ROTATION) {
                failures_in_a_row = 0;
                ++index;
            }
            index %= candidates.size();
            address = candidates[index];
            qm_log(LOG_DEBUG, "Trying to connect to DS %s:%d. Attempt: %d", address.c_str(), port, attempt + 1);
            // A fresh socket for every attempt: a socket that was connected before, or whose
            // connect timed out, cannot carry a new connection.
            if (!client.create_socket(10)) {
                qm_log(LOG_ERR, "obtain_cs_ip: Failed to create socket.");
                return 0;
            }
            if (client.connect(address, port) != 1) {
                qm_log(LOG_ERR, "Connection to DS (%s:%d) failed. Next attempt in %i s.", address.c_str(), port,
                    DS_RETRY_PAUSE);
            } else if (client.do_handshake() != 1) {
                qm_log(LOG_ERR, "Handshake with DS (%s:%d) failed. Next attempt in %i s.", address.c_str(), port,
                    DS_RETRY_PAUSE);
            } else {
                failures_in_a_row = 0;
                break;
            }
            ++failures_in_a_row;
            sleep_seconds(DS_RETRY_PAUSE);
        }

        if (client.send(request) != 1) {
            qm_log(LOG_ERR, "Sending IP query to DS failed.");
            continue;
        }
        std::string answer;
        if (client.receive(answer, 10) != 1) {
            qm_log(LOG_ERR, "Receiving IP query answer from DS failed.");
            continue;
        }
        try {
            if (process_ds_answer(answer) == pass_result::STORED)
                return 1;
        } catch (const std::exception& e) {
            qm_log(LOG_ERR, "%s", e.what());
            qm_log(LOG_DEBUG, "%s", answer.c_str());
        }
    }
}

} // namespace

std::vector<std::string> ds_candidate_list(const module_settings& settings)
{
    std::vector<std::string> list;
    const std::string* sources[] = { &settings.local_ds_ip[0], &settings.local_ds_ip[1], &settings.local_ds_ip[2],
        &settings.core_ds_ip[0], &settings.core_ds_ip[1], &settings.core_ds_ip[2] };
    for (const std::string* value : sources) {
        if (value->empty())
            continue;
        std::string address;
        if (resolve_host(value->c_str(), &address) != 0 || address.empty())
            continue; // no IPv4 address: nothing to connect to
        qm_log(LOG_INFO, "%s resolved to %s", value->c_str(), address.c_str());
        list.push_back(address);
    }
    return list;
}

int obtain_cs_ip()
{
    WolfSSL_tls_client client;
    int result = 0;
    try {
        result = obtain_cs_ip_unguarded(client);
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "%s", e.what());
        result = 0;
    }
    client.close();
    return result;
}
