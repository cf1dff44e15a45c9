#!/usr/bin/env bash
# End-to-end figures of the real daemon in the router sandbox, each beside its baseline from the
# same run. Prints figures; asserts nothing.
#
#   bench/e2e_figures.sh BUILD_DIR [REQUESTS]        (./qm bench runs it with the packaged build)
#
#  1. over each emulated link (QM_BENCH_LINKS, default "lan lte 3g bad"; see QM_LINK in
#     tests/sandbox/README.md), QM_BENCH_REPS times (default 5): time from quillmeshd's start to
#     "Ready for incoming messages." (first start and restart with credentials) vs Debian's
#     openvpn alone bringing the same tunnel up with the same credentials and options over the
#     same link; the network round trips the daemon spends before it starts the tunnel (from a
#     packet capture on the CS side); and, from one more run of each under strace, where the
#     daemon's time goes: sleeps, polls, network reads, waits for its child processes;
#  2. inventory request round trip (median, p99 over REQUESTS, default 500) vs a bare TCP
#     connect/send/receive to a trivial responder (bench/e2e_responder.c) on the same tunnel
#     address that also runs one /bin/sh -c 'rm -rf DIR';
#  3. resident memory of quillmeshd while listening and its peak over a first start, vs the
#     ferryd tunnel process, with the pages per mapping; stripped sizes;
#  4. a 10 MiB file-store request: time to the response and the daemon's peak resident memory.
# Sections 2-4 run on the sandbox's plain link.
set -u

