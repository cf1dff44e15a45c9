#!/usr/bin/env bash
# Recovery: the CS's OpenVPN server goes away; the daemon leaves "Listening" for
# "OVPN Recovery" and, once the server is back, brings the tunnel up and serves again.
#   recovery.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_first_start
mark=$(e2e_log_lines)

e2e_stop_ovpn_server
down=$(e2e_now)
e2e_wait_log "RM STATE: 9 (OVPN Recovery)" 60 || fail "no recovery state after the server stopped"
note "recovery entered $(e2e_elapsed "$down" "$(e2e_now)") s after the server stopped"
check "tunnel down found after a select time-out" grep -qF "VPN tunnel is down after select timeouted. Trying to recover." "$E2E_LOG"

# The daemon keeps trying while the server is away; then the server comes back.
sleep 4
e2e_start_ovpn_server
up=$(e2e_now)
e2e_wait_log "Ready for incoming messages." 120 2 || fail "not ready again after the server came back"
note "ready again $(e2e_elapsed "$up" "$(e2e_now)") s after the server came back"

# Listening repeats its state line at every select time-out; what follows it is the recovery.
states=$(e2e_states $((mark + 1)) | awk 'seen || $0 != "8 (Listening)" { seen = 1; print }' | paste -sd'|')
note "states after the server stopped: $states"
check "recovery, then back through Restarting OVPN to Listening" \
    grep -qE '^9 \(OVPN Recovery\)\|(.*\|)?6 \(Restarting OVPN\)\|7 \(Creating Managing Socket\)\|8 \(Listening\)(\|8 \(Listening\))*$' <<<"$states"
check "no new registration" test "$(e2e_request_types cs | tr ' ' '\n' | grep -cx 21)" -eq 1
check "approval asked again in recovery" test "$(e2e_request_types udp | wc -w)" -ge 2
check_eq "served again" '{"B":[{"T":100,"ER":1,"I":0,"MG":"Unsupported segment type"}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}')"

e2e_finish
