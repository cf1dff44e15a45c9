#!/usr/bin/env bash
# Power cuts during a network change on trial: a LAN setup that cuts the router off, and at a
# random moment quillmeshd gets SIGKILL and the router goes through a power cycle (the tunnel
# ends, the settings files apply, the module starts again). Whatever the moment, the router ends
# with the settings it had before and answers the CS again. The moments fall while the change is
# made and around the end of its trial; E2E_SEED repeats a run's moments, E2E_KILLS sets their
# number (20).
#   trial_kill.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"
TRIAL=10
MARGIN=60
KILLS=${E2E_KILLS:-20}
SEED=${E2E_SEED:-$(($(date +%s%N) % 32768))}
RANDOM=$SEED
note "seed $SEED (E2E_SEED=$SEED repeats these moments)"

e2e_trial_start $TRIAL

bad_request=$(e2e_lan_request 10.99.0.100 255.255.255.128 10.99.0.0)
for i in $(seq 1 "$KILLS"); do
    if [ $((i % 2)) = 1 ]; then
        ms=$((RANDOM % 1500)) # the snapshot, restore, the services' restart
    else
        ms=$((TRIAL * 1000 - 500 + RANDOM % 3500)) # the revert
    fi
    mark=$(e2e_log_lines)
    (E2E_CONTROL_TIMEOUT=5 e2e_control "$bad_request" >/dev/null 2>&1 &)
    sleep "$(awk -v m="$ms" 'BEGIN { printf "%.3f", m / 1000 }')"
    pids=$(e2e_daemon_pids)
    [ -n "$pids" ] && kill -KILL $pids
    cut=$(e2e_now)
    /usr/sbin/qm-firmware boot >/dev/null 2>&1
    answer=$(e2e_control_until_answer "$E2E_INVENTORY" $((TRIAL + MARGIN)))
    what=$(tail -n +"$mark" "$E2E_LOG" | grep -oE "Network change on trial for|Reverted from the snapshot|Completing the interrupted revert|Network change confirmed" |
        sort | uniq -c | awk '{ $1 = $1 "x"; print }' | paste -sd, -)
    note "kill $i at $ms ms: answers again $(e2e_elapsed "$cut" "$(e2e_now)") s after the power cycle (${what:-nothing changed})"
    check "kill $i: the router answers the CS with the LAN it had" \
        test "$(sed -n 's/.*"16-5":"\([^"]*\)".*/\1/p' <<<"$answer")" = 192.168.1.1
    check "kill $i: settings and eth0 as before" sh -c \
        "grep -qx ETH_IPADDR=192.168.1.1 /etc/settings.eth && ip -4 -o addr show eth0 | grep -q ' 192.168.1.1/24 '"
    check "kill $i: nothing left on trial" test ! -e "$E2E_TRIAL_MARKER"
    [ "$E2E_FAILURES" -eq 0 ] || break
done

e2e_finish
