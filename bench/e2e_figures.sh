#!/usr/bin/env bash
# End-to-end figures of the real daemon in the router sandbox, each beside its baseline from the
# same run. Prints figures; asserts nothing.
#
#   bench/e2e_figures.sh BUILD_DIR [REQUESTS]        (./qm bench runs it through bench/run.sh)
#
#  1. time from quillmeshd's start to "Ready for incoming messages." (first start and restart
#     with credentials) vs Debian's openvpn alone bringing the same tunnel up with the same
#     credentials and options;
#  2. inventory request round trip (median, p99 over REQUESTS, default 500) vs a bare TCP
#     connect/send/receive to a trivial responder (bench/e2e_responder.c) on the same tunnel
#     address that also runs one /bin/sh -c 'rm -rf DIR';
#  3. resident memory of quillmeshd while listening vs the ferryd tunnel process; stripped sizes;
#  4. a 10 MiB file-store request: time to the response and the daemon's peak resident memory.
set -u

build=${1:?usage: bench/e2e_figures.sh BUILD_DIR [REQUESTS]}
requests=${2:-500}
here=$(cd "$(dirname "$0")" && pwd)
build=$(cd "$build" && pwd) || exit 1
if [ "${QM_SANDBOX:-}" != 1 ]; then
    exec "$here/../tests/sandbox/qm-sandbox" --carry "$build" -- "$0" "$build" "$requests"
fi

E2E_BUILD=$build
. "$here/../tests/e2e/lib.sh"
CLIENT=$here/e2e_client.py
REPS=5

echo "== end-to-end figures (router sandbox; quillmeshd at log level 6, recovery timeout 3 s)"
e2e_prepare MOD_QUILLMESH_SYSLOG_LEVEL=6 >/dev/null
e2e_start_peers
e2e_start_ovpn_server
e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || die "the daemon did not get its tunnel"

# The tunnel process's exact command line, for running Debian's openvpn alone with it.
mapfile -d '' tunnel_args <"/proc/$(e2e_ferryd_pid)/cmdline"
tunnel_args=("${tunnel_args[@]:1}")
for i in "${!tunnel_args[@]}"; do
    [ "${tunnel_args[$i]}" = ferryd ] && tunnel_args[$i]=ovpn-alone
done

ready_count() { grep -cF "Ready for incoming messages." "$E2E_LOG"; }
wait_count() { # count: until the log holds more Ready lines than that
    local n=0
    while [ "$(ready_count)" -le "$1" ]; do
        n=$((n + 1))
        [ $n -gt 9000 ] && return 1
        sleep 0.01
    done
}
stop_all() {
    /opt/quillmesh/etc/init stop
    /opt/quillmesh/etc/init.ovpn stop >/dev/null 2>&1
    if [ -s "$E2E_WORK/alone.pid" ]; then
        kill "$(cat "$E2E_WORK/alone.pid")" 2>/dev/null
        rm -f "$E2E_WORK/alone.pid"
    fi
    local n=0
    while ip -4 addr show dev tun0 2>/dev/null | grep -q inet && [ $n -lt 300 ]; do
        sleep 0.01
        n=$((n + 1))
    done
}
median() { sort -n | awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)] }'; }
ms() { awk -v s="$1" 'BEGIN { printf "%.0f", s * 1000 }'; }

# ---- 1. time to tunnel ----------------------------------------------------------------------------
first=() again=() alone=()
for _ in $(seq $REPS); do
    stop_all
    rm -rf "$OVPN_DIR" "$SSL_DIR"/dev_cert.* "$SSL_DIR/cs_cert.crt"
    c=$(ready_count)
    t0=$(e2e_now)
    /opt/quillmesh/bin/quillmeshd
    wait_count "$c" && first+=("$(e2e_elapsed "$t0" "$(e2e_now)")")

    stop_all
    c=$(ready_count)
    t0=$(e2e_now)
    /opt/quillmesh/bin/quillmeshd
    wait_count "$c" && again+=("$(e2e_elapsed "$t0" "$(e2e_now)")")

    stop_all
    t0=$(e2e_now)
    /usr/sbin/openvpn "${tunnel_args[@]}" --writepid "$E2E_WORK/alone.pid"
    n=0
    until ip -4 addr show dev tun0 2>/dev/null | grep -q inet; do
        n=$((n + 1))
        [ $n -gt 6000 ] && break
        sleep 0.01
    done
    [ $n -le 6000 ] && alone+=("$(e2e_elapsed "$t0" "$(e2e_now)")")
done
stop_all
m_first=$(printf '%s\n' "${first[@]}" | median)
m_again=$(printf '%s\n' "${again[@]}" | median)
m_alone=$(printf '%s\n' "${alone[@]}" | median)
echo "-- time to tunnel, median of $REPS (s)"
printf '  quillmeshd first start (device certificate, DS, CS, approval, credentials, tunnel): %s   [%s]\n' "$m_first" "${first[*]}"
printf '  quillmeshd restart with credentials (DS, tunnel):                                   %s   [%s]\n' "$m_again" "${again[*]}"
printf '  Debian openvpn alone, same options and credentials, until tun0 has its address:     %s   [%s]\n' "$m_alone" "${alone[*]}"
awk -v q="$m_first" -v r="$m_again" -v o="$m_alone" 'BEGIN {
    printf "  difference first start - openvpn: %.2f s, restart - openvpn: %.2f s (goal: within 2 s): %s\n",
        q - o, r - o, (q - o <= 2 ? "met" : "missed") }'

# Back to a listening daemon for the rest.
c=$(ready_count)
/opt/quillmesh/bin/quillmeshd
wait_count "$c" || die "the daemon did not come back"
sleep 1
daemon=$(e2e_daemon_pids)
tunnel_addr=$(e2e_tunnel_addr)

