#include "daemon/resource_manager.h"

#include "common/error.h"
#include "common/log.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

const char* const state_names[RM_STATE_COUNT] = {
    "Start", // 0: start-up, never logged as a state
    "Getting CS IP", // 1
    "Checking OVPN Details", // 2
    "Registering on CS", // 3
    "Getting OVPN Approval", // 4
    "Getting OVPN Credentials", // 5
    "Restarting OVPN", // 6
    "Creating Managing Socket", // 7
    "Listening", // 8
    "OVPN Recovery", // 9
    "User Module Update", // 10
    "Stop", // 11
};

// How a state ended; the transition table below turns it into the next state.
enum class resource_manager::outcome {
    done, // the state's work succeeded
    absent, // no tunnel credentials on the router
    cs_certificate_rejected, // 271
    version_mismatch, // 275
    cs_unavailable, // 269 as often as the recovery counter allows
    approval_error, // 272
    retries_exhausted, // the state's own attempt limit was reached
    credentials_rejected, // 266
    auth_failed, // 268 with a recovery counter of 2 or more
    auth_failed_at_limit, // 268 with a recovery counter of 0 or 1
    failed, // any other failure that leaves the state
    tunnel_down, // found after a select() timeout or error
    address_changed, // the tunnel is up with another address than the managing socket's
    cs_unreachable, // no answer to the ping
    not_approved, // reachable, but the approval query failed
};

namespace
{
constexpr unsigned CONTROL_RECEIVE_TIMEOUT = 10; // seconds for one control request to arrive
constexpr unsigned SELECT_FAILURE_PAUSE = 5; // seconds after a failed select()
constexpr unsigned PING_WAIT = 10; // seconds for the CS's answer to a ping, as in recovery
// Connections from others than the CS logged one by one per minute; the rest are counted, so
// that a host flooding the port cannot rotate everything else out of the log.
constexpr unsigned STRANGERS_LOGGED_PER_MINUTE = 5;

const char* const URL_PREFIX = "https://";
const char* const TRIAL_HEARD_BY_REQUEST = "a control request from CS arrived";
const char* const TRIAL_HEARD_BY_PING = "CS answered a ping through the tunnel";
const char* const MODULE_URL_PATH = "/router_modules";

// Every operation starts with a clear errno, so that a reason code left behind by an earlier
// call can never be read as the reason of this one.
template <typename Operation, typename... Args> auto call(const Operation& operation, Args&&... args)
{
    errno = 0;
    return operation(std::forward<Args>(args)...);
}

// The first host of the tunnel subnet: address AND netmask with the last octet increased by
// one, within the octet. Both values are in network byte order.
uint32_t first_host(uint32_t address, uint32_t netmask)
{
    uint32_t network = address & netmask;
    unsigned char octets[4];
    memcpy(octets, &network, sizeof octets);
    octets[3] = static_cast<unsigned char>(octets[3] + 1);
    memcpy(&network, octets, sizeof octets);
    return network;
}

// A zero recovery timeout would make the listening state's select() return at once: the tunnel
// check and its log lines would run in a busy loop, and every retry pause would be none.
unsigned usable_recovery_timeout(unsigned seconds)
{
    if (seconds >= 1)
        return seconds;
    qm_log(LOG_WARNING, "Recovery timeout of %u s is too short. Using 1 s.", seconds);
    return 1;
}
} // namespace

void log_rm_state(int state, int counter)
{
    qm_log(LOG_INFO, "RM STATE: %d (%s). State counter: %d", state, state_names[state], counter);
}

resource_manager::resource_manager(rm_operations operations, unsigned recovery_timeout, unsigned recovery_counter)
    : ops_(std::move(operations))
    , recovery_timeout_(usable_recovery_timeout(recovery_timeout))
    , recovery_counter_(recovery_counter)
{
}

resource_manager::~resource_manager()
{
    close_managing_socket();
}

