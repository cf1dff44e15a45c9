#!/usr/bin/env bash
# A router configuration on trial: a configuration file that disables the cellular WAN (file
# type 2, restored, then the router reboots) is undone after the reboot when the trial runs out:
# restored through restore, one more reboot, and the router answers the CS again.
#   config_trial.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"
TRIAL=15
MARGIN=45

e2e_prepare MOD_QUILLMESH_CHANGE_TRIAL=$TRIAL
# The sandbox's reboot plays the router's power cycle: the settings apply, the module starts again.
touch /var/sandbox/reboot.boots
e2e_start_peers
e2e_start_ovpn_server
e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || die "the daemon did not reach \"Ready for incoming messages.\""

config=$(printf 'PPP_ENABLED=0\n' | base64 -w0)
bad=$(e2e_now)
check_eq "configuration store answer" '{"B":[{"T":20,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control "{\"H\":{\"V\":113},\"B\":[{\"T\":19,\"DT\":{\"19-1\":\"$config\",\"19-2\":2,\"19-3\":\"settings.ppp\"}}]}")"
n=0
while [ "$(grep -c boot /var/sandbox/calls/boot)" -lt 1 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
check "restored, then rebooted" sh -c "grep -qx PPP_ENABLED=0 /var/sandbox/calls/restore.1 && [ \"\$(cat /var/sandbox/calls/reboot)\" = reboot ]"
check "after the reboot the WAN is down" test -z "$(ip route show default)"
e2e_wait_log "Network change on trial: " 10 || fail "the daemon started after the reboot did not find the trial"

answer=$(e2e_control_until_answer "$E2E_INVENTORY" $((TRIAL + MARGIN)))
back=$(e2e_now)
elapsed=$(e2e_elapsed "$bad" "$back")
note "FIGURE bad configuration (reboot) -> router answers the CS again: $elapsed s (trial $TRIAL s)"
check "answers again within the trial time and $MARGIN s" \
    awk -v e="$elapsed" -v l=$((TRIAL + MARGIN)) 'BEGIN { exit !(e <= l) }'
check "inventory answered" grep -q '"T":16,"ER":0' <<<"$answer"
check "revert logged" grep -qF "Network change not confirmed within $TRIAL s. Reverting it." "$E2E_LOG"
check "the configuration's file reverted" grep -qF "Reverted from the snapshot: settings.ppp." "$E2E_LOG"
check_eq "the WAN setting as before: empty, the router's default" "PPP_ENABLED=" "$(cat /etc/settings.ppp)"
check_eq "a second reboot for the revert" "reboot
reboot" "$(cat /var/sandbox/calls/reboot)"
check "the WAN is up again" sh -c "ip route show default | grep -q 'via $CS_ADDR dev wan0'"
e2e_wait_log "CS is reachable again after the revert of a network change" 10 ||
    fail "the CS's return was not logged"
check "no trial left" test ! -e "$E2E_TRIAL_MARKER"

e2e_finish
