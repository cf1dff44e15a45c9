# Shared steps of the end-to-end scenarios and the demo. Sourced by a script that already runs
# inside the router sandbox (tests/sandbox/qm-sandbox), with E2E_BUILD set to the build directory.
#
# The set-up is the one a real first start meets: the module package built by module/package.sh
# is installed with grafter (which starts quillmeshd), the DS and CS test servers answer on the
# CS side, a real OpenVPN server waits there, and the HTTPS module server can be added.

E2E_REPO=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
E2E_PEERS=$E2E_REPO/tests/peers
E2E_WORK=${E2E_WORK:-/tmp/e2e}
E2E_CERTS=$E2E_WORK/certs
E2E_CA=$E2E_WORK/ca
E2E_RECORD=$E2E_WORK/peers.jsonl
E2E_SCRIPT=$E2E_WORK/peers.json
E2E_LOG=/var/log/messages
E2E_PY=/usr/bin/python3

CS_ADDR=10.99.0.1
CS_TUNNEL_ADDR=10.8.0.1
DS_PORT=4433
CS_PORT=4434
UDP_PORT=4435
CONTROL_PORT=4436
SSL_DIR=/var/data/quillmesh_certs/certificates/ssl
OVPN_DIR=/var/data/quillmesh_certs/certificates/ovpn

E2E_FAILURES=0

e2e_now() { date +%s.%N; }

# Seconds between two e2e_now stamps, with three decimals.
e2e_elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", b - a }'; }

note() { printf '  %s\n' "$*"; }

fail() {
    printf 'FAIL: %s\n' "$*"
    E2E_FAILURES=$((E2E_FAILURES + 1))
}

pass() { printf 'ok:   %s\n' "$*"; }

