#!/usr/bin/env bash
# Module updates on trial, with the real daemon, grafter and supervisor against the test peers:
# a good update commits when its daemon reaches "Listening" and keeps nothing; each kind of bad
# update is rolled back to the module it replaced, which is "Listening" again within the trial
# plus a margin. Prints, per kind, the time from the start of the update to "Listening" on the
# old module, and the size of the tree kept during the trial.
#   update_trial.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"
TRIAL=20
MARGIN=30

e2e_first_start MOD_QUILLMESH_UPDATE_TRIAL=$TRIAL
echo old >/opt/quillmesh/www/e2e-version

# kind              outcome   cause logged
while read -r kind outcome cause; do
    e2e_repack "$kind"
    before=$(e2e_ready_count)
    from=$(($(e2e_log_lines) + 1))
    t0=$(e2e_now)
    "$E2E_BUILD/grafter/grafter" "$E2E_WORK/update.tgz" >"$E2E_WORK/grafter.out" 2>&1 ||
        fail "$kind: grafter failed: $(cat "$E2E_WORK/grafter.out")"
    kept=$(du -sk /opt/.quillmesh.prev 2>/dev/null | cut -f1)
    if [ "$outcome" = commit ]; then
        e2e_wait_log "Module update committed." 60 || fail "$kind: not committed"
        check_eq "$kind: the new module runs" good "$(cat /opt/quillmesh/www/e2e-version)"
        check "$kind: nothing kept after the commit" e2e_trial_gone
        note "$kind: kept during the trial: ${kept:-0} KiB"
        continue
    fi
    e2e_wait_log "Ready for incoming messages." $((TRIAL + MARGIN)) $((before + 1)) ||
        fail "$kind: not \"Listening\" again within $((TRIAL + MARGIN)) s"
    t1=$(e2e_now)
    check_eq "$kind: the old module is back" old "$(cat /opt/quillmesh/www/e2e-version 2>/dev/null)"
    check "$kind: nothing of the trial left" e2e_trial_gone
    check "$kind: rollback logged with its cause" sh -c "tail -n +$from '$E2E_LOG' | grep -F 'Module update rolled back' | grep -qF '$cause'"
    check_eq "$kind: one daemon" 1 "$(e2e_daemon_pids | wc -l)"
    note "$kind: update to \"Listening\" on the old module: $(e2e_elapsed "$t0" "$t1") s; kept: ${kept:-0} KiB"
done <<'ROWS'
exits_at_start      rollback  its daemon ended 3 times within the trial
crashes_after_5s    rollback  its daemon ended 3 times within the trial
wrong_ds_cert       rollback  the new module did not reach Listening within 20 s
init_fails          rollback  the init script of the new module failed
good                commit
ROWS

# A power cut during a trial, and the router's start of the module at boot: a trial that ran out
# meanwhile is rolled back before the start returns, and so are an update whose init script fails
# after the reboot and a rollback that the cut stopped after its exchange of the trees (before the
# old module's install set back the DS certificate); a trial with time left goes on and commits
# when its daemon reaches "Listening". The CS's tunnel server is down until the boot, so nothing
# commits before the cut.
# kind               at boot       outcome   cause logged
while read -r kind state outcome cause; do
    e2e_repack "$kind" "boot-$kind"
    current=$(cat /opt/quillmesh/www/e2e-version)
    commits=$(grep -cF "Module update committed." "$E2E_LOG")
    e2e_stop_ovpn_server
    "$E2E_BUILD/grafter/grafter" "$E2E_WORK/update.tgz" >"$E2E_WORK/grafter.out" 2>&1 || fail "boot, $kind: grafter failed"
    e2e_power_cut
    rm -f /var/run/e2e-installed
    case $state in
    expired) sed -i 's/^DEADLINE=.*/DEADLINE=1/' /opt/.quillmesh.trial ;;
    swapped_back) mv /opt/quillmesh /opt/.quillmesh.x && mv /opt/.quillmesh.prev /opt/quillmesh && mv /opt/.quillmesh.x /opt/.quillmesh.prev ;;
    esac
    before=$(e2e_ready_count)
    from=$(($(e2e_log_lines) + 1))
    t0=$(e2e_now)
    /usr/sbin/qm-firmware boot >/dev/null 2>&1
    # Looked at before the tunnel's server is back: with it, the new module may commit at once.
    if [ "$outcome" = continue ]; then
        check_eq "boot, $kind: the new module goes on" "boot-$kind" "$(cat /opt/quillmesh/www/e2e-version)"
        check "boot, $kind: still on trial until \"Listening\"" test -e /opt/.quillmesh.trial -a -d /opt/.quillmesh.prev
    fi
    e2e_start_ovpn_server
    if [ "$outcome" = continue ]; then
        e2e_wait_log "Module update committed." $MARGIN $((commits + 1)) || fail "boot, $kind: not committed"
    else
        check_eq "boot, $kind ($state): the old module is back before start returns" "$current" "$(cat /opt/quillmesh/www/e2e-version)"
        check "boot, $kind ($state): rolled back before start returns" test ! -e /opt/.quillmesh.trial
        e2e_wait_log "Ready for incoming messages." $MARGIN $((before + 1)) || fail "boot, $kind: not \"Listening\" again"
        note "boot, $kind ($state): start to \"Listening\" on the old module: $(e2e_elapsed "$t0" "$(e2e_now)") s"
        check "boot, $kind: rollback logged with its cause" sh -c "tail -n +$from '$E2E_LOG' | grep -F 'Module update rolled back' | grep -qF '$cause'"
    fi
    check "boot, $kind: nothing of the trial left" e2e_trial_gone
    check_eq "boot, $kind: one daemon" 1 "$(e2e_daemon_pids | wc -l)"
done <<'ROWS'
wrong_ds_cert        expired       rollback  the trial had run out at start
wrong_ds_cert        swapped_back  rollback  the update had not completed
init_fails_at_boot   open          rollback  the init script of the new module failed
good                 open          continue
ROWS

e2e_finish
