#include "dialogue/initial_actions.h"

#include "common/error.h"
#include "common/file_util.h"
#include "common/handles.h"
#include "common/log.h"
#include "dialogue/cs_exchange.h"
#include "dialogue/device_cert.h"
#include "dialogue/discovery.h"
#include "protocol/message_builder.h"
#include "protocol/message_reader.h"
#include "settings/module_settings.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

namespace
{

constexpr size_t DEV_CERT_BUFFER = 4000;
constexpr int APPROVAL_TIMEOUT = 10;

// The pause a not-validated answer asks for, held within 1..APPROVAL_PAUSE_MAX: a pause of 0
// would make the daemon hammer the CS, a negative one would become a pause of over a century.
unsigned approval_pause(int32_t asked)
{
    unsigned pause = asked < 1 ? 1u : static_cast<unsigned>(asked);
    if (pause > APPROVAL_PAUSE_MAX)
        pause = APPROVAL_PAUSE_MAX;
    if (static_cast<int64_t>(pause) != asked)
        qm_log(LOG_WARNING, "get_ovpn_detail_approval: Pause of %d s asked by CS is out of range. Using %u s.", asked,
            pause);
    return pause;
}

// Receives the answer to the approval query: only a datagram from the CS's address counts (from
// any port). Others are dropped, the first one with a log line, and the wait goes on within the
// same timeout. The datagram's length, or what recvfrom gave on failure (EAGAIN on timeout).
ssize_t receive_from_cs(int fd, struct in_addr cs, char* buffer, size_t size)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(APPROVAL_TIMEOUT);
    unsigned dropped = 0;
    for (;;) {
        struct sockaddr_in from = {};
        socklen_t length = sizeof from;
        ssize_t received = recvfrom(fd, buffer, size, 0, reinterpret_cast<struct sockaddr*>(&from), &length);
        if (received < 0 || (from.sin_family == AF_INET && from.sin_addr.s_addr == cs.s_addr)) {
            if (dropped > 1) {
                int saved = errno;
                qm_log(LOG_WARNING, "get_ovpn_detail_approval: Dropped %u answers not sent from the CS's address.",
                    dropped);
                errno = saved;
            }
            return received;
        }
        if (++dropped == 1) {
            char sender[INET_ADDRSTRLEN] = "?";
            inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
            qm_log(LOG_WARNING, "get_ovpn_detail_approval: Dropped an answer from %s: not the CS's address.", sender);
        }
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            errno = EAGAIN;
            return -1;
        }
        struct timeval timeout
            = { static_cast<time_t>(left.count() / 1000000), static_cast<suseconds_t>(left.count() % 1000000) };
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    }
}

} // namespace

int process_udp_message(const char* text, unsigned int* sleep_time)
{
    try {
        json_ptr root = parse_json_msg(text);
        errno = 0;
        // Anyone may send a datagram: another version seen here is only a reason to register
        // again, where the pinned exchange tells whether the CS really speaks another version.
        if (!check_msg_version(root.get(), "")) {
            errno = QM_ERR_APPROVAL_ERROR;
            return 0;
        }
        cJSON* segment = get_first_segment(root.get());
        int32_t type = JSON_get_int(segment, "T");
        if (type != 9) {
            qm_log(LOG_WARNING, "Received a message with an unsupported code (%s).", std::to_string(type).c_str());
            errno = QM_ERR_NOT_VALIDATED;
            return 0;
        }
        if (get_segment_err_code(segment) != 0) {
            errno = QM_ERR_APPROVAL_ERROR;
            return 0;
        }
        cJSON* dt = JSON_get_object(segment, "DT");
        if (JSON_get_int(dt, "9-1") == 1)
            return 1;
        unsigned pause = approval_pause(JSON_get_int(dt, "9-2"));
        *sleep_time = pause;
        qm_log(LOG_INFO, "process_udp_message: Not validated on CS.");
        errno = QM_ERR_NOT_VALIDATED;
        return 0;
    } catch (const std::exception& e) {
        qm_log(LOG_ERR, "%s", e.what());
        errno = QM_ERR_NOT_VALIDATED;
        return 0;
    }
}

int get_ovpn_detail_approval(unsigned int* sleep_time)
{
    // Checked in every build, release builds included: both callers always pass the resource
    // manager's variable, so a null pointer is a programming error.
    if (sleep_time == NULL) {
        fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, __FILE__,
            static_cast<unsigned>(__LINE__), __PRETTY_FUNCTION__, "sleep_time != NULL");
        abort();
    }

    // A reason code left over from an earlier operation must not be read as this call's.
    errno = 0;
    const std::string address = stored_cs_address();
    module_settings settings;
    module_settings_load(settings);
    // The port is read as a decimal of at most five characters: 123456 becomes 12345.
    char port_text[6];
    snprintf(port_text, sizeof port_text, "%u", settings.cs_side_channel_port_udp);
    module_settings_release(settings);
    const long port = strtol(port_text, nullptr, 10);

    char certificate[DEV_CERT_BUFFER];
    if (file_to_array(DEVICE_CERT_PATH, certificate, sizeof certificate) == 0) {
        qm_log(LOG_ERR, "get_ovpn_detail_approval: Failed to read device certificate from a file.");
        return 0;
    }

    fd_owner sock(socket(AF_INET, SOCK_DGRAM, 0));
    if (sock.fd < 0) {
        int saved = errno;
        qm_log(LOG_ERR, "get_ovpn_detail_approval: Unable to create socket");
        errno = saved;
        return 0;
    }
    struct timeval timeout = { APPROVAL_TIMEOUT, 0 };
    setsockopt(sock.fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);

    char buffer[QM_MSG_BUFFER_SIZE];
    if (!create_json_msg(8, buffer, certificate)) {
        qm_log(LOG_ERR, "get_ovpn_detail_approval: Failed to create a message.");
        return 0;
    }
    struct sockaddr_in cs = {};
    cs.sin_family = AF_INET;
    cs.sin_port = htons(static_cast<uint16_t>(port));
    cs.sin_addr.s_addr = inet_addr(address.c_str());
    ssize_t sent = sendto(sock.fd, buffer, strlen(buffer), 0, reinterpret_cast<struct sockaddr*>(&cs), sizeof cs);
    if (sent <= 0) {
        int saved = errno;
        qm_log(LOG_ERR, "get_ovpn_detail_approval: sendto failed (%s).", strerror(saved));
        errno = saved;
        return 0;
    }

    ssize_t received = receive_from_cs(sock.fd, cs.sin_addr, buffer, sizeof buffer - 1);
    if (received <= 0) {
        int saved = errno;
        sock.close();
        if (saved == EAGAIN || saved == EWOULDBLOCK) {
            qm_log(LOG_DEBUG, "get_ovpn_detail_approval: CS did not respond to approval query.");
            errno = QM_ERR_CS_NO_ANSWER;
        } else {
            qm_log(LOG_DEBUG, "get_ovpn_detail_approval: receiving CS's approval failed (%d). %s.", saved,
                strerror(saved));
            errno = saved;
        }
        return 0;
    }
    buffer[received] = '\0';
    sock.close();
    return process_udp_message(buffer, sleep_time);
}
