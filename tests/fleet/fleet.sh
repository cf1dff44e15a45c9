#!/usr/bin/env bash
# The fleet run: N routers come back at the same moment, as after a regional power cut, and
# meet one DS, one CS and one OpenVPN server over an emulated cellular link each.
#
#   fleet.sh BUILD_DIR N DELAY OUT_DIR      (inside tests/sandbox/qm-sandbox; ./qm fleet runs it)
#
# Here, in the outer sandbox, the servers live in its CS side's namespace at 10.98.0.1: the
# DS and CS test servers (tests/peers/ds_cs_server.py, one thread per connection) and Debian's
# OpenVPN server (tests/peers/ovpn_server.sh). Each router is a router sandbox of its own
# (tests/sandbox/qm-sandbox with QM_LINK, default lte) running router.sh: its own namespaces,
# its own /etc, /opt, /var, its own serial number, MAC address and device certificate. Its CS
# side plays the operator's network: a veth to the servers' namespace (10.97.K.0/24) and address
# translation, so that the servers see each router at its own address 10.97.K.2.
#
# Three waves, each from the same moment for every router:
#   first start   the module starts for the first time (DS, CS registration, approval,
#                 credentials, tunnel)
#   power cut     every router loses power and boots again with its credentials (DS, tunnel)
#   power cut, MOD_QUILLMESH_START_DELAY_MAX=DELAY
# and for each: the time until all N are in "Listening", the DS's, CS's and OpenVPN server's
# peak connections per second and their failed or refused exchanges (report.py). The figures
# go to OUT_DIR (fleet.csv, fleet_listening.csv, fleet_listening.svg); the routers' logs and
# the servers' records stay in BUILD_DIR/fleet-work/. Exit status 0 when every router reached
# "Listening" in every wave.
set -u
HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$HERE/../.." && pwd)
BUILD=$(cd "${1:?usage: fleet.sh BUILD_DIR N DELAY OUT_DIR}" && pwd)
N=${2:?number of routers missing}
DELAY=${3:?start delay missing}
OUT=${4:?output directory missing}
PEERS=$ROOT/tests/peers
SANDBOX=$ROOT/tests/sandbox/qm-sandbox
WORK=$BUILD/fleet-work
SERVER=10.98.0.1
LINK=${QM_FLEET_LINK:-lte}
PY=/usr/bin/python3
# At most this many router sandboxes are being set up at once (the machine has few cores).
SETUP_PARALLEL=${QM_FLEET_SETUP_PARALLEL:-4}
# Longest wait for one wave, beyond the start delay.
WAVE_LIMIT=${QM_FLEET_WAVE_LIMIT:-300}

say() { printf '==> %s\n' "$*"; }
die() {
    echo "fleet: $*" >&2
    exit 1
}
[ "${QM_SANDBOX:-}" = 1 ] || die "run me inside tests/sandbox/qm-sandbox (./qm fleet does)"
[[ "$N" =~ ^[1-9][0-9]*$ ]] && [ "$N" -le 250 ] || die "N must be 1 to 250 (one /24 per router, one tunnel address each)"
[[ "$DELAY" =~ ^[0-9]+$ ]] || die "DELAY must be whole seconds"
[ -x "$BUILD/daemon/quillmeshd" ] && [ -x "$BUILD/grafter/grafter" ] || die "quillmeshd and grafter are not built in $BUILD"
SRV=$QM_CS_NETNS

