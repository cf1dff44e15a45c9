#!/usr/bin/env bash
# Restart of the router's daemon with credentials in place: it asks the DS again, goes from
# "Checking OVPN Details" straight to "Restarting OVPN" and listens, without registering again.
#   restart.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_first_start
requests_before=$(wc -l <"$E2E_RECORD")
cert_before=$(md5sum <$SSL_DIR/dev_cert.crt)
key_before=$(md5sum <$OVPN_DIR/ovpn_key.pem)

/opt/quillmesh/etc/init stop
check "daemon stopped" test -z "$(e2e_daemon_pids)"
mark=$(e2e_log_lines)
/opt/quillmesh/etc/init start
e2e_wait_log "Ready for incoming messages." 90 2 || fail "not ready after the restart"

check_eq "states after the restart" \
    "1 (Getting CS IP)|2 (Checking OVPN Details)|6 (Restarting OVPN)|7 (Creating Managing Socket)|8 (Listening)" \
    "$(e2e_states $((mark + 1)) | uniq | paste -sd'|')"
check_eq "only the DS was asked" 4 "$(tail -n +$((requests_before + 1)) "$E2E_RECORD" >"$E2E_WORK/after.jsonl"; E2E_RECORD=$E2E_WORK/after.jsonl e2e_request_types all)"
check_eq "device certificate kept" "$cert_before" "$(md5sum <$SSL_DIR/dev_cert.crt)"
check_eq "tunnel key kept" "$key_before" "$(md5sum <$OVPN_DIR/ovpn_key.pem)"
check_eq "served after the restart" '{"B":[{"T":100,"ER":1,"I":0,"MG":"Unsupported segment type"}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}')"

e2e_finish