# ---- 3. memory and sizes (while listening, before any request) -----------------------------------
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status"; }
# "anonymous + file-backed" parts of the resident memory.
rss_parts() { awk '/^RssAnon:/ { a = $2 } /^RssFile:/ { f = $2 } END { printf "%s anon + %s file", a, f }' "/proc/$1/status"; }
hwm() { awk '/^VmHWM:/ { print $2 }' "/proc/$1/status"; }
rss_daemon=$(rss "$daemon")
rss_tunnel=$(rss "$(e2e_ferryd_pid)")
parts_daemon=$(rss_parts "$daemon")
parts_tunnel=$(rss_parts "$(e2e_ferryd_pid)")

# ---- 2. inventory round trip ---------------------------------------------------------------------
printf '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}' >"$E2E_WORK/inventory.json"
cc -O2 -o "$E2E_WORK/e2e_responder" "$here/e2e_responder.c" || die "cannot build the responder"
"$E2E_WORK/e2e_responder" "$tunnel_addr" 4437 "$E2E_WORK/responder.ready" "$E2E_WORK/scratch" &
responder=$!
e2e_wait_file "$E2E_WORK/responder.ready" 10
read -r d_med d_p99 d_mean d_len < <("$QM_PEER" $E2E_PY "$CLIENT" rtt "$tunnel_addr" $CONTROL_PORT $CS_TUNNEL_ADDR "$requests" "$E2E_WORK/inventory.json")
read -r b_med b_p99 b_mean b_len < <("$QM_PEER" $E2E_PY "$CLIENT" rtt "$tunnel_addr" 4437 $CS_TUNNEL_ADDR "$requests" "$E2E_WORK/inventory.json")
kill $responder 2>/dev/null
echo "-- inventory request round trip over $requests requests, connect to close (ms)"
printf '  quillmeshd (type 15 -> 16, %s-byte answer):           median %s  p99 %s  mean %s\n' "$d_len" "$d_med" "$d_p99" "$d_mean"
printf '  baseline (trivial C responder + sh -c rm -rf):           median %s  p99 %s  mean %s\n' "$b_med" "$b_p99" "$b_mean"
awk -v d="$d_med" -v b="$b_med" 'BEGIN { printf "  ratio of medians: %.2fx (goal: within 2x): %s\n", d / b, (d <= 2 * b ? "met" : "missed") }'

echo "-- memory while listening (VmRSS, KiB)"
printf '  quillmeshd: %s   ferryd (the OpenVPN tunnel process): %s   ratio %s (goal: below 0.5): %s\n' \
    "$rss_daemon" "$rss_tunnel" "$(awk -v a="$rss_daemon" -v b="$rss_tunnel" 'BEGIN { printf "%.2f", a / b }')" \
    "$(awk -v a="$rss_daemon" -v b="$rss_tunnel" 'BEGIN { print (a < b / 2 ? "met" : "missed") }')"
printf '  quillmeshd: %s   ferryd: %s (KiB)\n' "$parts_daemon" "$parts_tunnel"
echo "-- stripped program sizes (bytes)"
strip --strip-unneeded -o "$E2E_WORK/quillmeshd.stripped" "$build/daemon/quillmeshd"
strip --strip-unneeded -o "$E2E_WORK/grafter.stripped" "$build/grafter/grafter"
strip --strip-unneeded -o "$E2E_WORK/openvpn.stripped" /usr/sbin/openvpn
printf '  quillmeshd %s   grafter %s   openvpn %s\n' "$(stat -c %s "$E2E_WORK/quillmeshd.stripped")" \
    "$(stat -c %s "$E2E_WORK/grafter.stripped")" "$(stat -c %s "$E2E_WORK/openvpn.stripped")"
printf '  shared libraries of quillmeshd beyond libc/libstdc++: %s\n' \
    "$(ldd "$build/daemon/quillmeshd" | awk '/wolfssl|cjson/ { printf "%s ", $1 }')"

# ---- 4. a 10 MiB file-store request --------------------------------------------------------------
$E2E_PY - "$E2E_WORK/store.json" <<'PY'
import base64, os, sys
content = (b"QM_FILLER=" + b"x" * 53 + b"\n") * (10 * 1024 * 1024 // 64)
body = base64.b64encode(content).decode()
open(sys.argv[1], "w").write('{"H":{"V":113},"B":[{"T":19,"DT":{"19-1":"%s","19-2":2,"19-3":"big.cfg"}}]}' % body)
PY
size=$(stat -c %s "$E2E_WORK/store.json")
hwm_before=$(hwm "$daemon")
read -r s_time s_len s_answer < <("$QM_PEER" $E2E_PY "$CLIENT" once "$tunnel_addr" $CONTROL_PORT $CS_TUNNEL_ADDR "$E2E_WORK/store.json")
sleep 1
hwm_after=$(hwm "$daemon")
echo "-- 10 MiB file store (type 19, kind 2; message $size bytes)"
printf '  time to the response: %s s (goal: within 2 s): %s; answer %s\n' "$s_time" \
    "$(awk -v t="$s_time" 'BEGIN { print (t <= 2 ? "met" : "missed") }')" "$s_answer"
printf '  peak resident memory of quillmeshd (VmHWM): %s KiB before, %s KiB after = %.2fx the file, %.2fx the message (goal: below 5x): %s\n' \
    "$hwm_before" "$hwm_after" "$(awk -v h="$hwm_after" 'BEGIN { print h * 1024 / 10485760 }')" \
    "$(awk -v h="$hwm_after" -v m="$size" 'BEGIN { print h * 1024 / m }')" \
    "$(awk -v h="$hwm_after" -v m="$size" 'BEGIN { print (h * 1024 < 5 * m ? "met" : "missed") }')"
exit 0
