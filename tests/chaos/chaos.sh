#!/usr/bin/env bash
# Fault campaign. A provisioned router (the module package installed by grafter and started by
# its init script, the test DS and CS, the real OpenVPN server, the module server) meets COUNT
# faults drawn at random from the catalogue below. Each fault is injected, held for a random
# time and cleared; then the router must heal by itself: quillmeshd in "Listening" and
# answering an inventory request from the CS through the tunnel, within the fault kind's bound.
# At the end of every hold and every heal no settings, certificate or credential file may be
# half written and, healed, nothing may be left behind; at every look (twice a second) no second
# tunnel process, supervisor or daemon may run; over the run the daemon's descriptors and
# resident memory must not grow. Times to heal count from the clear.
#   chaos.sh BUILD_DIR [COUNT] [SEED]     (inside the router sandbox; ./qm chaos)
# CHAOS_HOLD_MIN and CHAOS_HOLD_MAX bound the hold time (1 and 20 s), CHAOS_KINDS names the only
# kinds to draw.
# The plan of faults and hold times follows from SEED alone (printed). The report goes to the
# terminal and to BUILD_DIR/artefacts/chaos_faults.csv, chaos_report.csv and chaos_heal.svg.
set -u
E2E_BUILD=$1
COUNT=${2:-20}
SEED=${3:-$((($(date +%s%N) / 1000) % 1000000))}
. "$(dirname "$0")/../e2e/lib.sh"
CHAOS_DIR=$(cd "$(dirname "$0")" && pwd)
ART=$E2E_BUILD/artefacts
HOLD_MIN=${CHAOS_HOLD_MIN:-1}
HOLD_MAX=${CHAOS_HOLD_MAX:-20}

# Timing of the router under test, and the daemon's own fixed waits; the bounds are made of them.
RT=1     # MOD_QUILLMESH_RECOVERY_TIMEOUT
AP=2     # approval pause the CS names while the router is "not validated"
SP=5     # the daemon's registration and credentials pause
DSP=15   # the daemon's pause between DS connection attempts
HW=60    # the daemon's longest TLS handshake: its time limit
DW=60    # a download that stalls this long is given up
UW=10    # the daemon's wait for an approval answer
PW=10    # the daemon's wait for the CS's ping answer
TW=60    # the daemon's wait for the tunnel in "Restarting OVPN"
PT=4     # QUILLMESH_PING_TOUT: silence after which the tunnel restarts itself
BO=60    # the supervisor's longest back-off
S=20     # from a start of the daemon to "Listening", all peers well

