#!/usr/bin/env bash
# Module update: the CS answers the credentials request with protocol version 112. The daemon
# enters "User Module Update", downloads the module package from the CS's HTTPS server, installs
# it with grafter and starts again from state 1.
#   update.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_prepare
# The package on the CS is the one module/package.sh built, with a marker that shows it landed.
mkdir -p "$E2E_WORK/www/router_modules" "$E2E_WORK/repack"
tar -xzf "$E2E_PACKAGE" -C "$E2E_WORK/repack"
echo "update from the CS" >"$E2E_WORK/repack/quillmesh/www/e2e-update-marker"
tar -czf "$E2E_WORK/www/router_modules/quillmesh.um.v4.tgz" -C "$E2E_WORK/repack" quillmesh
e2e_start_module_server "$E2E_WORK/www"
e2e_start_peers '{"cs": ["good", {"kind": "good", "version": 112}, "good"]}'
e2e_start_ovpn_server

e2e_install_module
first_pid=$(e2e_daemon_pids)
e2e_wait_log "RM STATE: 10 (User Module Update)" 60 || fail "no update state"
check "version mismatch noticed" grep -qF "Wrong CS protocol version detected. Trying to update user module." "$E2E_LOG"
e2e_wait_log "Ready for incoming messages." 120 || fail "not ready after the update"

check_eq "package fetched from the CS" "GET /router_modules/quillmesh.um.v4.tgz 200" "$(head -n 1 "$E2E_WORK/www.log" 2>/dev/null)"
check "the CS's package is installed" test -f /opt/quillmesh/www/e2e-update-marker
check "a new daemon ($first_pid -> $(e2e_daemon_pids))" sh -c "[ '$(e2e_daemon_pids)' != '$first_pid' ] && [ \$(echo '$(e2e_daemon_pids)' | wc -w) -eq 1 ]"
check_eq "module settings carried over" "MOD_QUILLMESH_CS_IP1=$CS_ADDR" "$(grep '^MOD_QUILLMESH_CS_IP1=' /opt/quillmesh/etc/settings)"
check "staging and work directories cleaned" test ! -e /tmp/vpn_module_tbd
e2e_wait_log "Module update committed." 10 || fail "the update was not committed"
check "the update on trial committed: nothing of the old module kept" sh -c '! ls -d /opt/.quillmesh* 2>/dev/null | grep -q .'
starts=$(grep -c 'quillmeshd\[[0-9]*\]: started\.$' "$E2E_LOG")
check_eq "started twice" 2 "$starts"
second=$(grep -n 'quillmeshd\[[0-9]*\]: started\.$' "$E2E_LOG" | sed -n 2p | cut -d: -f1)
check_eq "states before the update" \
    "1 (Getting CS IP)|2 (Checking OVPN Details)|3 (Registering on CS)|4 (Getting OVPN Approval)|5 (Getting OVPN Credentials)|10 (User Module Update)" \
    "$(e2e_states | head -n 6 | uniq | paste -sd'|')"
check_eq "after the update, the road again from state 1" \
    "1 (Getting CS IP)|2 (Checking OVPN Details)|3 (Registering on CS)|4 (Getting OVPN Approval)|5 (Getting OVPN Credentials)|6 (Restarting OVPN)|7 (Creating Managing Socket)|8 (Listening)" \
    "$(e2e_states "${second:-1}" | uniq | paste -sd'|')"

e2e_finish