// Every transition of the loop. A state that ends with an outcome not listed here is a fault
// of this file.
int resource_manager::step(int state)
{
    using o = outcome;
    static const struct {
        int from;
        outcome on;
        int to;
    } transitions[] = {
        // clang-format off
        {RM_GETTING_CS_IP,            o::done,                    RM_CHECKING_OVPN_DETAILS},
        {RM_CHECKING_OVPN_DETAILS,    o::done,                    RM_RESTARTING_OVPN},
        {RM_CHECKING_OVPN_DETAILS,    o::absent,                  RM_REGISTERING_ON_CS},
        {RM_REGISTERING_ON_CS,        o::done,                    RM_GETTING_OVPN_APPROVAL},
        {RM_REGISTERING_ON_CS,        o::cs_certificate_rejected, RM_GETTING_CS_IP},
        {RM_REGISTERING_ON_CS,        o::retries_exhausted,       RM_GETTING_CS_IP},
        {RM_REGISTERING_ON_CS,        o::cs_unavailable,          RM_GETTING_CS_IP},
        {RM_REGISTERING_ON_CS,        o::version_mismatch,        RM_USER_MODULE_UPDATE},
        {RM_GETTING_OVPN_APPROVAL,    o::done,                    RM_GETTING_OVPN_CREDENTIALS},
        {RM_GETTING_OVPN_APPROVAL,    o::cs_unavailable,          RM_GETTING_CS_IP},
        {RM_GETTING_OVPN_APPROVAL,    o::approval_error,          RM_REGISTERING_ON_CS},
        {RM_GETTING_OVPN_APPROVAL,    o::version_mismatch,        RM_USER_MODULE_UPDATE},
        {RM_GETTING_OVPN_CREDENTIALS, o::done,                    RM_RESTARTING_OVPN},
        {RM_GETTING_OVPN_CREDENTIALS, o::cs_certificate_rejected, RM_GETTING_CS_IP},
        {RM_GETTING_OVPN_CREDENTIALS, o::version_mismatch,        RM_USER_MODULE_UPDATE},
        {RM_RESTARTING_OVPN,          o::done,                    RM_CREATING_MANAGING_SOCKET},
        {RM_RESTARTING_OVPN,          o::credentials_rejected,    RM_GETTING_OVPN_APPROVAL},
        {RM_RESTARTING_OVPN,          o::auth_failed_at_limit,    RM_GETTING_CS_IP},
        {RM_RESTARTING_OVPN,          o::auth_failed,             RM_OVPN_RECOVERY},
        {RM_RESTARTING_OVPN,          o::failed,                  RM_OVPN_RECOVERY},
        {RM_CREATING_MANAGING_SOCKET, o::done,                    RM_LISTENING},
        {RM_CREATING_MANAGING_SOCKET, o::retries_exhausted,       RM_STOP},
        {RM_LISTENING,                o::tunnel_down,             RM_OVPN_RECOVERY},
        {RM_LISTENING,                o::version_mismatch,        RM_USER_MODULE_UPDATE},
        {RM_LISTENING,                o::address_changed,         RM_CREATING_MANAGING_SOCKET},
        {RM_OVPN_RECOVERY,            o::cs_unreachable,          RM_GETTING_CS_IP},
        {RM_OVPN_RECOVERY,            o::not_approved,            RM_GETTING_CS_IP},
        {RM_OVPN_RECOVERY,            o::done,                    RM_RESTARTING_OVPN},
        {RM_USER_MODULE_UPDATE,       o::done,                    RM_GETTING_CS_IP},
        // clang-format on
    };

    // The work of each state, index = state number.
    using work = outcome (resource_manager::*)();
    static const work works[RM_STATE_COUNT] = {
        nullptr,
        &resource_manager::getting_cs_ip,
        &resource_manager::checking_ovpn_details,
        &resource_manager::registering_on_cs,
        &resource_manager::getting_ovpn_approval,
        &resource_manager::getting_ovpn_credentials,
        &resource_manager::restarting_ovpn,
        &resource_manager::creating_managing_socket,
        &resource_manager::listening,
        &resource_manager::ovpn_recovery,
        &resource_manager::user_module_update,
        nullptr,
    };
    if (state < 0 || state >= RM_STATE_COUNT || !works[state])
        throw std::logic_error("resource manager: no work for state " + std::to_string(state));
    outcome result = (this->*works[state])();
    for (const auto& t : transitions) {
        if (t.from == state && t.on == result)
            return t.to;
    }
    throw std::logic_error("resource manager: no transition from state " + std::to_string(state));
}

