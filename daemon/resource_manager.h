// The resource manager: the daemon's one loop over twelve states, taking the router from
// knowing no central server to a running tunnel that serves control requests, and back to an
// earlier state whenever a step fails.
#pragma once

#include "common/system.h"
#include "daemon/operations.h"

#include <chrono>
#include <cstdint>
#include <functional>

enum rm_state : int {
    RM_START = 0,
    RM_GETTING_CS_IP = 1,
    RM_CHECKING_OVPN_DETAILS = 2,
    RM_REGISTERING_ON_CS = 3,
    RM_GETTING_OVPN_APPROVAL = 4,
    RM_GETTING_OVPN_CREDENTIALS = 5,
    RM_RESTARTING_OVPN = 6,
    RM_CREATING_MANAGING_SOCKET = 7,
    RM_LISTENING = 8,
    RM_OVPN_RECOVERY = 9,
    RM_USER_MODULE_UPDATE = 10,
    RM_STOP = 11,
};

constexpr int RM_STATE_COUNT = 12;

// The state names as they appear in the state line, index = state number.
extern const char* const state_names[RM_STATE_COUNT];

class resource_manager
{
public:
    // The recovery timeout and counter are read once at start-up and stay fixed for the run; a
    // timeout below 1 s is taken as 1 s (logged once).
    // Its pauses and clock are those of the side-effect seam (common/system.h).
    resource_manager(rm_operations operations, unsigned recovery_timeout, unsigned recovery_counter);
    ~resource_manager();
    resource_manager(const resource_manager&) = delete;
    resource_manager& operator=(const resource_manager&) = delete;

    // Runs the loop from state 1 until state 11; returns 0 then. Exceptions of the operations
    // pass through (descriptors are closed on the way out).
    int run();

    // Does the work of one state (1-10), including its retries, and returns the state it
    // leads to.
    int step(int state);

    unsigned sleep_time() const { return sleep_time_; }
    uint32_t expected_cs_address() const { return expected_cs_address_; } // network byte order
    int managing_socket() const { return managing_socket_; }

private:
    enum class outcome;
    outcome getting_cs_ip();
    outcome checking_ovpn_details();
    outcome registering_on_cs();
    outcome getting_ovpn_approval();
    outcome getting_ovpn_credentials();
    outcome restarting_ovpn();
    outcome creating_managing_socket();
    outcome listening();
    outcome ovpn_recovery();
    outcome user_module_update();
    void stop();

    bool serve_control_request(int fd);
    void compute_expected_cs_address();
    void close_managing_socket();
    void note_stranger();
    long trial_tick();
    unsigned listening_wait();
    void confirm_trial_by_ping();
    void pause(unsigned seconds) { sleep_seconds(seconds); }

    rm_operations ops_;
    unsigned recovery_timeout_;
    unsigned recovery_counter_;
    unsigned sleep_time_ = 5;
    uint32_t expected_cs_address_ = 0;
    int managing_socket_ = -1;
    // Connections from others than the CS in the current minute, and when it began.
    unsigned strangers_ = 0;
    std::chrono::steady_clock::time_point strangers_since_ {};
};

// Writes the state line "RM STATE: %d (%s). State counter: %d".
void log_rm_state(int state, int counter);
