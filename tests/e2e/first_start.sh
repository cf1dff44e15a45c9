#!/usr/bin/env bash
# First start of a router that has never met its CS: no device certificate, no tunnel
# credentials. The module is installed, quillmeshd starts and walks states 1 to 8.
#   first_start.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_prepare
e2e_start_peers
e2e_start_ovpn_server
check "no device certificate before the first start" test ! -e $SSL_DIR/dev_cert.crt
check "no tunnel credentials before the first start" test ! -e $OVPN_DIR/ovpn_key.pem

e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || fail "the daemon did not reach \"Ready for incoming messages.\""
note "ready after $(e2e_elapsed "$E2E_START" "$(e2e_now)") s"

check "the daemon started" grep -qF "quillmeshd[" "$E2E_LOG"
first=$(grep -n 'quillmeshd\[[0-9]*\]: started\.$' "$E2E_LOG" | head -n 1 | cut -d: -f1)
check "\"started.\" is logged" test -n "$first"
check_eq "state lines of a first start" \
    "1 (Getting CS IP)|2 (Checking OVPN Details)|3 (Registering on CS)|4 (Getting OVPN Approval)|5 (Getting OVPN Credentials)|6 (Restarting OVPN)|7 (Creating Managing Socket)|8 (Listening)" \
    "$(e2e_states "${first:-1}" | uniq | paste -sd'|')"
check_eq "state counters of a first start" "0 0 0 0 0 0 0 0" \
    "$(sed -n 's/.*RM STATE: [0-9]* ([^)]*)\. State counter: \([0-9]*\)$/\1/p' "$E2E_LOG" | head -n 8 | paste -sd' ')"
check "milestones in order" awk '
    /CS.s IP was successfuly obtained\./ && s == 0 { s = 1 }
    /Successfuly registered for validation on CS\./ && s == 1 { s = 2 }
    /Ready for incoming messages\./ && s == 2 { s = 3 }
    END { exit s == 3 ? 0 : 1 }' "$E2E_LOG"
check "no error lines from quillmeshd" sh -c "! grep -E 'quillmeshd\[[0-9]+\]' $E2E_LOG | grep -qiE 'failed|error|not able'"

# What went over the side channels: DS 4, CS 21 and 6, one approval datagram 8.
check_eq "requests to the test servers" "4 21 8 6" "$(e2e_request_types all)"

# Files of a provisioned device.
check "device key, owner only" sh -c "[ \$(( 0$(file_mode $SSL_DIR/dev_cert.pem) & 077 )) -eq 0 ]"
check "device certificate" openssl x509 -noout -in $SSL_DIR/dev_cert.crt
check "key and certificate belong together" sh -c \
    "[ \"\$(openssl pkey -in $SSL_DIR/dev_cert.pem -pubout)\" = \"\$(openssl x509 -in $SSL_DIR/dev_cert.crt -noout -pubkey)\" ]"
check_eq "pinned CS certificate is the CS's" "$(cat "$E2E_CERTS/cs.crt")" "$(cat $SSL_DIR/cs_cert.crt 2>/dev/null)"
check_eq "DS certificate installed with the module" "$(cat "$E2E_CERTS/ds.crt")" "$(cat $SSL_DIR/ds_cert.crt 2>/dev/null)"
check_eq "tunnel CA" "$(cat "$E2E_CA/ca.crt")" "$(cat $OVPN_DIR/ovpn_ca.crt 2>/dev/null)"
check_eq "tunnel certificate" "$(cat "$E2E_CA/client.crt")" "$(cat $OVPN_DIR/ovpn_cert.crt 2>/dev/null)"
check_eq "tunnel key" "$(cat "$E2E_CA/client.key")" "$(cat $OVPN_DIR/ovpn_key.pem 2>/dev/null)"
check_eq "tunnel key mode" 600 "$(file_mode $OVPN_DIR/ovpn_key.pem)"
check "CS address in the tunnel settings" grep -qx "QUILLMESH_REMOTE_IPADDR=$CS_ADDR" /opt/quillmesh/etc/settings.ovpn
check "CS address in the module settings" grep -qx "MOD_QUILLMESH_CS_IP1=$CS_ADDR" /opt/quillmesh/etc/settings

# The tunnel is up and carries traffic to the CS.
addr=$(e2e_tunnel_addr)
check "tunnel address in 10.8.0.0/24 ($addr)" sh -c "case '$addr' in 10.8.0.*) true ;; *) false ;; esac"
check "ferryd runs the tunnel" test -n "$(e2e_ferryd_pid)"
check "CS reachable through the tunnel" e2e_ping_cs
check "managing socket listens on the tunnel address only" sh -c \
    "ss -ltn | awk '{ print \$4 }' | grep -qx '$addr:$CONTROL_PORT' && ! ss -ltn | awk '{ print \$4 }' | grep -qx '0.0.0.0:$CONTROL_PORT'"
check "one daemon" test "$(e2e_daemon_pids | wc -l)" -eq 1

e2e_finish
