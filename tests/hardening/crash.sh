#!/usr/bin/env bash
# Crash consistency: quillmeshd killed with SIGKILL at random moments of discovery, registration
# and credential storage, grafter killed at random moments of an update. After every kill each
# settings, certificate and credential file holds its old or its new content (or is absent where
# it was absent before); a restarted daemon reaches "Ready for incoming messages." by itself;
# /opt/quillmesh holds the old or the new module, and a new grafter run completes the update.
#   crash.sh BUILD_DIR [DAEMON_KILLS] [RESTARTS] [GRAFTER_KILLS]     (inside the router sandbox)
set -u
E2E_BUILD=$1
DAEMON_KILLS=${2:-200}
RESTARTS=${3:-10}
GRAFTER_KILLS=${4:-100}
. "$(dirname "$0")/../e2e/lib.sh"
RANDOM=${CRASH_SEED:-7}

FILES="/opt/quillmesh/etc/settings /opt/quillmesh/etc/settings.ovpn $SSL_DIR/cs_cert.crt
       $OVPN_DIR/ovpn_ca.crt $OVPN_DIR/ovpn_cert.crt $OVPN_DIR/ovpn_key.pem"
OLD=$E2E_WORK/old
NEW=$E2E_WORK/new

snapshot() { # dir
    rm -rf "$1" && mkdir -p "$1"
    local f
    for f in $FILES; do [ -e "$f" ] && cp -p "$f" "$1/$(basename "$f")"; done
    true
}

# The state before a first start: the settings as the package installed them, no CS certificate
# and no credentials (the device certificate stays: it is made once, before discovery).
restore_old() {
    local f
    for f in $FILES; do
        if [ -e "$OLD/$(basename "$f")" ]; then cp -p "$OLD/$(basename "$f")" "$f"; else rm -f "$f"; fi
    done
}

# Kills the supervisor (which would start the daemon again) and every quillmeshd, looking
# again until none is left: a daemon caught while it starts may have a child that the first
# look did not see yet.
stop_daemon() {
    local p pids
    pkill -KILL -f '^/bin/sh /opt/quillmesh/etc/init supervise'
    pids=$(e2e_daemon_pids)
    while [ -n "$pids" ]; do
        for p in $pids; do kill -9 "$p" 2>/dev/null; done
        sleep 0.02
        pids=$(e2e_daemon_pids)
    done
}

# Each file: old content, new content, or absent where it was absent before.
check_files() { # kill number
    local f name bad=0
    for f in $FILES; do
        name=$(basename "$f")
        if [ ! -e "$f" ]; then
            [ -e "$OLD/$name" ] && { echo "kill $1: $f vanished"; bad=1; }
            continue
        fi
        cmp -s "$f" "$OLD/$name" 2>/dev/null && continue
        cmp -s "$f" "$NEW/$name" 2>/dev/null && continue
        echo "kill $1: $f holds neither its old nor its new content:"; head -c 300 "$f"; echo
        bad=1
    done
    return $bad
}

e2e_first_start
PACKAGE_DIR=$E2E_WORK/pkg && mkdir -p "$PACKAGE_DIR" && tar -xzf "$E2E_PACKAGE" -C "$PACKAGE_DIR"
stop_daemon
snapshot "$NEW"
# The old state: the package's settings, nothing the dialogue stores.
rm -rf "$OLD" && mkdir -p "$OLD"
cp -p "$PACKAGE_DIR/quillmesh/etc/settings" "$PACKAGE_DIR/quillmesh/etc/settings.ovpn" "$OLD/"
cmp -s "$OLD/settings" "$NEW/settings" && note "(the module settings are not changed by a first start)"