int resource_manager::run()
{
    int state = RM_GETTING_CS_IP;
    while (state != RM_STOP) {
        state = step(state);
        // A change that keeps the daemon away from the CS is undone when its time is up, in
        // whatever state the daemon is.
        trial_tick();
    }
    stop();
    return 0;
}

long resource_manager::trial_tick()
{
    return ops_.trial_tick ? ops_.trial_tick() : -1;
}

// The select() timeout: the recovery timeout, or less when a change on trial runs out sooner.
unsigned resource_manager::listening_wait()
{
    long left = trial_tick();
    if (left < 0 || static_cast<unsigned long>(left) >= recovery_timeout_)
        return recovery_timeout_;
    return left > 0 ? static_cast<unsigned>(left) : 1;
}

// With the tunnel up, a change on trial (or a revert) is confirmed by the CS answering a ping
// through the tunnel, at its tunnel address. The ping waits no longer than the trial has left.
void resource_manager::confirm_trial_by_ping()
{
    if (!ops_.trial_awaits_cs || !ops_.ping || expected_cs_address_ == 0 || !ops_.trial_awaits_cs())
        return;
    long left = trial_tick();
    unsigned wait = left >= 1 && left < static_cast<long>(PING_WAIT) ? static_cast<unsigned>(left) : PING_WAIT;
    if (ops_.ping(expected_cs_address_, wait))
        ops_.trial_heard_from_cs(TRIAL_HEARD_BY_PING);
}

resource_manager::outcome resource_manager::getting_cs_ip()
{
    log_rm_state(RM_GETTING_CS_IP, 0);
    for (int c = 1;; ++c) {
        if (call(ops_.obtain_cs_ip) == 1)
            break;
        qm_log(LOG_NOTICE, "Getting CS IP failed. Next attempt in %u s.", recovery_timeout_);
        call(ops_.ovpn_stop);
        pause(recovery_timeout_);
        log_rm_state(RM_GETTING_CS_IP, c);
    }
    qm_log(LOG_NOTICE, "CS's IP was successfuly obtained.");
    return outcome::done;
}

resource_manager::outcome resource_manager::checking_ovpn_details()
{
    log_rm_state(RM_CHECKING_OVPN_DETAILS, 0);
    // A socket left from an earlier tunnel is dropped so that a new one can be bound.
    close_managing_socket();
    return call(ops_.ovpn_credentials_present) ? outcome::done : outcome::absent;
}

resource_manager::outcome resource_manager::registering_on_cs()
{
    log_rm_state(RM_REGISTERING_ON_CS, 0);
    unsigned unavailable = 0;
    for (int j = 1;; ++j) {
        if (call(ops_.register_on_cs) == 1) {
            qm_log(LOG_NOTICE, "Successfuly registered for validation on CS.");
            return outcome::done;
        }
        int error = errno;
        if (error == QM_ERR_CS_HANDSHAKE)
            return outcome::cs_certificate_rejected;
        if (error == QM_ERR_VERSION_MISMATCH)
            return outcome::version_mismatch;
        if (error == QM_ERR_CS_NO_ANSWER) {
            // Registration does not report an unreachable CS this way today; should it ever,
            // unanswered cycles count as in the approval state.
            ++unavailable;
            qm_log(LOG_DEBUG, "CS is unavailable for %d/%d cycle(s).", static_cast<int>(unavailable),
                static_cast<int>(recovery_counter_));
            if (unavailable >= recovery_counter_) {
                qm_log(LOG_INFO, "Trying to get CS IP from DS again.");
                return outcome::cs_unavailable;
            }
        }
        if (j > 10)
            return outcome::retries_exhausted;
        qm_log(LOG_INFO, "Registration on CS failed. Next attempt in %d s.", static_cast<int>(sleep_time_));
        pause(sleep_time_);
        log_rm_state(RM_REGISTERING_ON_CS, j);
    }
}

