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

# The sandbox's reboot plays the router's power cycle: the settings apply, the module starts again.
touch /var/sandbox/reboot.boots
e2e_trial_start $TRIAL

config=$(printf 'PPP_ENABLED=0\n' | base64 -w0)
bad=$(e2e_now)
check_eq "configuration store answer" '{"B":[{"T":20,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control "{\"H\":{\"V\":113},\"B\":[{\"T\":19,\"DT\":{\"19-1\":\"$config\",\"19-2\":2,\"19-3\":\"settings.ppp\"}}]}")"
n=0
while [ "$(grep -c boot /var/sandbox/calls/boot)" -lt 1 ] && [ $n -lt 100 ]; do sleep 0.1; n=$((n + 1)); done
check "restored, then rebooted" sh -c "grep -qx PPP_ENABLED=0 /var/sandbox/calls/restore.1 && [ \"\$(cat /var/sandbox/calls/reboot)\" = reboot ]"
check "after the reboot the WAN is down" test -z "$(ip route show default)"
e2e_wait_log "Network change on trial: " 10 || fail "the daemon started after the reboot did not find the trial"

e2e_answers_again "bad configuration (reboot)" "$bad" $TRIAL $MARGIN
check "inventory answered" grep -q '"T":16,"ER":0' <<<"$E2E_ANSWER"
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