# --- the catalogue -----------------------------------------------------------------------------
# name | inject | clear | bound: seconds from the clear to a healed router (an expression of the
# figures above). The inject and clear texts use the verbs defined below. A fault that the
# router does not meet while it listens is brought to it ("restart": init restart; "untunnel":
# the tunnel process killed, so that recovery asks for approval again). A fault that is one
# event (clear ":") is cleared at once: its time to heal counts from the event. The silent DS
# keeps the connections it took for ten minutes, as a path that drops packets would.
CATALOGUE="
ds_refuse        | block tcp $DS_PORT; restart                       | unblock                    | DSP + S
ds_silent        | answers '{\"ds\": {\"kind\": \"mute\", \"seconds\": 600}}'; restart | answers '{}' | HW + DSP + S
ds_garbage       | answers '{\"ds\": \"malformed\"}'; restart        | answers '{}'               | DSP + S
cs_tls_down      | block tcp $CS_PORT; forget_credentials; restart   | unblock                    | SP + RT + DSP + S
udp_drop_all     | drop_udp_answers 1; untunnel                      | unblock                    | UW + SP + RT + DSP + S
udp_drop_share   | drop_udp_answers 0.5; untunnel                    | unblock                    | UW + SP + RT + DSP + S
not_validated    | answers '{\"udp\": {\"kind\": \"not_validated\", \"pause\": $AP}}'; untunnel | answers '{}' | AP + UW + RT + DSP + S
ovpn_down        | ovpn_server stop                                  | ovpn_server start          | PW + UW + TW + S
ovpn_restart     | ovpn_server stop; ovpn_server start               | :                          | PT + PW + UW + TW + S
tunnel_killed    | untunnel                                          | :                          | RT + PW + UW + S
auth_failed      | ovpn_server start auth                            | ovpn_server start          | PW + UW + TW + S
tun_deleted      | ip link delete tun0                               | :                          | PT + PW + UW + TW + S
wan_down         | wan down                                          | wan up                     | PW + RT + DSP + TW + S
wan_readdressed  | wan readdress                                     | :                          | PT + PW + UW + TW + S
kill_KILL        | kill_daemon KILL                                  | kill_daemon KILL           | BO + S
kill_SEGV        | kill_daemon SEGV                                  | kill_daemon SEGV           | BO + S
kill_TERM        | kill_daemon TERM                                  | kill_daemon TERM           | BO + S
reboot_KILL      | kill_daemon KILL                                  | reboot                     | S
reboot_SEGV      | kill_daemon SEGV                                  | reboot                     | S
reboot_TERM      | kill_daemon TERM                                  | reboot                     | S
data_full        | forget_credentials; fill /var/data; restart       | unfill /var/data           | SP + DSP + S
opt_full         | fill /opt; restart                                | unfill /opt                | DSP + S
update_opt_full  | fill /opt; ask_update                             | unfill /opt                | RT + S
update_broken    | serve_package broken; ask_update                  | serve_package good         | RT + S
update_stalled   | touch $E2E_WORK/www.stall; ask_update             | rm $E2E_WORK/www.stall     | DW + RT + S
clock_behind     | clock_reboot '@2000-01-01 00:00:00'               | clock_set '+0'             | RT + AP + TW + S
"

# --- verbs of the catalogue --------------------------------------------------------------------
WAN_ADDR=10.99.0.2
INVENTORY='{"H":{"V":113},"B":[{"T":15,"DT":{}}]}'
INVENTORY_ANSWER='{"B":[{"T":16,"ER":0,"I":0,"DT":{"16-1":[{"16-4":"eth0","16-5":"192.168.1.1","16-2":"192.168.1.0","16-3":"255.255.255.0","16-6":"1","16-7":"192.168.1.2","16-8":"192.168.1.254"}]}}],"H":{"V":113}}'
INIT=/opt/quillmesh/etc/init
FAKETIME_LIB=/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1
CLOCK_FILE=$E2E_WORK/clock

cs_side() { "$QM_PEER" "$@"; }
block() { cs_side iptables -I INPUT -p "$1" --dport "$2" -j REJECT --reject-with tcp-reset; }
drop_udp_answers() { # share (1 = all)
    if [ "$1" = 1 ]; then
        cs_side iptables -I OUTPUT -p udp --sport $UDP_PORT -j DROP
    else
        cs_side iptables -I OUTPUT -p udp --sport $UDP_PORT -m statistic --mode random --probability "$1" -j DROP
    fi
}
unblock() { cs_side iptables -F; }
answers() { printf '%s\n' "$1" >"$E2E_SCRIPT.new" && mv -f "$E2E_SCRIPT.new" "$E2E_SCRIPT"; }
restart() { "$INIT" restart >/dev/null 2>&1; }
forget_credentials() { rm -f $OVPN_DIR/ovpn_ca.crt $OVPN_DIR/ovpn_cert.crt $OVPN_DIR/ovpn_key.pem; }
untunnel() { local p; p=$(tunnel_pids); [ -n "$p" ] && kill -KILL $p; true; }
ovpn_server() { # start [mode] | stop
    if [ "$1" = start ]; then
        OVPN_CLIENT_ADDR=10.8.0.2 sh "$E2E_PEERS/ovpn_server.sh" start "$E2E_CA" "${2:-ok}" >/dev/null
    else
        e2e_stop_ovpn_server
    fi
}
wan() { # down | up | readdress
    case "$1" in
    down) ip link set wan0 down ;;
    up) ip link set wan0 up && wait_until 10 wan_carrier && ip route replace default via $CS_ADDR ;;
    readdress)
        [ "$WAN_ADDR" = 10.99.0.2 ] && WAN_ADDR=10.99.0.3 || WAN_ADDR=10.99.0.2
        ip addr flush dev wan0 && ip addr add $WAN_ADDR/24 dev wan0 && ip route replace default via $CS_ADDR
        ;;
    esac
}
wan_carrier() { [ "$(cat /sys/class/net/wan0/operstate)" = up ]; }
# The file system full, but for what the daemon needs to write.
fill() { dd if=/dev/zero of="$1/.chaos_fill" bs=64k >/dev/null 2>&1; true; }
unfill() { rm -f "$1/.chaos_fill"; }
kill_daemon() { local p; p=$(daemon_pid); [ -n "$p" ] && kill -"$1" "$p"; true; }
serve_package() { # good | broken
    local target=$E2E_WORK/www/router_modules/quillmesh.um.v4.tgz
    if [ "$1" = good ]; then
        cp "$E2E_PACKAGE" "$target.new"
    else
        head -c 40000 "$E2E_PACKAGE" >"$target.new"
    fi
    mv -f "$target.new" "$target"
}
# The CS speaks another protocol version: the daemon fetches the module for it.
ask_update() { control '{"H":{"V":112},"B":[{"T":15,"DT":{}}]}' >/dev/null; true; }

