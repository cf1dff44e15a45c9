#!/usr/bin/env bash
# Power cuts during a module update on trial: grafter installs a good or a bad update, and at a
# random moment every process of the module (grafter and what it runs, the init scripts, the
# supervisor, quillmeshd, the ferryd tunnel) ends by SIGKILL; then the router boots (the module's
# init started as at boot). Whatever the moment, the router is back in "Listening" on the old or
# the new module (the old one for a bad update), with the operator's settings, and once the
# trial is committed or rolled back nothing of it is left. The moments fall anywhere from the
# start of grafter to past the trial's end; E2E_SEED repeats a run's moments, E2E_KILLS sets
# their number (20).
#   update_kill.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"
TRIAL=12
MARGIN=60
KILLS=${E2E_KILLS:-20}
SEED=${E2E_SEED:-$(($(date +%s%N) % 32768))}
RANDOM=$SEED
note "seed $SEED (E2E_SEED=$SEED repeats these moments)"

e2e_first_start MOD_QUILLMESH_UPDATE_TRIAL=$TRIAL
echo v0 >/opt/quillmesh/www/e2e-version
# The operator's own setting, which every module that comes back must carry.
sed -i 's/^MOD_QUILLMESH_RECOVERY_COUNTER=.*/MOD_QUILLMESH_RECOVERY_COUNTER=7/' /opt/quillmesh/etc/settings

# kind:the span of the moments in ms from the start of grafter (its run, then the trial up to
# its commit or rollback, and a little beyond)
kinds=(good:3000 wrong_ds_cert:$((TRIAL * 1000 + 2000)) exits_at_start:6000 init_fails:2500)
for i in $(seq 1 "$KILLS"); do
    kind=${kinds[$(((i - 1) % ${#kinds[@]}))]}
    ms=$((RANDOM % ${kind#*:}))
    kind=${kind%:*}
    old=$(cat /opt/quillmesh/www/e2e-version)
    e2e_repack "$kind" "v$i"
    mark=$(($(e2e_log_lines) + 1))
    ("$E2E_BUILD/grafter/grafter" "$E2E_WORK/update.tgz" >/dev/null 2>&1 &)
    sleep "$(awk -v m="$ms" 'BEGIN { printf "%.3f", m / 1000 }')"
    e2e_power_cut
    trial=$(ls -d /opt/.quillmesh* 2>/dev/null | paste -sd, -)
    before=$(e2e_ready_count)
    cut=$(e2e_now)
    /usr/sbin/qm-firmware boot >/dev/null 2>&1
    end=$(($(date +%s) + TRIAL + MARGIN))
    while { ls -d /opt/.quillmesh* >/dev/null 2>&1 || [ "$(e2e_ready_count)" -le "$before" ]; } && [ "$(date +%s)" -lt "$end" ]; do
        sleep 0.2
    done
    now=$(cat /opt/quillmesh/www/e2e-version 2>/dev/null)
    what=$(tail -n +"$mark" "$E2E_LOG" | grep -oE "Module update committed|Module update rolled back \([^)]*\)|did not complete; the old module stays" |
        sort | uniq -c | awk '{ $1 = $1 "x"; print }' | paste -sd, -)
    note "cut $i, $kind at $ms ms (${trial:-no trial at the cut}): \"Listening\" on $now $(e2e_elapsed "$cut" "$(e2e_now)") s after the boot (${what:-nothing})"
    if [ "$kind" = good ]; then
        check "cut $i: the old module or the new one" test "$now" = "$old" -o "$now" = "v$i"
    else
        check_eq "cut $i: the old module" "$old" "$now"
    fi
    check "cut $i: \"Listening\" again, one daemon" test "$(e2e_ready_count)" -gt "$before" -a "$(e2e_daemon_pids | wc -l)" = 1
    check "cut $i: the operator's settings" grep -qx MOD_QUILLMESH_RECOVERY_COUNTER=7 /opt/quillmesh/etc/settings
    check "cut $i: nothing of the trial left" e2e_trial_gone
    [ "$E2E_FAILURES" -eq 0 ] || break
done

e2e_finish