declare -A ROUTER_PID=()
cleanup() {
    local status=$? k i
    trap - EXIT INT TERM HUP
    : >"$WORK/end" 2>/dev/null
    # Each router sandbox takes its processes and namespaces with it when it ends.
    for ((i = 0; i < 100; i++)); do
        for k in "${!ROUTER_PID[@]}"; do
            kill -0 "${ROUTER_PID[$k]}" 2>/dev/null || unset "ROUTER_PID[$k]"
        done
        [ ${#ROUTER_PID[@]} -eq 0 ] && break
        sleep 0.1
    done
    for k in "${!ROUTER_PID[@]}"; do
        kill -TERM "${ROUTER_PID[$k]}" 2>/dev/null
    done
    for k in "${!ROUTER_PID[@]}"; do
        wait "${ROUTER_PID[$k]}" 2>/dev/null
    done
    sh "$PEERS/ovpn_server.sh" stop "$WORK/ca" >/dev/null 2>&1
    [ -n "${PEERS_PID:-}" ] && kill "$PEERS_PID" 2>/dev/null
    exit "$status"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

rm -rf "$WORK"
mkdir -p "$WORK"/{id,ns,ready,result,log,out} "$OUT" || die "cannot make $WORK"

say "identities of $N routers, server certificates, the module package"
for ((k = 1; k <= N; k++)); do
    mac=$(printf '00:0A:14:F1:%02X:%02X' $((k / 256)) $((k % 256)))
    printf 'FL%05d %s\n' "$k" "$mac" >"$WORK/id/$k.id"
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$WORK/id/$k.pem" \
        -out "$WORK/id/$k.crt" -days 3650 -subj "/CN=kiv-${mac//:/.}" 2>/dev/null || die "openssl failed"
done
cat "$WORK"/id/*.crt >"$WORK/clients.pem"
$PY "$PEERS/ds_cs_server.py" gen-certs "$WORK/certs" || die "gen-certs failed"
sh "$PEERS/make_ca.sh" "$WORK/ca" >/dev/null || die "make_ca.sh failed"
QM_PACKAGE_OUT=$WORK/quillmesh.um.v4.tgz "$ROOT/module/package.sh" "$BUILD" "$WORK/certs/ds.crt" \
    MOD_QUILLMESH_ENABLED=0 MOD_QUILLMESH_LOCAL_DS_IP1=$SERVER MOD_QUILLMESH_UCID=FLEET01 \
    >/dev/null 2>"$WORK/package.err" || die "module/package.sh failed: $(cat "$WORK/package.err")"

say "servers at $SERVER"
ip -n "$SRV" addr add "$SERVER/32" dev lo || die "cannot add $SERVER"
rm -f "$WORK/peers.ready"
: >"$WORK/peers.jsonl"
"$QM_PEER" $PY "$PEERS/ds_cs_server.py" --addr $SERVER --backlog 128 \
    --ds-port 4433 --ds-cert "$WORK/certs/ds.crt" --ds-key "$WORK/certs/ds.key" \
    --cs-port 4434 --cs-cert "$WORK/certs/cs.crt" --cs-key "$WORK/certs/cs.key" --udp-port 4435 \
    --client-ca "$WORK/clients.pem" \
    --ovpn-ca "$WORK/ca/ca.crt" --ovpn-cert "$WORK/ca/client.crt" --ovpn-key "$WORK/ca/client.key" \
    --record "$WORK/peers.jsonl" --ready "$WORK/peers.ready" >"$WORK/peers.out" 2>&1 &
PEERS_PID=$!
for ((i = 0; i < 200; i++)); do
    [ -e "$WORK/peers.ready" ] && break
    sleep 0.1
done
[ -e "$WORK/peers.ready" ] || die "the DS and CS test servers did not start: $(cat "$WORK/peers.out")"
sh "$PEERS/ovpn_server.sh" start "$WORK/ca" >/dev/null || die "the OpenVPN server did not start"

# The router's CS side becomes its operator's network: a veth to the servers and address
# translation, so that every router, all of them 10.99.0.2 behind their link, has an address of
# its own at the servers. The servers answer from 10.98.0.1 on every such veth.
wire() { # index namespace
    local k=$1 ns=$2
    ip link add "fl$k" netns "$SRV" type veth peer name up0 netns "$ns" &&
        ip -n "$SRV" addr add "10.97.$k.1/24" dev "fl$k" noprefixroute &&
        ip -n "$SRV" link set "fl$k" up &&
        ip -n "$SRV" route add "10.97.$k.0/24" dev "fl$k" src $SERVER &&
        ip -n "$ns" addr add "10.97.$k.2/24" dev up0 &&
        ip -n "$ns" link set up0 up &&
        ip -n "$ns" route add 10.98.0.0/24 via "10.97.$k.1" &&
        ip netns exec "$ns" sh -c 'echo 1 >/proc/sys/net/ipv4/ip_forward &&
            iptables -t nat -A POSTROUTING -o up0 -j MASQUERADE'
}

count() { # directory prefix
    local f n=0
    for f in "$1/$2"*; do
        [ -e "$f" ] && n=$((n + 1))
    done
    echo $n
}

say "$N router sandboxes over the '$LINK' link"
linkemu=
[ -x "$BUILD/tests/sandbox/qm-linkemu" ] && linkemu=$BUILD/tests/sandbox/qm-linkemu
started=0
wired=0
end=$((SECONDS + 60 + N * 10))
while [ "$wired" -lt "$N" ]; do
    [ "$SECONDS" -lt "$end" ] || die "only $wired of $N router sandboxes came up"
    if [ "$started" -lt "$N" ] && [ $((started - wired)) -lt "$SETUP_PARALLEL" ]; then
        started=$((started + 1))
        QM_LINK=$LINK QM_LINKEMU=$linkemu FLEET_WAVE_LIMIT=$((WAVE_LIMIT + DELAY)) \
            "$SANDBOX" --carry "$WORK" --carry "$BUILD" -- "$HERE/router.sh" "$started" "$WORK" "$BUILD" \
            </dev/null >"$WORK/out/$started" 2>&1 &
        ROUTER_PID[$started]=$!
        continue
    fi
    next=$((wired + 1))
    if [ -e "$WORK/ns/$next" ]; then
        wire "$next" "$(cat "$WORK/ns/$next")" || die "cannot wire router $next"
        wired=$next
        continue
    fi
    kill -0 "${ROUTER_PID[$next]}" 2>/dev/null || die "router $next ended during its set-up: $(cat "$WORK/out/$next")"
    sleep 0.05
done

# TCP connections the servers' kernel turned away: SYNs dropped at a full accept queue.
listen_drops() {
    ip netns exec "$SRV" awk '$1 == "TcpExt:" { if (!h) { for (i = 2; i <= NF; i++) col[$i] = i; h = 1 }
        else print $col["ListenOverflows"], $col["ListenDrops"] }' /proc/net/netstat
}
lines() { wc -l <"$1"; }

printf 'wave\tname\tdelay\tgo\tdone\trec_from\trec_to\tovpn_from\tovpn_to\toverflows\tdrops\n' >"$WORK/waves.tsv"
failed=0
wave=0
for run in "first start:0" "power cut:0" "power cut:$DELAY"; do
    wave=$((wave + 1))
    name=${run%:*} delay=${run##*:}
    say "wave $wave: $name, MOD_QUILLMESH_START_DELAY_MAX=$delay"
    echo "$delay" >"$WORK/wave.$wave.tmp" && mv "$WORK/wave.$wave.tmp" "$WORK/wave.$wave"
    end=$((SECONDS + 120))
    while [ "$(count "$WORK/ready" "$wave.")" -lt "$N" ]; do
        [ "$SECONDS" -lt "$end" ] || die "only $(count "$WORK/ready" "$wave.") of $N routers are ready for wave $wave"
        sleep 0.1
    done
    # The power stays off a moment everywhere.
    sleep 2
    read -r overflow0 drops0 < <(listen_drops)
    rec0=$(lines "$WORK/peers.jsonl") ovpn0=$(lines "$WORK/ca/server.log")
    go=$EPOCHREALTIME
    echo "$go" >"$WORK/go.$wave.tmp" && mv "$WORK/go.$wave.tmp" "$WORK/go.$wave"
    end=$((SECONDS + WAVE_LIMIT + delay + 10))
    while [ "$(count "$WORK/result" "$wave.")" -lt "$N" ]; do
        [ "$SECONDS" -lt "$end" ] || break
        sleep 0.2
    done
    done_at=$EPOCHREALTIME
    # Late retries and tunnel renegotiations still count for the wave.
    sleep 3
    read -r overflow1 drops1 < <(listen_drops)
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$wave" "$name" "$delay" "$go" "$done_at" \
        "$rec0" "$(lines "$WORK/peers.jsonl")" "$ovpn0" "$(lines "$WORK/ca/server.log")" \
        $((overflow1 - overflow0)) $((drops1 - drops0)) >>"$WORK/waves.tsv"
done
: >"$WORK/end"
# The routers write the last wave's logs, then end.
end=$((SECONDS + 60))
for k in "${!ROUTER_PID[@]}"; do
    while kill -0 "${ROUTER_PID[$k]}" 2>/dev/null && [ "$SECONDS" -lt "$end" ]; do
        sleep 0.1
    done
done

$PY "$HERE/report.py" "$WORK" "$N" "$LINK" "$OUT" || failed=1
exit $failed