# A reboot: every process the module started ends at once; what lives in memory (/tmp,
# /var/run, the tunnel device, the packet filter) is gone; the router's start-up runs the
# module's init script. /opt, /var/data and the log survive.
reboot() {
    local keep=" 1 $$ $SYSLOGD_PID $E2E_PEERS_PID $WWW_PID $(cat "$E2E_CA/server.pid" 2>/dev/null) " d pid
    for d in /proc/[0-9]*; do
        pid=${d#/proc/}
        [[ "$keep" == *" $pid "* ]] || kill -KILL "$pid" 2>/dev/null
    done
    wait_until 5 no_module_process
    rm -rf /tmp/vpn_module* /var/run/quillmesh
    ip link delete tun0 2>/dev/null
    local table
    for table in filter nat raw mangle; do
        iptables -t $table -F && iptables -t $table -X
    done
    env "$@" "$INIT" start >/dev/null 2>&1
}
# A router whose clock is far behind at start (no battery, no time sync yet); the module's
# processes see the clock of CLOCK_FILE until the next reboot.
clock_reboot() { # faketime clock text
    clock_set "$1"
    reboot LD_PRELOAD=$FAKETIME_LIB FAKETIME_TIMESTAMP_FILE=$CLOCK_FILE FAKETIME_CACHE_DURATION=1 \
        FAKETIME_DONT_FAKE_MONOTONIC=1
}
clock_set() { printf '%s\n' "$1" >"$CLOCK_FILE"; }

# --- looking at the router ---------------------------------------------------------------------
# The module's processes by kind. A process forked by another of its kind (the daemon's child
# before it runs a command, openvpn before it detaches, the supervisor's subshells) is not
# counted again.
declare -A KIND PARENT
scan() {
    KIND=() PARENT=()
    local d pid comm state ppid kind args
    for d in /proc/[0-9]*; do
        pid=${d#/proc/}
        read -r comm 2>/dev/null <"$d/comm" || continue
        case "$comm" in quillmeshd | openvpn | init) ;; *) continue ;; esac
        read -r _ _ state ppid _ 2>/dev/null <"$d/stat" || continue
        [ "$state" = Z ] && continue
        kind=
        if [ "$comm" = quillmeshd ]; then
            kind=daemon
        else
            mapfile -d '' args 2>/dev/null <"$d/cmdline"
            case " ${args[*]} " in
            *" --daemon ferryd --client "*) kind=tunnel ;;
            *" /opt/quillmesh/etc/init supervise "*) kind=supervisor ;;
            esac
        fi
        [ -n "$kind" ] && KIND[$pid]=$kind PARENT[$pid]=$ppid
    done
}
pids_of() { # kind
    local pid
    scan
    for pid in "${!KIND[@]}"; do
        [ "${KIND[$pid]}" = "$1" ] && [ "${KIND[${PARENT[$pid]}]:-}" != "$1" ] && echo "$pid"
    done
}
tunnel_pids() { pids_of tunnel; }
daemon_pid() { pids_of daemon | head -n 1; }
no_module_process() { [ -z "$(pids_of daemon)$(pids_of supervisor)$(pids_of tunnel)" ]; }