resource_manager::outcome resource_manager::getting_ovpn_approval()
{
    log_rm_state(RM_GETTING_OVPN_APPROVAL, 0);
    unsigned unavailable = 0;
    for (int c = 1;; ++c) {
        call(ops_.ovpn_stop);
        if (call(ops_.get_ovpn_detail_approval, &sleep_time_) == 1)
            return outcome::done;
        switch (errno) {
        case QM_ERR_CS_NO_ANSWER:
            ++unavailable;
            qm_log(LOG_DEBUG, "CS is unavailable for %d/%d cycle(s).", static_cast<int>(unavailable),
                static_cast<int>(recovery_counter_));
            if (unavailable >= recovery_counter_) {
                qm_log(LOG_INFO, "Trying to get CS IP from DS again.");
                return outcome::cs_unavailable;
            }
            break;
        case QM_ERR_NOT_VALIDATED:
            unavailable = 0;
            break;
        case QM_ERR_APPROVAL_ERROR:
            return outcome::approval_error;
        case QM_ERR_VERSION_MISMATCH:
            return outcome::version_mismatch;
        default:
            break;
        }
        qm_log(LOG_INFO, "Getting CS approval failed. Next attempt in %d s.", static_cast<int>(sleep_time_));
        pause(sleep_time_);
        log_rm_state(RM_GETTING_OVPN_APPROVAL, c);
    }
}

resource_manager::outcome resource_manager::getting_ovpn_credentials()
{
    log_rm_state(RM_GETTING_OVPN_CREDENTIALS, 0);
    for (int c = 1;; ++c) {
        if (call(ops_.obtain_ovpn_details) == 1)
            return outcome::done;
        int error = errno;
        if (error == QM_ERR_CS_HANDSHAKE) {
            qm_log(LOG_INFO, "Invalid CS certificate detected. Requesting new one.");
            return outcome::cs_certificate_rejected;
        }
        if (error == QM_ERR_VERSION_MISMATCH) {
            qm_log(LOG_INFO, "Wrong CS protocol version detected. Trying to update user module.");
            return outcome::version_mismatch;
        }
        qm_log(LOG_NOTICE, "Getting OVPN details failed. Next attempt in %d s.", static_cast<int>(sleep_time_));
        pause(sleep_time_);
        log_rm_state(RM_GETTING_OVPN_CREDENTIALS, c);
    }
}

resource_manager::outcome resource_manager::restarting_ovpn()
{
    log_rm_state(RM_RESTARTING_OVPN, 0);
    call(ops_.flush_one_to_one_nat);
    if (call(ops_.ovpn_restart) == 1)
        return outcome::done;
    int error = errno;
    if (error == QM_ERR_TUNNEL_CREDENTIALS) {
        qm_log(LOG_ERR, "Wrong certificate detected. Requesting new certificates.");
        call(ops_.ovpn_stop);
        // Credentials fetched in state 5 overwrite whatever is left behind.
        if (call(ops_.ovpn_credentials_delete) != 1)
            qm_log(LOG_ERR, "Not able to delete OVPN credentials. Using brute force to override them.");
        return outcome::credentials_rejected;
    }
    if (error == QM_ERR_TUNNEL_AUTH_FAILED) {
        call(ops_.ovpn_stop);
        if (recovery_counter_ <= 1) {
            qm_log(LOG_NOTICE, "Reached maximum number of retries.");
            return outcome::auth_failed_at_limit;
        }
        qm_log(LOG_NOTICE, "OVPN AUTH error detected. This device is probably disabled on CS.");
        return outcome::auth_failed;
    }
    qm_log(LOG_DEBUG, "Tunnel down. Entering recovery state.");
    return outcome::failed;
}

