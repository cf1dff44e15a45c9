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

e2e_prepare MOD_QUILLMESH_CHANGE_TRIAL=$TRIAL
e2e_start_peers
e2e_start_ovpn_server
e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || die "the daemon did not reach \"Ready for incoming messages.\""

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
answer=$(e2e_control_until_answer "$E2E_INVENTORY" $((TRIAL + MARGIN)))
back=$(e2e_now)
elapsed=$(e2e_elapsed "$bad" "$back")
note "FIGURE bad LAN change -> router answers the CS again: $elapsed s (trial $TRIAL s)"
check "answers again within the trial time and $MARGIN s" \
    awk -v e="$elapsed" -v l=$((TRIAL + MARGIN)) 'BEGIN { exit !(e <= l) }'
check "not before the trial ran out" awk -v e="$elapsed" -v t=$TRIAL 'BEGIN { exit !(e >= t) }'
check_eq "the inventory reports the kept address" 192.168.7.1 \
    "$(sed -n 's/.*"16-5":"\([^"]*\)".*/\1/p' <<<"$answer")"
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