wait_until() { # seconds command...
    local limit=$(($1 * 10)) n=0
    shift
    until "$@"; do
        n=$((n + 1))
        [ $n -gt $limit ] && return 1
        sleep 0.1
    done
}

control() { # message: the answer, as the CS gets it through the tunnel
    "$QM_PEER" $E2E_PY "$E2E_PEERS/control_client.py" --source $CS_TUNNEL_ADDR --timeout 3 10.8.0.2 \
        $CONTROL_PORT "$1" 2>/dev/null
}

# The router's log is rotated as a router's syslogd does (one older generation,
# messages.0), so that the daemon's searches of it stay cheap over a long campaign.
rotate_log() {
    [ "$(stat -c %s "$E2E_LOG")" -gt 2000000 ] && mv -f "$E2E_LOG" "$E2E_LOG.0"
    true
}
recent_log() { cat "$E2E_LOG.0" "$E2E_LOG" 2>/dev/null | tail -n "$1"; }

# The last state line of the daemon.
last_state() {
    recent_log 400 |
        sed -n 's/.*quillmeshd\[[0-9]*\]: RM STATE: \([0-9]*\) (\([^)]*\)).*/\1 (\2)/p' | tail -n 1
}

healed() {
    [ "$(last_state)" = "8 (Listening)" ] && [ "$(control "$INVENTORY")" = "$INVENTORY_ANSWER" ]
}

# Files that must never be found half written: the settings keep their keys, certificates and
# keys parse, and what came from the DS and the CS is what they sent.
REF=$E2E_WORK/ref
files_whole() {
    local f bad=
    for f in settings settings.ovpn; do
        [ "$(cut -d= -f1 "/opt/quillmesh/etc/$f" 2>/dev/null)" = "$(cut -d= -f1 "$REF/$f")" ] || bad+=" $f"
    done
    for f in ds_cert.crt cs_cert.crt dev_cert.crt; do
        openssl x509 -noout -in "$SSL_DIR/$f" 2>/dev/null || bad+=" $f"
    done
    openssl pkey -noout -in "$SSL_DIR/dev_cert.pem" 2>/dev/null || bad+=" dev_cert.pem"
    cmp -s "$SSL_DIR/cs_cert.crt" "$E2E_CERTS/cs.crt" || bad+=" cs_cert.crt"
    for f in ovpn_ca.crt ovpn_cert.crt ovpn_key.pem; do
        [ ! -e "$OVPN_DIR/$f" ] || cmp -s "$OVPN_DIR/$f" "$REF/$f" || bad+=" $f"
    done
    [ -z "$bad" ] || [[ "$VIOLATIONS" == *"half written:$bad; "* ]] || VIOLATIONS+="half written:$bad; "
}

# Nothing left behind once healed: no temporary file of an atomic save, no staging or work
# directory of an update, no update still on trial (reaching "Listening" commits it).
nothing_left() {
    local left
    left=$(find /opt/quillmesh/etc "$SSL_DIR" "$OVPN_DIR" -maxdepth 1 -name '.*.??????' 2>/dev/null
        ls -d /tmp/vpn_module* /opt/.quillmesh.* 2>/dev/null)
    [ -z "$left" ] || VIOLATIONS+="left behind: $(echo $left); "
}

