#!/usr/bin/env bash
# One router of the fleet run, inside its own router sandbox (tests/sandbox/qm-sandbox, with an
# emulated cellular link). Started by fleet.sh; not a test of its own.
#
#   router.sh INDEX WORK_DIR BUILD_DIR
#
# The router takes its identity (serial number, MAC address, device certificate) from WORK_DIR,
# installs the fleet's module package with the module switched off, then tells fleet.sh its CS
# side's namespace (WORK_DIR/ns/INDEX) so that the link is wired to the fleet's servers. Then,
# for every wave that fleet.sh announces (WORK_DIR/wave.W, holding the start delay to use):
# power off (the module's processes die by SIGKILL, as in a power cut), say ready
# (WORK_DIR/ready/W.INDEX), wait for the power to return (WORK_DIR/go.W), boot as the router
# does (qm-firmware boot) and note when the daemon first logs "Listening" (read every 20 ms):
# WORK_DIR/result/W.INDEX holds "INDEX BOOTED LISTENING" (seconds since the epoch; LISTENING is
# empty when the wave's time ran out) and WORK_DIR/log/W.INDEX the daemon's log of the wave.
# WORK_DIR/end ends the router. Every wait is bounded.
set -u
INDEX=${1:?usage: router.sh INDEX WORK_DIR BUILD_DIR}
WORK=${2:?work directory missing}
BUILD=${3:?build directory missing}
LOG=/var/log/messages
SETTINGS=/opt/quillmesh/etc/settings
SSL_DIR=/var/data/quillmesh_certs/certificates/ssl
LIFETIME=${FLEET_ROUTER_LIFETIME:-3600}
WAVE_LIMIT=${FLEET_WAVE_LIMIT:-600}

die() {
    echo "router $INDEX: $*" >&2
    exit 1
}
[ "${QM_SANDBOX:-}" = 1 ] || die "run me inside tests/sandbox/qm-sandbox"

# A pause without a process: a read that times out on a pipe nobody writes to.
mkfifo /tmp/nap && exec 7<>/tmp/nap || die "cannot make /tmp/nap"
nap() { read -r -t "${1:-0.01}" -u 7 _; }

# Waits for FILE until the router's lifetime is over.
wait_file() { # file
    while [ ! -e "$1" ]; do
        [ "$SECONDS" -lt "$LIFETIME" ] || die "no $1 within ${LIFETIME} s"
        nap 0.01
    done
}

# What the router is: serial number, MAC address of its LAN, its own device certificate.
identity() {
    local serial mac
    read -r serial mac <"$WORK/id/$INDEX.id" || die "no identity"
    sed -i "s/^Serial Number .*/Serial Number        : $serial/" /var/sandbox/status/sys
    sed -i "s/^MAC Address .*/MAC Address          : $mac/" /var/sandbox/status/lan
    mkdir -p "$SSL_DIR"
    install -m 600 "$WORK/id/$INDEX.pem" "$SSL_DIR/dev_cert.pem"
    install -m 644 "$WORK/id/$INDEX.crt" "$SSL_DIR/dev_cert.crt"
    # The LAN port the daemon lists in its inventory (a veth pair: no dummy interfaces here).
    ip link add eth0 type veth peer name eth0-peer && ip addr add 192.168.1.1/24 dev eth0 &&
        ip link set eth0-peer up && ip link set eth0 up || die "cannot create eth0"
}

set_setting() { # key value
    if grep -q "^$1=" "$SETTINGS"; then
        sed -i "s/^$1=.*/$1=$2/" "$SETTINGS"
    else
        echo "$1=$2" >>"$SETTINGS"
    fi
}

# The power goes: the module's processes end at once, what lives in memory is gone.
power_off() {
    local d comm args
    for d in /proc/[0-9]*; do
        read -r comm 2>/dev/null <"$d/comm" || continue
        args=$(tr '\000' ' ' 2>/dev/null <"$d/cmdline")
        case "$comm|$args " in
        quillmeshd\|* | *" --daemon ferryd "* | *" /opt/quillmesh/etc/init supervise "*) kill -KILL "${d#/proc/}" 2>/dev/null ;;
        esac
    done
}

identity
"$BUILD/grafter/grafter" "$WORK/quillmesh.um.v4.tgz" >/tmp/grafter.out 2>&1 7<&- || die "grafter failed: $(cat /tmp/grafter.out)"
set_setting MOD_QUILLMESH_ENABLED 1
echo "$QM_CS_NETNS" >"$WORK/ns/$INDEX.tmp" && mv "$WORK/ns/$INDEX.tmp" "$WORK/ns/$INDEX"

wave=1
while :; do
    while [ ! -e "$WORK/wave.$wave" ]; do
        [ -e "$WORK/end" ] && exit 0
        [ "$SECONDS" -lt "$LIFETIME" ] || die "no wave $wave within ${LIFETIME} s"
        nap 0.2
    done
    power_off
    set_setting MOD_QUILLMESH_START_DELAY_MAX "$(cat "$WORK/wave.$wave")"
    mark=$(wc -l <"$LOG")
    # The log as it grows, read from where it ends now (a read at the end of a file fails
    # and leaves the offset, so the next one gets what was appended meanwhile).
    exec 6<"$LOG"
    while read -r -u 6 _; do :; done
    : >"$WORK/ready/$wave.$INDEX"
    wait_file "$WORK/go.$wave"
    booted=$EPOCHREALTIME
    # The module gets none of this script's descriptors.
    qm-firmware boot 0 </dev/null >/dev/null 2>&1 6<&- 7<&- &
    listening='' partial=''
    end=$((SECONDS + WAVE_LIMIT))
    while [ "$SECONDS" -lt "$end" ]; do
        if ! IFS= read -r -u 6 line; then
            partial=$partial$line # a line not written in full yet
            nap 0.02
            continue
        fi
        line=$partial$line partial=''
        case "$line" in
        *"quillmeshd["*"RM STATE: 8 (Listening)"*)
            listening=$EPOCHREALTIME
            break
            ;;
        esac
    done
    exec 6<&-
    echo "$INDEX $booted $listening" >"$WORK/result/$wave.$INDEX.tmp" && mv "$WORK/result/$wave.$INDEX.tmp" "$WORK/result/$wave.$INDEX"
    # The rest of the wave's log once fleet.sh has seen every router (or given up on them).
    while [ ! -e "$WORK/wave.$((wave + 1))" ] && [ ! -e "$WORK/end" ]; do
        [ "$SECONDS" -lt "$LIFETIME" ] || break
        nap 0.2
    done
    tail -n +"$((mark + 1))" "$LOG" >"$WORK/log/$wave.$INDEX"
    wave=$((wave + 1))
done
