// The OpenVPN tunnel: restart and stop through the module's init script, the wait for the
// tunnel with its failure reasons read from the tunnel process's syslog lines, the tunnel
// status, the three credential files and the CS reachability test.
#pragma once

#include <cstdint>

extern const char* const OVPN_INIT_SCRIPT; // /opt/quillmesh/etc/init.ovpn
extern const char* const OVPN_SYSTEM_LOG; // /var/log/messages
extern const char* const OVPN_CA_CERT_PATH; // .../ovpn/ovpn_ca.crt
extern const char* const OVPN_CLIENT_CERT_PATH; // .../ovpn/ovpn_cert.crt
extern const char* const OVPN_CLIENT_KEY_PATH; // .../ovpn/ovpn_key.pem

// 1 when a system log line of the current tunnel process (ferryd on the tunnel device) matches
// `pattern`; the pattern goes into the shell command line as it is.
int ovpn_log_contains(const char* pattern);
// As above with the message passed to grep as one pattern (wrapped in double quotes).
int ovpn_log_contains_quoted(const char* message);

// Runs the init script with "stop" or "restart"; 1 when it exited with status 0.
int ovpn_init(const char* action);
int ovpn_stop();

// Restarts the tunnel and waits up to a minute for it. 0 on failure: errno holds 266, 267 or 268
// when the wait failed, and is 0 when the init script failed. The callers finish a successful
// restart with restart_tunnel (control/nat.h), which exempts the new tunnel address from the NAT.
int ovpn_restart();

// Waits for an IPv4 address on the tunnel device, looking for it every 50 ms and for a failure
// in the tunnel's log lines once a second; `minutes` 0 waits without a deadline. 0 with errno
// 266 (certificate rejected or expired), 268 (AUTH_FAILED) or 267 (deadline passed).
int wait_for_tunnel(int32_t minutes);

// 1 when the tunnel counts as up: its newest start-up/inactivity/auth line is not
// "Inactivity timeout" or "AUTH_FAILED", and the device has an IPv4 address.
int tunnel_status();

// 1 when the interface has an IPv4 address; copies its dotted quad into `address` (16 bytes)
// when given. 0 for a null name.
int iface_has_address(const char* name, char* address = nullptr);

// 1 when all three credential files are readable.
int ovpn_credentials_present();
// 1 when all three credential files were removed (stops at the first failure).
int ovpn_credentials_delete();

// Exit status of "ping <host> -c 1 -W <wait_seconds>" (0 = answered).
int ping_host(const char* host, unsigned wait_seconds = 10);
// 1 when the CS address of the tunnel settings answers a ping.
int cs_reachable();