void resource_manager::compute_expected_cs_address()
{
    char device[16] = { 0 };
    ops_.tunnel_device(device);
    uint32_t address = 0;
    uint32_t netmask = 0;
    if (call(ops_.iface_addr_mask, device, &address, &netmask) != 0) {
        qm_log(
            LOG_ERR, "Error during calculating expected CS IP. Not able to check if communication is initiated by CS.");
        expected_cs_address_ = 0;
        return;
    }
    expected_cs_address_ = first_host(address, netmask);
}

resource_manager::outcome resource_manager::creating_managing_socket()
{
    log_rm_state(RM_CREATING_MANAGING_SOCKET, 0);
    for (unsigned c = 1;; ++c) {
        compute_expected_cs_address();
        int fd = call(ops_.create_managing_socket);
        if (fd >= 0) {
            managing_socket_ = fd;
            // The peer check below still holds where the packet filter could not be set.
            if (ops_.fence_managing_socket)
                call(ops_.fence_managing_socket, expected_cs_address_);
            return outcome::done;
        }
        if (recovery_counter_ <= c) {
            qm_log(LOG_ERR, "Not able to create managing socket. Reached number of retries (%u). Quiting.",
                recovery_counter_);
            return outcome::retries_exhausted;
        }
        pause(recovery_timeout_);
        log_rm_state(RM_CREATING_MANAGING_SOCKET, static_cast<int>(c));
    }
}

namespace
{
// The accepted connection: closed on every path out of the request handling.
class control_connection
{
public:
    control_connection(const rm_operations& ops, int fd)
        : ops_(ops)
        , fd_(fd)
    {
    }
    ~control_connection() { close(); }
    control_connection(const control_connection&) = delete;
    control_connection& operator=(const control_connection&) = delete;
    int fd() const { return fd_; }
    void close()
    {
        if (fd_ >= 0)
            ops_.close(fd_);
        fd_ = -1;
    }

private:
    const rm_operations& ops_;
    int fd_;
};
} // namespace

resource_manager::outcome resource_manager::listening()
{
    qm_log(LOG_NOTICE, "Ready for incoming messages.");
    log_rm_state(RM_LISTENING, 0);
    // Having got here, an updated module has shown that it works.
    if (ops_.commit_module_update)
        call(ops_.commit_module_update);
    for (int c = 1;; ++c) {
        int ready = call(ops_.select, managing_socket_, listening_wait());
        int select_error = errno;
        if (ready <= 0) {
            if (call(ops_.tunnel_status) != 1) {
                qm_log(LOG_ERR, "VPN tunnel is down after select timeouted. Trying to recover.");
                close_managing_socket();
                return outcome::tunnel_down;
            }
            if (ready < 0) {
                qm_log(LOG_DEBUG, "Select() failed: [%i] %s", select_error, strerror(select_error));
                pause(SELECT_FAILURE_PAUSE);
            }
            if (ops_.managing_socket_stale && call(ops_.managing_socket_stale, managing_socket_)) {
                qm_log(LOG_NOTICE, "Tunnel address has changed. Creating managing socket again.");
                close_managing_socket();
                return outcome::address_changed;
            }
            confirm_trial_by_ping();
        } else {
            int fd = call(ops_.accept_control_connection, managing_socket_);
            if (fd < 0) {
                qm_log(LOG_ERR, "main: error on accept: %d", errno);
            } else {
                control_connection connection(ops_, fd);
                if (serve_control_request(connection.fd()))
                    return outcome::version_mismatch;
            }
        }
        log_rm_state(RM_LISTENING, c);
    }
}

// Serves one request on an accepted connection. True when the request asks for a module
// update (protocol version mismatch).
bool resource_manager::serve_control_request(int fd)
{
    uint32_t peer = 0;
    if (call(ops_.peer_address, fd, &peer) != 0 || peer != expected_cs_address_) {
        note_stranger();
        return false;
    }
    if (call(ops_.set_receive_timeout, fd, CONTROL_RECEIVE_TIMEOUT) != 0)
        qm_log(LOG_ERR, "main: Failed to set a socket timeout: %d", errno);
    std::string request;
    if (!call(ops_.read_message, fd, request))
        return false;
    if (ops_.trial_heard_from_cs)
        ops_.trial_heard_from_cs(TRIAL_HEARD_BY_REQUEST);
    std::string response;
    if (!call(ops_.process_control_msg, request, response)) {
        if (errno == QM_ERR_VERSION_MISMATCH)
            return true;
        qm_log(LOG_ERR, "Error during processing control message from CS. Response not sent.");
        return false;
    }
    // A failed write is logged by the writer; it is not reported as sent.
    if (call(ops_.ovpn_write, fd, response))
        qm_log(LOG_DEBUG, "Response sent to CS: %s", response.c_str());
    call(ops_.apply_staged_files);
    return false;
}

