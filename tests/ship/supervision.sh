#!/usr/bin/env bash
# The module's supervisor (module/etc/init) with the real quillmeshd of a build: the daemon is
# started again whenever it ends, after a back-off that doubles, and each restart is logged with
# its cause; however often "start" runs, one supervisor; "stop" ends the supervisor, then the
# daemon; processes and files of another user neither stop a start nor get signalled.
#   supervision.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/../e2e/lib.sh"
INIT=/opt/quillmesh/etc/init
RUN_DIR=/var/run/quillmesh
NOBODY=(setpriv --reuid=65534 --regid=65534 --clear-groups)

# The module without peers: the daemon keeps asking for a DS that does not answer.
mkdir -p /opt/quillmesh/bin /opt/quillmesh/etc $SSL_DIR "$E2E_WORK/fake"
cp "$E2E_REPO/module/etc/init" $INIT
cp "$E2E_BUILD/daemon/quillmeshd" /opt/quillmesh/bin/
printf 'MOD_QUILLMESH_ENABLED=1\nMOD_QUILLMESH_SYSLOG_LEVEL=6\nMOD_QUILLMESH_RECOVERY_TIMEOUT=1\n' \
    >/opt/quillmesh/etc/settings
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=ds \
    -keyout "$E2E_WORK/ds.key" -out $SSL_DIR/ds_cert.crt 2>/dev/null || die "no DS certificate"

# Root's supervisors and daemons, by command line.
root_pids() { # pattern
    local d
    for d in /proc/[0-9]*; do
        grep -q '^Uid:[[:space:]]*0[[:space:]]' "$d/status" 2>/dev/null || continue
        grep -q '^State:[[:space:]]*Z' "$d/status" 2>/dev/null && continue
        tr '\000' ' ' 2>/dev/null <"$d/cmdline" | grep -qE "$1" && echo "${d#/proc/}"
    done
}
supervisors() { root_pids '^/bin/sh /opt/quillmesh/etc/init supervise $'; }
daemons() { root_pids '^/opt/quillmesh/bin/quillmeshd -f $'; }
counts() { echo "$(supervisors | wc -l) $(daemons | wc -l)"; }
restarts() { grep -c 'quillmesh-supervisor: quillmeshd (pid' "$E2E_LOG"; }
# Kills the daemon with SIGNAL and waits for its successor; prints the seconds in between.
kill_and_wait() { # signal
    local old new t0
    old=$(daemons)
    t0=$(e2e_now)
    kill -"$1" "$old"
    for _ in $(seq 200); do
        new=$(daemons)
        [ -n "$new" ] && [ "$new" != "$old" ] && break
        sleep 0.05
    done
    e2e_elapsed "$t0" "$(e2e_now)"
}
at_least() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a >= b) }'; }

$INIT start >/dev/null
check_eq "start: one supervisor, one daemon" "1 1" "$(counts)"
check_eq "the daemon is the supervisor's child" "$(supervisors)" "$(awk '{ print $4 }' /proc/"$(daemons)"/stat)"
check_eq "the pid file names the supervisor" "$(supervisors)" "$(cat $RUN_DIR/supervisor.pid)"
check_eq "the run directory is root's alone" "drwx------ 0" "$(stat -c '%A %u' $RUN_DIR)"
daemon_before=$(daemons)
check_eq "a second start finds it running" "quillmeshd: already running" "$($INIT start)"
check_eq "... and changes nothing" "1 1 $daemon_before" "$(counts) $(daemons)"

# Every end of the daemon: the cause in the log, a pause that doubles.
for step in "SEGV 11 1" "KILL 9 2"; do
    read -r sig num pause <<<"$step"
    pid=$(daemons)
    gap=$(kill_and_wait "$sig")
    check "SIG$sig: started again after $gap s (at least $pause s)" at_least "$gap" "$pause"
    check "SIG$sig: logged" grep -qE "quillmesh-supervisor: quillmeshd \\(pid $pid\\) was ended by signal $num \\(SIG$sig\\) after [0-9]+ s; starting it again in $pause s\\.$" "$E2E_LOG"
done
# A daemon that cannot start (no DS certificate) ends with its exit status.
mv $SSL_DIR/ds_cert.crt "$E2E_WORK/ds_cert.crt"
kill -TERM "$(daemons)"
e2e_wait_log "was ended by signal 15 (SIGTERM)" 5 || fail "SIGTERM logged"
e2e_wait_log "exited with status 1" 10
check "exit status 1 logged, with the next pause doubled" grep -qE \
    "quillmesh-supervisor: quillmeshd \\(pid [0-9]+\\) exited with status 1 after [01] s; starting it again in 8 s\\.$" "$E2E_LOG"
mv "$E2E_WORK/ds_cert.crt" $SSL_DIR/ds_cert.crt
$INIT stop
check_eq "stop in the back-off: nothing left" "0 0" "$(counts)"
check "... not even the pause" sh -c "! pgrep -x sleep"
check "... nor the pid file" test ! -e $RUN_DIR/supervisor.pid

$INIT start >/dev/null
logged=$(restarts)
$INIT stop
check_eq "stop: supervisor and daemon ended" "0 0" "$(counts)"
check_eq "the supervisor ended first: no restart logged" "$logged" "$(restarts)"

for i in 1 2 3 4; do $INIT start >/dev/null & done
wait
check_eq "four starts at once: one supervisor, one daemon" "1 1" "$(counts)"
before="$(supervisors) $(daemons)"
$INIT restart >/dev/null
check_eq "restart: one supervisor, one daemon" "1 1" "$(counts)"
check "... both new" test "$(supervisors) $(daemons)" != "$before"
$INIT stop

# Another user's processes under the names the script looks for, and its files where the
# script keeps its own: none of them counts, none is signalled.
cp /bin/sleep "$E2E_WORK/fake/quillmeshd"
printf '#!/bin/sh\nsleep 300\n' >"$E2E_WORK/fake/init"
chmod 755 "$E2E_WORK/fake" "$E2E_WORK/fake/init"
"${NOBODY[@]}" "$E2E_WORK/fake/quillmeshd" 300 &
fake_daemon=$!
"${NOBODY[@]}" "$E2E_WORK/fake/init" $INIT supervise &
fake_supervisor=$!
mkdir -p $RUN_DIR
chown 65534 $RUN_DIR
chmod 777 $RUN_DIR
echo "$fake_supervisor" >$RUN_DIR/supervisor.pid
$INIT start >/dev/null
check_eq "another user's look-alikes do not stop a start" "1 1" "$(counts)"
check_eq "... nor its run directory" "drwx------ 0" "$(stat -c '%A %u' $RUN_DIR)"
check_eq "... nor a pid file naming a root process that is no supervisor" "1 1" \
    "$($INIT stop; echo 1 >$RUN_DIR/supervisor.pid; $INIT start >/dev/null; counts)"
$INIT stop
check "another user's look-alikes are not signalled" kill -0 $fake_daemon $fake_supervisor
kill $fake_daemon $fake_supervisor 2>/dev/null

e2e_finish