# One look during a fault: at most one tunnel process, supervisor and daemon.
VIOLATIONS=
look() {
    local kind pid found
    scan
    for kind in tunnel supervisor daemon; do
        found=()
        for pid in "${!KIND[@]}"; do
            [ "${KIND[$pid]}" = $kind ] && [ "${KIND[${PARENT[$pid]}]:-}" != $kind ] && found+=("$pid")
        done
        [ ${#found[@]} -le 1 ] || [[ "$VIOLATIONS" == *"${kind}s ${found[*]} at once"* ]] ||
            VIOLATIONS+="${kind}s ${found[*]} at once; "
    done
}

# Waits until healed or LIMIT seconds have passed, looking at the router meanwhile. Sets HEAL
# to the seconds taken (from the call), or returns 1.
wait_healed() { # limit
    local start now
    start=$(e2e_now)
    while :; do
        look
        healed && break
        now=$(e2e_now)
        [ "$(e2e_elapsed "$start" "$now" | cut -d. -f1)" -ge "$1" ] && return 1
        sleep 0.5
    done
    HEAL=$(e2e_elapsed "$start" "$(e2e_now)")
}

# Holds a fault for SECONDS, looking at the router meanwhile.
hold() { # seconds
    local end=$((SECONDS + $1))
    while [ $SECONDS -lt $end ]; do
        look
        sleep 0.5
    done
}

# Open descriptors of a process, but for those of faketime (clock_behind) itself.
fds_of() {
    local f n=0
    for f in /proc/"$1"/fd/*; do
        [[ "$(readlink "$f")" == /dev/shm/faketime* ]] || n=$((n + 1))
    done
    echo $n
}
rss_of() { awk '/^VmRSS:/ { print $2 }' "/proc/$1/status" 2>/dev/null; }

# --- the campaign ------------------------------------------------------------------------------
cleanup() {
    [ -x "$INIT" ] && "$INIT" stop >/dev/null 2>&1
    e2e_stop_ovpn_server >/dev/null 2>&1
    unfill /opt
    unfill /var/data
}
trap cleanup EXIT

names=() injects=() clears=() bounds=()
while IFS='|' read -r name inject clear bound; do
    name=$(echo $name)
    [ -n "$name" ] || continue
    names+=("$name") injects+=("$inject") clears+=("$clear") bounds+=("$((bound))")
done <<<"$CATALOGUE"

# The file systems that the disk-full faults fill are small ones, laid over /opt and /var/data
# before the module is installed.
mount -t tmpfs -o size=8m,mode=0755 qm-chaos-opt /opt || die "cannot mount a small /opt"
mount -t tmpfs -o size=2m,mode=0755 qm-chaos-data /var/data || die "cannot mount a small /var/data"

e2e_prepare MOD_QUILLMESH_RECOVERY_TIMEOUT=$RT QUILLMESH_PING_INTVL=1 QUILLMESH_PING_TOUT=$PT
mkdir -p "$E2E_WORK/www/router_modules" "$REF" "$ART"
serve_package good
e2e_start_module_server "$E2E_WORK/www" 86400
WWW_PID=$(cat "$E2E_WORK/www.ready")
e2e_start_peers
e2e_start_ovpn_server
SYSLOGD_PID=$(pgrep -f '^busybox syslogd' | head -n 1)
e2e_install_module
wait_healed 120 || die "the router did not reach \"Listening\" after its first start"
cp /opt/quillmesh/etc/settings /opt/quillmesh/etc/settings.ovpn "$REF/"
cp "$E2E_CA/ca.crt" "$REF/ovpn_ca.crt"
cp "$E2E_CA/client.crt" "$REF/ovpn_cert.crt"
cp "$E2E_CA/client.key" "$REF/ovpn_key.pem"

# Faults whose means this machine lacks are left out, and said so; CHAOS_KINDS="a b" keeps
# only the kinds named (to repeat one finding).
skip=" "
if [ -n "${CHAOS_KINDS:-}" ]; then
    for name in "${names[@]}"; do
        [[ " $CHAOS_KINDS " == *" $name "* ]] || skip+="$name "
    done
fi
if [ ! -r "$FAKETIME_LIB" ]; then
    skip+="clock_behind "
    note "clock_behind left out: no $FAKETIME_LIB (Debian package faketime)"
elif ! readelf -l /opt/quillmesh/bin/quillmeshd 2>/dev/null | grep -q 'interpreter'; then
    skip+="clock_behind "
    note "clock_behind left out: the installed quillmeshd is linked statically; faketime cannot reach it"
fi

# The plan: rounds through the catalogue, each round in a random order, each fault held a
# random time. Drawn before the first fault, so a seed always gives the same plan.
RANDOM=$SEED
plan=() holds=()
while [ ${#plan[@]} -lt "$COUNT" ]; do
    order=()
    for i in "${!names[@]}"; do
        [[ "$skip" == *" ${names[$i]} "* ]] || order+=("$i")
    done
    for ((i = ${#order[@]} - 1; i > 0; i--)); do
        j=$((RANDOM % (i + 1)))
        t=${order[$i]} && order[$i]=${order[$j]} && order[$j]=$t
    done
    for i in "${order[@]}"; do
        [ ${#plan[@]} -lt "$COUNT" ] || break
        plan+=("$i")
        t=$((HOLD_MIN + RANDOM % (HOLD_MAX - HOLD_MIN + 1)))
        [ "$(echo ${clears[$i]})" = : ] && t=0
        holds+=("$t")
    done
done

echo "chaos: $COUNT faults, seed $SEED (repeat: ./qm chaos $COUNT --seed $SEED)"
CSV=$ART/chaos_faults.csv
echo "fault,kind,hold_s,heal_s,bound_s,healed,violations" >"$CSV"
base_fds= base_rss= stranded=0
for n in "${!plan[@]}"; do
    i=${plan[$n]}
    VIOLATIONS=
    # The router's log says where each fault begins and ends.
    logger -t chaos "fault $((n + 1)) ${names[$i]}: inject"
    eval "${injects[$i]}"
    hold "${holds[$n]}"
    files_whole
    logger -t chaos "fault $((n + 1)) ${names[$i]}: clear"
    eval "${clears[$i]}"
    healed_ok=1
    if ! wait_healed "${bounds[$i]}"; then
        healed_ok=0
        # Later than its bound is a failure too, but a router that heals late is not stranded.
        if wait_healed 180; then
            HEAL=$(awk -v a="$HEAL" -v b="${bounds[$i]}" 'BEGIN { printf "%.3f", a + b }')
        else
            HEAL=
            stranded=$((stranded + 1))
        fi
    fi
    files_whole
    nothing_left
    rotate_log
    pid=$(daemon_pid)
    fds=$(fds_of "$pid") rss=$(rss_of "$pid")
    [ -n "$base_fds" ] || { base_fds=$fds base_rss=$rss; }
    [ "${fds:-0}" -le "$base_fds" ] || VIOLATIONS+="descriptors $base_fds -> $fds; "
    [ "${rss:-0}" -le $((base_rss + 2048)) ] || VIOLATIONS+="resident memory $base_rss -> $rss kB; "
    if [ $healed_ok = 1 ] && [ -z "$VIOLATIONS" ]; then
        pass "$(printf '%4d %-16s held %2d s, healed in %7.3f s (bound %d s)' $((n + 1)) "${names[$i]}" "${holds[$n]}" "$HEAL" "${bounds[$i]}")"
    else
        outcome="not healed"
        [ -n "$HEAL" ] && outcome="healed in $HEAL s"
        fail "$(printf '%4d %-16s held %2d s, %s (bound %d s) %s' $((n + 1)) "${names[$i]}" "${holds[$n]}" \
            "$outcome" "${bounds[$i]}" "$VIOLATIONS")"
        echo "---- the log around it ----"
        recent_log 3000 | grep -v 'RM STATE: 8 (Listening)' | tail -n 60
    fi
    echo "$((n + 1)),${names[$i]},${holds[$n]},$HEAL,${bounds[$i]},$healed_ok,\"$VIOLATIONS\"" >>"$CSV"
    if [ -z "$HEAL" ]; then
        note "the router is stranded; a reboot to go on"
        reboot
        wait_healed 180 || { note "not even a reboot brought it back: the campaign ends here"; break; }
    fi
done

echo
$E2E_PY "$CHAOS_DIR/report.py" "$CSV" "$ART/chaos_report.csv" "$ART/chaos_heal.svg" "$SEED"
note "descriptors of the daemon: $base_fds at the first heal; resident memory $base_rss kB at first"
note "artefacts: $ART/chaos_faults.csv, chaos_report.csv, chaos_heal.svg"
if [ "$E2E_FAILURES" -ne 0 ]; then
    echo "$E2E_FAILURES fault(s) failed, $stranded of them stranded the router (seed $SEED)"
    exit 1
fi
echo "every fault healed within its bound (seed $SEED)"