here=$(cd "$(dirname "$0")" && pwd)
part=all
case "${1:-}" in
--startup | --figures)
    part=${1#--}
    shift
    ;;
esac
build=${1:?usage: bench/e2e_figures.sh BUILD_DIR [REQUESTS]}
requests=${2:-500}
build=$(cd "$build" && pwd) || exit 1
links=${QM_BENCH_LINKS-lan lte 3g bad}
REPS=${QM_BENCH_REPS:-5}
if [ "${QM_SANDBOX:-}" != 1 ]; then
    sandbox=$here/../tests/sandbox/qm-sandbox
    if [ -n "$links" ]; then
        echo "== time to \"Ready for incoming messages.\" over emulated links ($build; $REPS runs each)"
        echo "   s: median / worst; added: daemon minus openvpn alone (medians); trips: the daemon's round trips"
        echo "   before it starts the tunnel (median); excess: added minus trips x nominal round trip (goal <= 0.5 s)"
        printf '   %-5s %-7s %-15s %-15s %-15s %-15s %-7s %-13s %s\n' link "RTT" "first start" "restart" \
            "openvpn alone" "added 1st/re" trips "excess 1st/re" goal
        where=()
        for link in $links; do
            out=$(QM_LINK=$link "$sandbox" --carry "$build" -- "$0" --startup "$build") || out+=$'\n'"   $link: the run failed"
            grep -v '^where:' <<<"$out"
            where+=("$(sed -n 's/^where://p' <<<"$out")")
        done
        echo "-- where the daemon's start goes (one more run of each under strace; s)"
        printf '   %-5s %-11s %-11s %-11s %-15s %-17s %s\n' link run "sleeps (n)" "polls (n)" "network (n)" "children (n)" total
        printf '%s\n' "${where[@]}" | sed '/^$/d'
    fi
    [ "$part" = startup ] && exit 0
    exec "$sandbox" --carry "$build" -- "$0" --figures "$build" "$requests"
fi

E2E_BUILD=$build
. "$here/../tests/e2e/lib.sh"
CLIENT=$here/e2e_client.py

[ "$part" = startup ] || echo "== end-to-end figures (router sandbox; $build; quillmeshd at log level 6, recovery timeout 3 s)"
e2e_prepare MOD_QUILLMESH_SYSLOG_LEVEL=6 >/dev/null
e2e_start_peers
e2e_start_ovpn_server
e2e_install_module
e2e_wait_log "Ready for incoming messages." 120 || die "the daemon did not get its tunnel"

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
        [ $n -gt 12000 ] && return 1
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
forget_credentials() { rm -rf "$OVPN_DIR" "$SSL_DIR"/dev_cert.* "$SSL_DIR/cs_cert.crt"; }
median() { sort -n | awk '{ a[NR] = $1 } END { if (NR) print a[int((NR + 1) / 2)] }'; }
worst() { sort -n | tail -n 1; }

# ---- 1. start-up over an emulated link (one row of the table) -------------------------------------
if [ "$part" = startup ]; then
    command -v tcpdump >/dev/null || die "tcpdump is missing (./qm deps installs it)"
    # Every frame between the router and the servers, seen on the CS side of the link.
    capture_start() { # file
        rm -f "$1" "$1.err"
        "$QM_PEER" tcpdump -i cs0 -nn -U --immediate-mode -Z root -w "$1" 2>"$1.err" &
        capture=$!
        local n=0
        until grep -q "listening on" "$1.err" 2>/dev/null || [ $n -gt 500 ]; do
            n=$((n + 1))
            sleep 0.01
        done
    }
    capture_stop() {
        kill -INT "$capture" 2>/dev/null
        wait "$capture" 2>/dev/null
    }
    # The round trips before the tunnel's first datagram: each time the router sends after the CS
    # side's answer could have reached it, at least the link's shortest round trip (2 x (delay -
    # jitter)) later; frames that the jitter merely pulled apart count once. Frames without data
    # (acknowledgements, closes) make nobody wait and are left out, and so are the tunnel
    # server's datagrams to a tunnel process of before and the router's ICMP answers to them. On
    # the lan link every turn counts, also where frames merely cross.
    tunnel_port=$(sed -n 's/^QUILLMESH_PORT=//p' /opt/quillmesh/etc/settings.ovpn)
    shortest_rtt=$(awk -F= '{ v[$1] = $2 } END { d = v["delay"] - v["jitter"]; print (d > 0 ? 2 * d / 1000 : 0) }' \
        /var/sandbox/link.settings)
    round_trips() { # capture
        tcpdump -nn -tt -r "$1" 2>/dev/null | awk -v me="$QM_ROUTER_ADDR" -v port="${tunnel_port:-1194}" \
            -v rtt="$shortest_rtt" '
            $2 != "IP" { next }
            { up = ($3 == me || index($3, me ".") == 1) }
            up && $5 ~ ("\\." port ":$") { tunnel = 1 }
            !tunnel && ($3 ~ ("\\." port "$") || /ICMP/ || !(/Flags \[S/ || / length [1-9]/)) { next }
            !up && !answered { answered = $1 }
            up && answered && $1 - answered >= 0.8 * rtt { n++ }
            up { answered = 0 }
            tunnel { exit }
            END { print n + 0 }'
    }
    timed_start() { # first|again: prints the seconds to "Ready" and the round trips
        stop_all
        [ "$1" = first ] && forget_credentials
        capture_start "$E2E_WORK/start.pcap"
        local c t0 took
        c=$(ready_count)
        t0=$(e2e_now)
        /opt/quillmesh/bin/quillmeshd
        if wait_count "$c"; then took=$(e2e_elapsed "$t0" "$(e2e_now)"); else took=; fi
        capture_stop
        [ -n "$took" ] && echo "$took $(round_trips "$E2E_WORK/start.pcap")"
    }
    timed_alone() {
        stop_all
        local t0 n=0
        t0=$(e2e_now)
        /usr/sbin/openvpn "${tunnel_args[@]}" --writepid "$E2E_WORK/alone.pid"
        until ip -4 addr show dev tun0 2>/dev/null | grep -q inet; do
            n=$((n + 1))
            [ $n -gt 12000 ] && return 1
            sleep 0.01
        done
        e2e_elapsed "$t0" "$(e2e_now)"
    }
    # The daemon's time by system call (its child processes are left at their exec): sleeps,
    # polls, reads from sockets and connects (the network), reads from pipes and waits for
    # children (the shell commands it runs). Prints one line of the second table.
    traced_start() { # first|again
        stop_all
        [ "$1" = first ] && forget_credentials
        local c t0 t1 tracer
        c=$(ready_count)
        t0=$(e2e_now)
        strace -f -b execve -qq -yy -ttt -T -o "$E2E_WORK/start.trace" \
            -e trace=clock_nanosleep,nanosleep,select,pselect6,poll,ppoll,read,recvfrom,recvmsg,connect,wait4,waitid \
            /opt/quillmesh/bin/quillmeshd &
        tracer=$!
        wait_count "$c" || return 1
        t1=$(e2e_now)
        stop_all
        wait "$tracer" 2>/dev/null
        awk -v t0="$t0" -v t1="$t1" -v what="$1" -v link="$QM_LINK" '
            function kind(call, args) {
                if (call ~ /nanosleep/) return "sleep"
                if (call ~ /select|poll/) return "poll"
                if (call ~ /wait/ || args ~ /<pipe:/) return "child"
                if (args ~ /<(TCP|UDP|socket):/ || call == "connect") return "net"
                return ""
            }
            / <unfinished \.\.\.>$/ { pending[$1] = $3; next }
            match($0, /<[0-9.]+>$/) {
                dur = substr($0, RSTART + 1, RLENGTH - 2)
                if ($3 == "<...") { k = kind($4, pending[$1]); start = $2 - dur }
                else { call = $3; sub(/\(.*/, "", call); k = kind(call, $3); start = $2 }
                end = start + dur
                if (k == "" || start >= t1 || end <= t0) next
                if (end > t1) end = t1
                if (start < t0) start = t0
                sum[k] += end - start
                n[k]++
            }
            END {
                printf "where:   %-5s %-11s %-11s %-11s %-15s %-17s %.2f\n", link, what,
                    sprintf("%.2f (%d)", sum["sleep"], n["sleep"]), sprintf("%.2f (%d)", sum["poll"], n["poll"]),
                    sprintf("%.2f (%d)", sum["net"], n["net"]), sprintf("%.2f (%d)", sum["child"], n["child"]), t1 - t0
            }' "$E2E_WORK/start.trace"
    }

    first=() again=() alone=() trips_first=() trips_again=()
    for _ in $(seq "$REPS"); do
        if read -r took trips < <(timed_start first); then
            first+=("$took")
            trips_first+=("$trips")
        fi
        if read -r took trips < <(timed_start again); then
            again+=("$took")
            trips_again+=("$trips")
        fi
        took=$(timed_alone) && alone+=("$took")
    done
    traced_start first
    traced_start again
    stop_all
    delay=$(sed -n 's/^delay=//p' /var/sandbox/link.settings)
    summary() { printf '%s / %s' "$(printf '%s\n' "$@" | median)" "$(printf '%s\n' "$@" | worst)"; }
    m_first=$(printf '%s\n' "${first[@]}" | median)
    m_again=$(printf '%s\n' "${again[@]}" | median)
    m_alone=$(printf '%s\n' "${alone[@]}" | median)
    r_first=$(printf '%s\n' "${trips_first[@]}" | median)
    r_again=$(printf '%s\n' "${trips_again[@]}" | median)
    awk -v link="$QM_LINK" -v rtt="$(awk -v d="${delay:-0}" 'BEGIN { print 2 * d / 1000 }')" \
        -v f="$m_first" -v a="$m_again" -v o="$m_alone" -v rf="$r_first" -v ra="$r_again" \
        -v sf="$(summary "${first[@]}")" -v sa="$(summary "${again[@]}")" -v so="$(summary "${alone[@]}")" \
        -v runs="${#first[@]}/${#again[@]}/${#alone[@]}" -v reps="$REPS" 'BEGIN {
        ef = f - o - rf * rtt
        ea = a - o - ra * rtt
        printf "   %-5s %-7s %-15s %-15s %-15s %-15s %-7s %-13s %s%s\n", link, sprintf("%.0f ms", rtt * 1000), sf, sa, so,
            sprintf("%.2f/%.2f", f - o, a - o), rf "/" ra, sprintf("%.2f/%.2f", ef, ea),
            (ef <= 0.5 && ea <= 0.5 ? "met" : "missed"), (runs == reps "/" reps "/" reps ? "" : "  (runs that finished: " runs ")")
    }'
    exit 0
fi

# The daemon of the install above, a first start, listens: its peak is the first start's.
sleep 1
daemon=$(e2e_daemon_pids)
tunnel=$(e2e_ferryd_pid)
tunnel_addr=$(e2e_tunnel_addr)

# ---- 3. memory and sizes (while listening, before any request) -----------------------------------
status_kib() { awk -v key="$2:" '$1 == key { print $2 }' "/proc/$1/status"; }
rss_daemon=$(status_kib "$daemon" VmRSS)
rss_tunnel=$(status_kib "$tunnel" VmRSS)
hwm_daemon=$(status_kib "$daemon" VmHWM)
hwm_tunnel=$(status_kib "$tunnel" VmHWM)
rollup() { # pid: the resident pages by kind
    awk '$1 ~ /^(Rss|Pss|Shared_Clean|Shared_Dirty|Private_Clean|Private_Dirty|Anonymous):$/ {
        printf "%s%s %s", sep, substr($1, 1, length($1) - 1), $2; sep = ", " }' "/proc/$1/smaps_rollup"
}
# The resident KiB per mapped file ("[anon]" for anonymous memory), largest first.
per_mapping() { # pid
    awk '$1 ~ /^[0-9a-f]+-[0-9a-f]+$/ { name = NF >= 6 ? $6 : "[anon]"; sub(/.*\//, "", name); next }
        $1 == "Rss:" { rss[name] += $2 }
        END { for (n in rss) if (rss[n] > 0) printf "%d %s\n", rss[n], n }' "/proc/$1/smaps" |
        sort -rn | head -n 8 | awk '{ printf "%s%s %s", sep, $2, $1; sep = ", " }'
}
rollup_daemon=$(rollup "$daemon")
rollup_tunnel=$(rollup "$tunnel")
mappings_daemon=$(per_mapping "$daemon")
mappings_tunnel=$(per_mapping "$tunnel")

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

echo "-- memory (KiB): quillmeshd vs ferryd (the OpenVPN tunnel process), same run"
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f (goal: at most 0.5): %s", a / b, (a <= b / 2 ? "met" : "missed") }'; }
printf '  while listening (VmRSS): quillmeshd %s, ferryd %s, ratio %s\n' "$rss_daemon" "$rss_tunnel" "$(ratio "$rss_daemon" "$rss_tunnel")"
printf '  peak (VmHWM; the daemon over its first start): quillmeshd %s, ferryd %s, ratio %s\n' "$hwm_daemon" "$hwm_tunnel" \
    "$(ratio "$hwm_daemon" "$hwm_tunnel")"
printf '  smaps_rollup quillmeshd: %s\n' "$rollup_daemon"
printf '  smaps_rollup ferryd:     %s\n' "$rollup_tunnel"
printf '  resident per mapping, quillmeshd: %s\n' "$mappings_daemon"
printf '  resident per mapping, ferryd:     %s\n' "$mappings_tunnel"
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
hwm_before=$(status_kib "$daemon" VmHWM)
read -r s_time s_len s_answer < <("$QM_PEER" $E2E_PY "$CLIENT" once "$tunnel_addr" $CONTROL_PORT $CS_TUNNEL_ADDR "$E2E_WORK/store.json")
sleep 1
hwm_after=$(status_kib "$daemon" VmHWM)
echo "-- 10 MiB file store (type 19, kind 2; message $size bytes)"
printf '  time to the response: %s s (goal: within 2 s): %s; answer %s\n' "$s_time" \
    "$(awk -v t="$s_time" 'BEGIN { print (t <= 2 ? "met" : "missed") }')" "$s_answer"
printf '  peak resident memory of quillmeshd (VmHWM): %s KiB before, %s KiB after = %.2fx the file, %.2fx the message (goal: below 5x): %s\n' \
    "$hwm_before" "$hwm_after" "$(awk -v h="$hwm_after" 'BEGIN { print h * 1024 / 10485760 }')" \
    "$(awk -v h="$hwm_after" -v m="$size" 'BEGIN { print h * 1024 / m }')" \
    "$(awk -v h="$hwm_after" -v m="$size" 'BEGIN { print (h * 1024 < 5 * m ? "met" : "missed") }')"
exit 0