check() { # description command...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

check_eq() { # description expected actual
    if [ "$2" = "$3" ]; then
        pass "$1"
    else
        fail "$1"
        printf '    expected: %s\n    actual:   %s\n' "$2" "$3"
    fi
}

# Ends a scenario: the daemon's log for a failed run, and the exit status.
e2e_finish() {
    if [ "$E2E_FAILURES" -ne 0 ]; then
        echo "---- /var/log/messages ----"
        tail -n 200 "$E2E_LOG"
        echo "---- peer records ----"
        tail -n 40 "$E2E_RECORD" 2>/dev/null
        echo "$E2E_FAILURES check(s) failed"
        exit 1
    fi
    echo "all checks passed"
    exit 0
}

die() {
    echo "e2e: $*" >&2
    [ -r "$E2E_LOG" ] && tail -n 80 "$E2E_LOG" >&2
    exit 1
}

# Certificates of the servers and the device's tunnel credentials, the module package with
# settings for this network, and the syslog buffer. Everything lives in the sandbox's /tmp.
e2e_prepare() { # [KEY=VALUE ...] extra package settings
    mkdir -p "$E2E_WORK"
    [ -x "$E2E_BUILD/daemon/quillmeshd" ] || die "quillmeshd is not built in $E2E_BUILD"
    [ -x "$E2E_BUILD/grafter/grafter" ] || die "grafter is not built in $E2E_BUILD"
    $E2E_PY "$E2E_PEERS/ds_cs_server.py" gen-certs "$E2E_CERTS" || die "gen-certs failed"
    sh "$E2E_PEERS/make_ca.sh" "$E2E_CA" >/dev/null || die "make_ca.sh failed"
    E2E_PACKAGE=$E2E_WORK/quillmesh.um.v4.tgz
    QM_PACKAGE_OUT=$E2E_PACKAGE "$E2E_REPO/module/package.sh" "$E2E_BUILD" "$E2E_CERTS/ds.crt" \
        MOD_QUILLMESH_LOCAL_DS_IP1=$CS_ADDR MOD_QUILLMESH_UCID=E2E0001 \
        MOD_QUILLMESH_DS_PORT=$DS_PORT MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_SSL=$CS_PORT \
        MOD_QUILLMESH_CS_SIDE_CHANNEL_PORT_UDP=$UDP_PORT MOD_QUILLMESH_CONTROL_CHANNEL_PORT=$CONTROL_PORT \
        MOD_QUILLMESH_SYSLOG_LEVEL=7 MOD_QUILLMESH_RECOVERY_TIMEOUT=3 \
        QUILLMESH_PING_INTVL=2 QUILLMESH_PING_TOUT=6 "$@" >/dev/null 2>"$E2E_WORK/package.err" ||
        { cat "$E2E_WORK/package.err" >&2; die "module/package.sh failed"; }
    # The router's eth0 for the interface inventory and LAN addressing.
    # (a veth pair: this kernel has no dummy interfaces).
    ip link add eth0 type veth peer name eth0-peer || die "cannot create eth0"
    ip addr add 192.168.1.1/24 dev eth0
    ip link set eth0-peer up
    ip link set eth0 up
}

# The DS, the CS side channel and the approval server, answering as the script says (default:
# every answer good).
e2e_start_peers() { # [script JSON]
    printf '%s\n' "${1:-{\}}" >"$E2E_SCRIPT"
    : >"$E2E_RECORD"
    rm -f "$E2E_WORK/peers.ready"
    "$QM_PEER" $E2E_PY "$E2E_PEERS/ds_cs_server.py" --addr $CS_ADDR \
        --ds-port $DS_PORT --ds-cert "$E2E_CERTS/ds.crt" --ds-key "$E2E_CERTS/ds.key" \
        --cs-port $CS_PORT --cs-cert "$E2E_CERTS/cs.crt" --cs-key "$E2E_CERTS/cs.key" \
        --udp-port $UDP_PORT \
        --ovpn-ca "$E2E_CA/ca.crt" --ovpn-cert "$E2E_CA/client.crt" --ovpn-key "$E2E_CA/client.key" \
        --script "$E2E_SCRIPT" --record "$E2E_RECORD" --ready "$E2E_WORK/peers.ready" \
        >"$E2E_WORK/peers.out" 2>&1 &
    E2E_PEERS_PID=$!
    e2e_wait_file "$E2E_WORK/peers.ready" 20 || die "the DS and CS test servers did not start: $(cat "$E2E_WORK/peers.out")"
}

# The CS's OpenVPN server; the device always gets the tunnel address 10.8.0.2.
e2e_start_ovpn_server() {
    OVPN_CLIENT_ADDR=10.8.0.2 sh "$E2E_PEERS/ovpn_server.sh" start "$E2E_CA" >/dev/null || die "OpenVPN server did not start"
}
e2e_stop_ovpn_server() { sh "$E2E_PEERS/ovpn_server.sh" stop "$E2E_CA"; }

# The HTTPS module server of the CS, serving DIR/router_modules/ for LIFETIME seconds (900); it
# hangs on every request while $E2E_WORK/www.stall exists.
e2e_start_module_server() { # DIR [LIFETIME]
    rm -f "$E2E_WORK/www.ready"
    "$QM_PEER" $E2E_PY "$E2E_PEERS/module_server.py" --root "$1" --bind $CS_ADDR --port 443 \
        --log "$E2E_WORK/www.log" --ready "$E2E_WORK/www.ready" --lifetime "${2:-900}" \
        --stall-flag "$E2E_WORK/www.stall" \
        >"$E2E_WORK/www.out" 2>&1 &
    e2e_wait_file "$E2E_WORK/www.ready" 20 || die "module server did not start: $(cat "$E2E_WORK/www.out")"
}

# Installs the module package as the router does: grafter puts it under /opt/quillmesh/, runs
# its install script and starts quillmeshd.
e2e_install_module() {
    E2E_START=$(e2e_now)
    "$E2E_BUILD/grafter/grafter" "$E2E_PACKAGE" >"$E2E_WORK/grafter.out" 2>&1 ||
        die "grafter failed ($?): $(cat "$E2E_WORK/grafter.out")"
}

# The start most scenarios share: every peer up, the module installed as a first start finds it,
# and the daemon listening on the tunnel.
e2e_first_start() { # [KEY=VALUE ...] extra package settings
    e2e_prepare "$@"
    e2e_start_peers
    e2e_start_ovpn_server
    e2e_install_module
    e2e_wait_log "Ready for incoming messages." 90 || die "the daemon did not reach \"Ready for incoming messages.\""
}

e2e_daemon_pids() {
    local dir
    for dir in /proc/[0-9]*; do
        [ "$(cat "$dir/comm" 2>/dev/null)" = quillmeshd ] || continue
        grep -q '^State:[[:space:]]*Z' "$dir/status" 2>/dev/null && continue
        echo "${dir#/proc/}"
    done
}

e2e_wait_file() { # path seconds
    local n=0 limit=$(($2 * 10))
    while [ ! -e "$1" ]; do
        n=$((n + 1))
        [ $n -gt $limit ] && return 1
        sleep 0.1
    done
}

# Waits until the daemon's log holds COUNT lines containing TEXT (fixed string).
e2e_wait_log() { # text seconds [count]
    local n=0 limit=$(($2 * 10)) count=${3:-1}
    while [ "$(grep -cF -- "$1" "$E2E_LOG" 2>/dev/null)" -lt "$count" ]; do
        n=$((n + 1))
        [ $n -gt $limit ] && return 1
        sleep 0.1
    done
}

# The daemon's state lines, "N (Name)" one a line, from line FROM of the log on. "Listening"
# logs its line again at every select time-out; those repeats are left out.
e2e_states() { # [from line]
    tail -n +"${1:-1}" "$E2E_LOG" | sed -n 's/.*quillmeshd\[[0-9]*\]: RM STATE: \([0-9]*\) (\([^)]*\)).*/\1 (\2)/p' |
        awk '!($0 == "8 (Listening)" && last == $0) { print } { last = $0 }'
}

e2e_log_lines() { wc -l <"$E2E_LOG"; }

# True once nothing of a module update's trial is left (waits up to 5 s for a commit or a
# rollback that has logged its line to finish).
e2e_trial_gone() {
    local n=0
    while ls -d /opt/.quillmesh* /opt/quillmesh/etc/init.on_trial >/dev/null 2>&1; do
        n=$((n + 1))
        [ $n -gt 50 ] && return 1
        sleep 0.1
    done
}

# How often the daemon has reached "Listening".
e2e_ready_count() { grep -cF "Ready for incoming messages." "$E2E_LOG"; }

e2e_tunnel_addr() {
    ip -4 -o addr show dev tun0 2>/dev/null | awk '{ split($4, a, "/"); print a[1]; exit }'
}

# One control message from the CS's tunnel address (or FROM) to the managing socket; prints the
# answer or "no response".
e2e_control() { # message [source address|-]
    local src=${2:-$CS_TUNNEL_ADDR} args=()
    [ "$src" != - ] && args=(--source "$src")
    "$QM_PEER" $E2E_PY "$E2E_PEERS/control_client.py" "${args[@]}" --timeout "${E2E_CONTROL_TIMEOUT:-90}" \
        "$(e2e_tunnel_addr)" $CONTROL_PORT "$1"
}

# Sends the message once a second (3 s for each answer) until the router answers, at most SECONDS
# long; prints the answer, or "no response" and fails.
e2e_control_until_answer() { # message seconds
    local end=$(($(date +%s) + $2)) answer
    while :; do
        answer=$(E2E_CONTROL_TIMEOUT=3 e2e_control "$1" 2>/dev/null)
        case "$answer" in "{"*) echo "$answer"; return 0 ;; esac
        [ "$(date +%s)" -ge "$end" ] && { echo "no response"; return 1; }
        sleep 1
    done
}