# When a first start stores what it stores, from the files' modification times: the CS
# certificate (with settings.ovpn) follows discovery within a few hundred ms, the credentials
# come a second or more later, after the approval and the tunnel's stop. Kills drawn evenly over
# the whole start would mostly land in that wait, so they are spread over three ranges in turn:
# from the start to just past the CS certificate's storage, from the daemon's entry into state 5
# (the credentials request) to just past their storage, and the whole start.
# Times are in microseconds from bash's own clock: a kill must not wait for helper programs.
now_us() { local t=${EPOCHREALTIME//[.,]/}; echo $((10#$t)); }
mtime_us() { local t; t=$(stat -c %.6Y "$1"); t=${t//[.,]/}; echo $((10#$t)); }
sleep_until_us() { # time
    local d=$(($1 - $(now_us)))
    [ $d -gt 0 ] && sleep "$(printf '%d.%06d' $((d / 1000000)) $((d % 1000000)))"
    true
}
STATE5="RM STATE: 5 (Getting OVPN Credentials)"
wait_state5() { # count before -> returns when the log holds one more entry into state 5
    local limit=$(($(now_us) + 60000000))
    while [ "$(grep -cF "$STATE5" "$E2E_LOG")" -le "$1" ]; do
        [ "$(now_us)" -gt $limit ] && return 1
        sleep 0.005
    done
}
median3() { printf '%s\n' "$@" | sort -n | sed -n 2p; }
cert_times=() cred_times=() after5_times=()
for c in 1 2 3; do
    restore_old
    before=$(grep -cF "$STATE5" "$E2E_LOG")
    t0=$(now_us)
    /opt/quillmesh/etc/init start >/dev/null 2>&1
    wait_state5 "$before" || die "a first start did not reach state 5"
    t5=$(now_us)
    e2e_wait_file "$OVPN_DIR/ovpn_key.pem" 60 || die "a first start did not store its credentials"
    sleep 0.2
    cert_times+=($((($(mtime_us "$SSL_DIR/cs_cert.crt") - t0) / 1000)))
    cred_times+=($((($(mtime_us "$OVPN_DIR/ovpn_key.pem") - t0) / 1000)))
    after5_times+=($((($(mtime_us "$OVPN_DIR/ovpn_key.pem") - t5) / 1000)))
    stop_daemon
done
cert_ms=$(median3 "${cert_times[@]}")
cred_ms=$(median3 "${cred_times[@]}")
after5_ms=$(median3 "${after5_times[@]}")
[ "$after5_ms" -gt 0 ] || after5_ms=1
note "a first start stores the CS certificate after ${cert_times[*]} ms and the credentials after ${cred_times[*]} ms, ${after5_times[*]} ms after state 5 shows in the log"
# Where a kill left the first start: nothing stored yet, the CS certificate only, part of the
# credentials, all of them.
stage_of_kill() {
    local n=0 f
    for f in ovpn_ca.crt ovpn_cert.crt ovpn_key.pem; do [ -e "$OVPN_DIR/$f" ] && n=$((n + 1)); done
    if [ $n -eq 3 ]; then echo all
    elif [ $n -gt 0 ]; then echo part
    elif [ -e "$SSL_DIR/cs_cert.crt" ]; then echo cert
    else echo none; fi
}

daemon_bad=0 restarted=0 restart_bad=0
declare -A stages=([none]=0 [cert]=0 [part]=0 [all]=0)
for i in $(seq 1 "$DAEMON_KILLS"); do
    restore_old
    before=$(grep -cF "$STATE5" "$E2E_LOG")
    # The start runs in the background so that a kill can fall before the daemon detaches.
    t0=$(now_us)
    /opt/quillmesh/etc/init start >/dev/null 2>&1 &
    init_pid=$!
    case $((i % 3)) in
    1) sleep_until_us $((t0 + (RANDOM % (cert_ms + 40)) * 1000)) ;;
    2) wait_state5 "$before" && sleep_until_us $(($(now_us) + (RANDOM % (after5_ms + 30)) * 1000)) ;;
    0) sleep_until_us $((t0 + (RANDOM % (cred_ms + 100)) * 1000)) ;;
    esac
    pkill -KILL -x quillmeshd
    stop_daemon
    wait "$init_pid" 2>/dev/null
    stop_daemon
    stage=$(stage_of_kill)
    stages[$stage]=$((stages[$stage] + 1))
    check_files "$i" || daemon_bad=$((daemon_bad + 1))
    if [ $((i % (DAEMON_KILLS / RESTARTS > 0 ? DAEMON_KILLS / RESTARTS : 1))) -eq 0 ] && [ $restarted -lt "$RESTARTS" ]; then
        # Started again over what the kill left: it must get to listening by itself.
        restarted=$((restarted + 1))
        before=$(grep -cF "Ready for incoming messages." "$E2E_LOG")
        /opt/quillmesh/etc/init start >/dev/null 2>&1
        e2e_wait_log "Ready for incoming messages." 90 $((before + 1)) || { echo "restart after kill $i ($stage): not ready"; restart_bad=$((restart_bad + 1)); }
        stop_daemon
    fi
done
note "daemon kills by what they left: ${stages[none]} before the CS certificate, ${stages[cert]} with the CS certificate only, ${stages[part]} with part of the credentials, ${stages[all]} with all credentials"
note "daemon: $DAEMON_KILLS kills, $daemon_bad with a half-written file; $restarted restarts, $restart_bad not ready"
check_eq "no file half written after a daemon kill" 0 "$daemon_bad"
check_eq "every restarted daemon reached \"Ready for incoming messages.\"" 0 "$restart_bad"

# grafter: two versions of a module named quillmesh whose scripts do nothing slow.
SRC=$E2E_WORK/gsrc
make_version() { # version file-count
    rm -rf "$SRC" && mkdir -p "$SRC/quillmesh/etc" "$SRC/quillmesh/www" "$SRC/quillmesh/lib"
    printf '#!/bin/sh\nexit 0\n' >"$SRC/quillmesh/etc/init" && chmod 755 "$SRC/quillmesh/etc/init"
    printf 'A=1\nB=%s\n' "$1" >"$SRC/quillmesh/etc/settings"
    local n
    for n in $(seq 1 "$2"); do head -c 20000 /dev/urandom >"$SRC/quillmesh/lib/part$n"; done
    echo "$1" >"$SRC/quillmesh/VERSION"
    (cd "$SRC" && find quillmesh -type f | sort | xargs md5sum) >"$E2E_WORK/tree.$1"
    mkdir -p /tmp/vpn_module_tbd/module
    tar -czf "$E2E_WORK/quillmesh.$1.tgz" -C "$SRC" quillmesh
}
# The settings file is left out of the comparison: its values are carried over by design.
tree_is() { # version
    (cd /opt && find quillmesh -type f | sort | xargs md5sum) 2>/dev/null | sed 's|^.*  quillmesh/etc/settings$|SETTINGS|' >"$E2E_WORK/tree.now"
    sed 's|^.*  quillmesh/etc/settings$|SETTINGS|' "$E2E_WORK/tree.$1" | cmp -s - "$E2E_WORK/tree.now"
}
install_pkg() { # version
    mkdir -p /tmp/vpn_module_tbd/module && cp "$E2E_WORK/quillmesh.$1.tgz" /tmp/vpn_module_tbd/module/q.tgz
    "$E2E_BUILD/grafter/grafter" /tmp/vpn_module_tbd/module/q.tgz
}
make_version old 40
make_version new 60
install_pkg old || die "grafter could not install the old version"
t0=$(e2e_now)
install_pkg new || die "grafter could not install the new version"
g_ms=$(awk -v a="$t0" -v b="$(e2e_now)" 'BEGIN { printf "%d", (b - a) * 1000 + 50 }')
note "an update takes $g_ms ms; the kills fall in that window"

grafter_bad=0 rerun_bad=0 saw_old=0 saw_new=0
for i in $(seq 1 "$GRAFTER_KILLS"); do
    install_pkg old >/dev/null 2>&1 || { echo "grafter kill $i: reset to the old version failed"; grafter_bad=$((grafter_bad + 1)); continue; }
    mkdir -p /tmp/vpn_module_tbd/module && cp "$E2E_WORK/quillmesh.new.tgz" /tmp/vpn_module_tbd/module/q.tgz
    "$E2E_BUILD/grafter/grafter" /tmp/vpn_module_tbd/module/q.tgz &
    gpid=$!
    sleep "$(awk -v d=$((RANDOM % g_ms)) 'BEGIN { printf "%.3f", d / 1000 }')"
    kill -9 $gpid 2>/dev/null
    wait $gpid 2>/dev/null
    if tree_is old; then saw_old=$((saw_old + 1));
    elif tree_is new; then saw_new=$((saw_new + 1));
    else echo "grafter kill $i: /opt/quillmesh is neither module"; diff "$E2E_WORK/tree.now" "$E2E_WORK/tree.new" | head -5; grafter_bad=$((grafter_bad + 1)); fi
    if ! install_pkg new >/dev/null 2>&1 || ! tree_is new; then
        echo "grafter kill $i: a new run did not complete the update"; rerun_bad=$((rerun_bad + 1))
    fi
done
note "grafter: $GRAFTER_KILLS kills: $saw_old left the old module, $saw_new the new one, $grafter_bad neither; $rerun_bad new runs failed"
check_eq "/opt/quillmesh holds the old or the new module after every grafter kill" 0 "$grafter_bad"
check_eq "a new grafter run completes the update after every kill" 0 "$rerun_bad"
e2e_finish
