#!/usr/bin/env bash
# LAN changes on trial: a good LAN setup is confirmed by the CS and kept; a LAN setup that takes
# the WAN's next hop (the router cannot reach the CS any more) is undone when the trial runs out,
# and the router answers the CS again.
#   lan_trial.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"
TRIAL=15
MARGIN=45

e2e_trial_start $TRIAL

# A good change: confirmed by the CS's answer to a ping through the tunnel, and kept.
check_eq "good LAN setup answer" '{"B":[{"T":12,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control "$(e2e_lan_request 192.168.7.1 255.255.255.0 192.168.7.0)")"
check "eth0 takes the new address" sh -c "ip -4 -o addr show eth0 | grep -q ' 192.168.7.1/24 '"
e2e_wait_log "Network change confirmed: CS answered a ping through the tunnel." 30 ||
    fail "the good change was not confirmed"
check "no trial left" test ! -e "$E2E_TRIAL_MARKER"
check_eq "the inventory reports the new address" 192.168.7.1 \
    "$(e2e_control "$E2E_INVENTORY" | sed -n 's/.*"16-5":"\([^"]*\)".*/\1/p')"

# A bad change: eth0 on 10.99.0.100/25 takes the route to the WAN's next hop, the CS.
bad=$(e2e_now)
answer=$(E2E_CONTROL_TIMEOUT=5 e2e_control "$(e2e_lan_request 10.99.0.100 255.255.255.128 10.99.0.0)")
note "answer to the bad LAN setup: $answer"
check "the bad change cuts the router off" sh -c "ip route get $CS_ADDR | grep -q ' dev eth0 '"
e2e_answers_again "bad LAN change" "$bad" $TRIAL $MARGIN
check_eq "the inventory reports the kept address" 192.168.7.1 \
    "$(sed -n 's/.*"16-5":"\([^"]*\)".*/\1/p' <<<"$E2E_ANSWER")"
check "settings.eth as before the bad change" grep -qx ETH_IPADDR=192.168.7.1 /etc/settings.eth
check "eth0 as before the bad change" sh -c "ip -4 -o addr show eth0 | grep -q ' 192.168.7.1/24 '"
check "revert logged" grep -qF "Network change not confirmed within $TRIAL s. Reverting it." "$E2E_LOG"
check "what was reverted logged" grep -qF "Reverted from the snapshot: settings.eth." "$E2E_LOG"
check "the change's services restarted again" sh -c \
    "grep -qF 'Restarting bard,eth after the revert.' $E2E_LOG && [ \$(grep -cx 'eth restart' /var/sandbox/calls/service) -eq 3 ]"
e2e_wait_log "CS is reachable again after the revert of a network change" 10 ||
    fail "the CS's return was not logged"
check "no trial left" test ! -e "$E2E_TRIAL_MARKER"
check_eq "reverted once" 1 "$(grep -cF 'Reverted from the snapshot' "$E2E_LOG")"

e2e_finish