# A LAN setup request (11) for eth0 with the DHCP pool .100 to .200 of its network.
e2e_lan_request() { # address netmask network
    local pool=${3%.*}
    printf '{"H":{"V":113},"B":[{"T":11,"DT":[{"11-1":"%s","11-2":"%s","11-3":"eth0","11-4":"%s","11-5":"1","11-6":"%s.100","11-7":"%s.200"}]}]}' \
        "$3" "$2" "$1" "$pool" "$pool"
}
E2E_INVENTORY='{"H":{"V":113},"B":[{"T":15,"DT":{}}]}'
E2E_TRIAL_MARKER=/var/data/quillmesh_certs/trial/network.marker

# A first start with network changes on trial for SECONDS.
e2e_trial_start() { # seconds
    e2e_prepare MOD_QUILLMESH_CHANGE_TRIAL="$1"
    e2e_start_peers
    e2e_start_ovpn_server
    e2e_install_module
    e2e_wait_log "Ready for incoming messages." 90 || die "the daemon did not reach \"Ready for incoming messages.\""
}

# Sends the inventory request until the router answers (E2E_ANSWER), at most TRIAL + MARGIN
# seconds after the bad change at time SINCE; prints the time it took as a figure and checks it.
e2e_answers_again() { # what since trial margin
    E2E_ANSWER=$(e2e_control_until_answer "$E2E_INVENTORY" $(($3 + $4)))
    local elapsed
    elapsed=$(e2e_elapsed "$2" "$(e2e_now)")
    note "FIGURE $1 -> router answers the CS again: $elapsed s (trial $3 s)"
    check "answers again within the trial time and $4 s, not before the trial ran out" \
        awk -v e="$elapsed" -v t="$3" -v m="$4" 'BEGIN { exit !(e >= t && e <= t + m) }'
}

