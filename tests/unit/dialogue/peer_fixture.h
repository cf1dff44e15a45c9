// Runs the DS and CS test servers (tests/peers/ds_cs_server.py) beside the router sandbox and
// lays out the device's files, so the dialogue can be tested over real TLS and UDP.
#pragma once

#include "common/system_recording.h"

#include <string>
#include <vector>

struct peer_record {
    std::string server; // "ds", "cs" or "udp"
    std::string event; // "request", "handshake_failed", "incomplete", ...
    std::string request;
    bool client_cert = false;
};

// Test certificates made once per test binary: ds, cs, other (an identity nobody pins), dev
// (the device) and the tunnel credentials.
const std::string& test_cert_dir();
std::string test_cert(const std::string& name);

// The CS side of the sandbox when there is one (10.99.0.1), else loopback.
std::string peer_address();

class peer_server
{
public:
    // Starts the server with the given ports (0 = not served), listening on `address`.
    // `in_router` runs it in the router's own network namespace instead of the CS side.
    peer_server(int ds_port, int cs_port, int udp_port, const std::string& address = peer_address(),
        const std::vector<std::string>& extra = {}, bool in_router = false);
    ~peer_server();
    peer_server(const peer_server&) = delete;
    peer_server& operator=(const peer_server&) = delete;

    // Replaces the answer script (JSON text); the server picks it up at the next connection.
    void script(const std::string& json);
    // Everything recorded since the last clear.
    std::vector<peer_record> records() const;
    std::vector<peer_record> requests(const std::string& server) const;
    void clear_records();

private:
    int pid_ = -1;
    std::string dir_;
};

// Device files and settings in their real places (sandbox only).
void install_device_files();
void write_module_settings(const std::string& text);
void write_tunnel_settings(const std::string& text);
std::string module_settings_text();
std::string tunnel_settings_text();
// Removes the stored CS certificate and the tunnel credential files.
void remove_dialogue_files();

// The dialogue's own pauses (whole seconds, longer than the transport's polling waits) among
// the recorded ones.
std::vector<unsigned> dialogue_pauses(const recording_system& sys);
