// Stand-ins for every operation of the resource manager, and the recording backend of the
// side-effect seam with a clock of whole seconds that only the pauses move. Each operation
// answers from its script, in order; when the script runs out the operation's default applies,
// and an operation without a default ends the run by throwing script_end.
#pragma once

#include "common/system_recording.h"
#include "daemon/operations.h"

#include <arpa/inet.h>
#include <cstdint>
#include <deque>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

struct reply {
    int value; // the operation's result
    int error = 0; // left in errno
    // approval: new sleep_time when >= 0; peer_address: the peer's address (network order).
    int64_t out = -1;
};

struct script_end : std::runtime_error {
    explicit script_end(const std::string& op)
        : std::runtime_error("script ended at " + op)
        , op(op)
    {
    }
    std::string op;
};

inline uint32_t ipv4(const char* text)
{
    return inet_addr(text);
}

class fake_router : public recording_system
{
public:
    fake_router();

    void script(const std::string& op, std::vector<reply> replies);
    void by_default(const std::string& op, reply r) { defaults_[op] = r; }
    void no_default(const std::string& op) { defaults_.erase(op); }
    // Ends the run at the n-th pause (counting from 1).
    void end_at_pause(size_t n) { pause_limit_ = n; }

    rm_operations table();
    void sleep(std::chrono::milliseconds duration) override;
    std::chrono::steady_clock::time_point now() override;

    // Names of the operations called, in order (close and the settings readers excluded).
    std::vector<std::string> calls;
    size_t count(const std::string& op) const;
    std::vector<unsigned> pauses; // the fake clock's record
    std::vector<unsigned> select_timeouts; // of the listening state's waits
    unsigned clock = 0; // seconds slept in total
    std::vector<int> closed; // descriptors closed, in order
    uint32_t fenced_for = 0; // the CS address the managing socket was last fenced for
    // The listener check of the listening state; unset means the socket is never stale.
    std::function<bool(int listener)> managing_socket_stale;
    std::vector<std::string> base_urls;
    std::vector<std::string> requests; // handed to process_control_msg
    std::vector<std::string> written; // handed to ovpn_write
    std::deque<std::string> messages; // read by read_message, in order
    std::string tunnel_device = "tun0";
    std::string tunnel_address = "10.8.0.6";
    std::string tunnel_netmask = "255.255.255.0";
    std::string response = "{\"B\":[{\"T\":14,\"ER\":0,\"I\":0}],\"H\":{\"V\":113}}";

    // A network change on trial: the seconds it has left (-1: none), whether it waits to hear
    // from the CS, and whether the CS answers a ping. While it waits, "trial_heard_from_cs" and
    // "ping" join `calls`.
    long trial_left = -1;
    bool trial_waits = false;
    bool ping_answers = true;
    unsigned trial_ticks = 0;
    std::vector<std::string> heard; // the texts handed to trial_heard_from_cs
    std::vector<uint32_t> pinged;
    std::vector<unsigned> ping_waits;

private:
    reply next(const std::string& op);
    std::map<std::string, std::deque<reply>> scripts_;
    std::map<std::string, reply> defaults_;
    size_t pause_limit_ = 0;
};
