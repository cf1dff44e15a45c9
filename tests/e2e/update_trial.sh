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

e2e_prepare MOD_QUILLMESH_UPDATE_TRIAL=$TRIAL
e2e_start_peers
e2e_start_ovpn_server
e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || die "the first module did not reach \"Listening\""
echo old >/opt/quillmesh/www/e2e-version

# A package like the installed one, changed by the named kind of update.
repack() { # kind
    rm -rf "$E2E_WORK/repack" && mkdir -p "$E2E_WORK/repack" && tar -xzf "$E2E_PACKAGE" -C "$E2E_WORK/repack"
    local tree=$E2E_WORK/repack/quillmesh
    echo "$1" >"$tree/www/e2e-version"
    case $1 in
    good) ;;
    exits_at_start) printf '#!/bin/sh\nexit 1\n' >"$tree/bin/quillmeshd" ;;
    crashes_after_5s) printf '#!/bin/sh\nsleep 5\nkill -SEGV $$\n' >"$tree/bin/quillmeshd" ;;
    wrong_ds_cert)
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=other \
            -keyout "$E2E_WORK/other.key" -out "$tree/etc/ds_cert.crt" 2>/dev/null ;;
    init_fails) printf '#!/bin/sh\nexit 1\n' >"$tree/etc/init" ;;
    esac
    tar -czf "$E2E_WORK/update.tgz" -C "$E2E_WORK/repack" quillmesh
}
ready_count() { grep -cF "Ready for incoming messages." "$E2E_LOG"; }

# kind              outcome   cause logged
while read -r kind outcome cause; do
    repack "$kind"
    before=$(ready_count)
    from=$(($(e2e_log_lines) + 1))
    t0=$(e2e_now)
    "$E2E_BUILD/grafter/grafter" "$E2E_WORK/update.tgz" >"$E2E_WORK/grafter.out" 2>&1 ||
        fail "$kind: grafter failed: $(cat "$E2E_WORK/grafter.out")"
    kept=$(du -sk /opt/.quillmesh.prev 2>/dev/null | cut -f1)
    if [ "$outcome" = commit ]; then
        e2e_wait_log "Module update committed." 60 || fail "$kind: not committed"
        check_eq "$kind: the new module runs" good "$(cat /opt/quillmesh/www/e2e-version)"
        check "$kind: nothing kept after the commit" sh -c '! ls -d /opt/.quillmesh* 2>/dev/null | grep -q .'
        note "$kind: kept during the trial: ${kept:-0} KiB"
        continue
    fi
    e2e_wait_log "Ready for incoming messages." $((TRIAL + MARGIN)) $((before + 1)) ||
        fail "$kind: not \"Listening\" again within $((TRIAL + MARGIN)) s"
    t1=$(e2e_now)
    check_eq "$kind: the old module is back" old "$(cat /opt/quillmesh/www/e2e-version 2>/dev/null)"
    check "$kind: nothing of the trial left" sh -c '! ls -d /opt/.quillmesh* 2>/dev/null | grep -q .'
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

# A trial that ran out while the router was off is rolled back by the next start, before the new
# module runs.
repack wrong_ds_cert
"$E2E_BUILD/grafter/grafter" "$E2E_WORK/update.tgz" >"$E2E_WORK/grafter.out" 2>&1 || fail "boot: grafter failed"
/opt/quillmesh/etc/init stop
sed -i 's/^DEADLINE=.*/DEADLINE=1/' /opt/.quillmesh.trial
before=$(ready_count)
from=$(($(e2e_log_lines) + 1))
t0=$(e2e_now)
/opt/quillmesh/etc/init start >/dev/null
check_eq "boot: the old module (the committed \"good\") is back before start returns" good "$(cat /opt/quillmesh/www/e2e-version)"
e2e_wait_log "Ready for incoming messages." $MARGIN $((before + 1)) || fail "boot: not \"Listening\" again"
note "boot with an expired trial: start to \"Listening\" on the old module: $(e2e_elapsed "$t0" "$(e2e_now)") s"
check "boot: rollback logged with its cause" sh -c "tail -n +$from '$E2E_LOG' | grep -qF 'Module update rolled back: the trial had run out at start.'"
check "boot: nothing of the trial left" sh -c '! ls -d /opt/.quillmesh* 2>/dev/null | grep -q .'

e2e_finish