void resource_manager::note_stranger()
{
    auto now = monotonic_now();
    if (strangers_ == 0 || now - strangers_since_ >= std::chrono::minutes(1)) {
        if (strangers_ > STRANGERS_LOGGED_PER_MINUTE)
            qm_log(LOG_WARNING, "Ignored %u more messages that were not sent by CS.",
                strangers_ - STRANGERS_LOGGED_PER_MINUTE);
        strangers_ = 0;
        strangers_since_ = now;
    }
    if (++strangers_ <= STRANGERS_LOGGED_PER_MINUTE)
        qm_log(LOG_WARNING, "Received message that was not sent by CS. Ignoring.");
}

resource_manager::outcome resource_manager::ovpn_recovery()
{
    log_rm_state(RM_OVPN_RECOVERY, 0);
    call(ops_.ovpn_stop);
    call(ops_.flush_one_to_one_nat);
    if (call(ops_.cs_reachable) != 1) {
        qm_log(LOG_DEBUG, "CS is not accessible. Next try in %d s.", static_cast<int>(recovery_timeout_));
        pause(recovery_timeout_);
        return outcome::cs_unreachable;
    }
    qm_log(LOG_DEBUG, "The CS is accessible. Asking if we are allowed to enter VPN network.");
    // A lost datagram is no verdict: without an answer the query is repeated (as often as the
    // recovery counter allows) before the credentials are given up. "Not validated" or an
    // error answer gives them up at once.
    for (unsigned attempt = 1;; ++attempt) {
        if (call(ops_.get_ovpn_detail_approval, &sleep_time_) == 1) {
            qm_log(LOG_ERR, "Validated router has problems to estabilish a tunnel to the accessible CS.");
            qm_log(LOG_DEBUG, "The device has incorect openvpn credentials on the router or openvpn process crashed.");
            return outcome::done;
        }
        if (errno != QM_ERR_CS_NO_ANSWER || attempt >= recovery_counter_)
            break;
        qm_log(LOG_DEBUG, "CS did not answer the approval query (%u/%u). Next attempt in %u s.", attempt,
            recovery_counter_, sleep_time_);
        pause(sleep_time_);
    }
    qm_log(LOG_DEBUG, "Not allowed to enter VPN network. Removing certs and trying to knock on CS's door again.");
    call(ops_.ovpn_credentials_delete);
    return outcome::not_approved;
}

resource_manager::outcome resource_manager::user_module_update()
{
    log_rm_state(RM_USER_MODULE_UPDATE, 0);
    for (int c = 1;; ++c) {
        char address[16] = { 0 };
        ops_.remote_address(address);
        std::string base_url = std::string(URL_PREFIX) + address + MODULE_URL_PATH;
        if (call(ops_.module_download, base_url) == 1 && call(ops_.module_install))
            return outcome::done;
        qm_log(LOG_ERR, "Module not updated. Waiting %ds for next try.", static_cast<int>(recovery_timeout_));
        pause(recovery_timeout_);
        log_rm_state(RM_USER_MODULE_UPDATE, c);
    }
}

void resource_manager::stop()
{
    log_rm_state(RM_STOP, 0);
    qm_log(LOG_NOTICE, "Quillmesh reached STOP state. Quiting.");
    close_managing_socket();
}

void resource_manager::close_managing_socket()
{
    if (managing_socket_ >= 0)
        ops_.close(managing_socket_);
    managing_socket_ = -1;
}