# A package like the installed one ($E2E_PACKAGE), changed by the named kind of update, in
# $E2E_WORK/update.tgz; LABEL (default: the kind) goes into www/e2e-version, to tell which module
# runs.
e2e_repack() { # kind [label]
    rm -rf "$E2E_WORK/repack" && mkdir -p "$E2E_WORK/repack" && tar -xzf "$E2E_PACKAGE" -C "$E2E_WORK/repack"
    local tree=$E2E_WORK/repack/quillmesh
    echo "${2:-$1}" >"$tree/www/e2e-version"
    case $1 in
    good) ;;
    exits_at_start) printf '#!/bin/sh\nexit 1\n' >"$tree/bin/quillmeshd" ;;
    crashes_after_5s) printf '#!/bin/sh\nsleep 5\nkill -SEGV $$\n' >"$tree/bin/quillmeshd" ;;
    wrong_ds_cert)
        openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=other \
            -keyout "$E2E_WORK/other.key" -out "$tree/etc/ds_cert.crt" 2>/dev/null ;;
    init_fails) printf '#!/bin/sh\nexit 1\n' >"$tree/etc/init" ;;
    init_fails_at_boot) # starts when installed, not once the router rebooted (memory is gone)
        sed -i '1a touch /var/run/e2e-installed' "$tree/etc/install"
        sed -i '1a [ "$1" != start ] || [ -e /var/run/e2e-installed ] || exit 1' "$tree/etc/init" ;;
    esac
    tar -czf "$E2E_WORK/update.tgz" -C "$E2E_WORK/repack" quillmesh
}

# Process numbers of the module's processes and of everything they started: grafter, the init
# scripts and the supervisor, quillmeshd and the ferryd tunnel (no forks: the list is taken
# while they run on).
e2e_module_pids() {
    local dir pid stat comm args changed
    local -A parent=() module=()
    local -a argv
    for dir in /proc/[0-9]*; do
        pid=${dir#/proc/}
        read -r stat 2>/dev/null <"$dir/stat" || continue
        read -r comm 2>/dev/null <"$dir/comm"
        mapfile -d '' argv 2>/dev/null <"$dir/cmdline"
        set -- ${stat##*) } # state, parent, ...
        [ "$1" = Z ] && continue
        parent[$pid]=$2
        args=" ${argv[*]} "
        case "$comm|$args" in
        quillmeshd\|* | *grafter* | *" /opt/"* | *" --daemon ferryd --client "*) module[$pid]=1 ;;
        esac
    done
    changed=1
    while [ -n "$changed" ]; do
        changed=
        for pid in "${!parent[@]}"; do
            [ -z "${module[$pid]:-}" ] && [ -n "${module[${parent[$pid]}]:-}" ] && module[$pid]=1 && changed=1
        done
    done
    echo "${!module[@]}"
}

# A power cut for the module: every process of it ends at once by SIGKILL, whatever it was in
# the middle of. They are all stopped first, so that none starts another while the rest die.
e2e_power_cut() {
    local pids all=
    while pids=$(e2e_module_pids) && [ "$pids" != "$all" ]; do
        kill -STOP $pids 2>/dev/null
        all=$pids
    done
    [ -n "$all" ] && kill -KILL $all 2>/dev/null
    while [ -n "$(e2e_module_pids)" ]; do sleep 0.05; done
}

# Types of the requests that the test servers received, in order, blank-separated; SERVER is
# "ds", "cs", "udp" or "all".
e2e_request_types() { # server
    $E2E_PY - "$E2E_RECORD" "$1" <<'PY'
import json, sys
types = []
for line in open(sys.argv[1]):
    entry = json.loads(line)
    if entry.get("event") != "request" or sys.argv[2] not in ("all", entry.get("server")):
        continue
    try:
        types.append(str(json.loads(entry.get("request", ""))["B"][0]["T"]))
    except (ValueError, KeyError, IndexError, TypeError):
        types.append("?")
print(" ".join(types))
PY
}

# Process number of the tunnel process.
e2e_ferryd_pid() {
    local dir
    for dir in /proc/[0-9]*; do
        tr '\000' ' ' 2>/dev/null <"$dir/cmdline" | grep -q -- '--daemon ferryd --client ' && echo "${dir#/proc/}"
    done | head -n 1
}

# The CS answers a ping through the tunnel.
e2e_ping_cs() { ping -c 1 -W 2 $CS_TUNNEL_ADDR >/dev/null 2>&1; }

file_mode() { stat -c %a "$1" 2>/dev/null; }
