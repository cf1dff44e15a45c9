#!/usr/bin/env bash
# Soak: the CS sends COUNT control messages through the tunnel, a mix of valid requests and
# everything a broken or hostile CS might send. Every valid request must get its exact answer;
# the daemon's open descriptors and resident memory must come back to their level before the
# run, and it must still answer a valid request at the end.
#   soak.sh BUILD_DIR [COUNT]     (inside the router sandbox)
set -u
E2E_BUILD=$1
COUNT=${2:-2000}
. "$(dirname "$0")/../e2e/lib.sh"
SOAK_DIR=$(cd "$(dirname "$0")" && pwd)

e2e_first_start

pid=$(e2e_daemon_pids | head -n 1)
[ -n "$pid" ] || die "no quillmeshd process"
fds() { ls "/proc/$pid/fd" 2>/dev/null | wc -l; }
rss() { awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status" 2>/dev/null; }
etc_sums=$(md5sum /etc/passwd /etc/shadow 2>&1)
inventory='{"H":{"V":113},"B":[{"T":15,"DT":{}}]}'

# The first answers warm the daemon up (allocator arenas, libraries loaded), then the baseline.
e2e_control "$inventory" >/dev/null
e2e_control "$inventory" >/dev/null
sleep 1
fd_start=$(fds)
rss_start=$(rss)
note "before: pid $pid, $fd_start descriptors, RSS $rss_start kB"

"$QM_PEER" $E2E_PY "$SOAK_DIR/soak_client.py" --source $CS_TUNNEL_ADDR --seed "${SOAK_SEED:-11}" \
    "$(e2e_tunnel_addr)" $CONTROL_PORT "$COUNT" >"$E2E_WORK/soak.out" 2>&1
soak_status=$?
cat "$E2E_WORK/soak.out"
check "every valid request answered correctly, nothing else answered with success" test $soak_status -eq 0

# One stream beyond the message limit in the full run (64 MiB of '{'), closed by the daemon.
if [ "$COUNT" -ge 1000 ]; then
    big_start=$(e2e_now)
    "$QM_PEER" $E2E_PY - "$(e2e_tunnel_addr)" $CONTROL_PORT $CS_TUNNEL_ADDR <<'PY' >"$E2E_WORK/big.out" 2>&1
import socket, sys
s = socket.create_connection((sys.argv[1], int(sys.argv[2])), timeout=60, source_address=(sys.argv[3], 0))
chunk = b"{" * (1 << 20)
sent = 0
try:
    while sent <= 70 * (1 << 20):
        s.sendall(chunk)
        sent += len(chunk)
    print("the daemon read more than 70 MiB")
except OSError:
    print(f"closed by the daemon after {sent >> 20} MiB")
PY
    note "$(cat "$E2E_WORK/big.out") in $(e2e_elapsed "$big_start" "$(e2e_now)") s"
    check "a stream beyond the message limit is cut off" grep -q "closed by the daemon" "$E2E_WORK/big.out"
    check "the cut is logged" grep -qF "the message exceeds 67108864 bytes" "$E2E_LOG"
fi

sleep 2
fd_end=$(fds)
rss_end=$(rss)
note "after:  pid $(e2e_daemon_pids | head -n 1), $fd_end descriptors, RSS $rss_end kB (peak $(awk '/^VmHWM:/ { print $2 }' "/proc/$pid/status") kB)"
check_eq "the same daemon process" "$pid" "$(e2e_daemon_pids | head -n 1)"
check_eq "descriptors back to the start" "$fd_start" "$fd_end"
# Freed memory that the allocator keeps for reuse is allowed: 2 MiB over the start at most.
check "resident memory back to the start (+2 MiB at most)" test "${rss_end:-999999}" -le $((rss_start + 2048))
check_eq "a valid request answered at the end" \
    '{"B":[{"T":16,"ER":0,"I":0,"DT":{"16-1":[{"16-4":"eth0","16-5":"192.168.1.1","16-2":"192.168.1.0","16-3":"255.255.255.0","16-6":"1","16-7":"192.168.1.2","16-8":"192.168.1.254"}]}}],"H":{"V":113}}' \
    "$(e2e_control "$inventory")"
check_eq "still listening" "8 (Listening)" "$(e2e_states | tail -n 1)"
check "every route command the daemon ran is one a valid request asks for" sh -c \
    "! grep -F 'routes_manage: command:' $E2E_LOG | grep -vE 'command: ip r (add|delete) 172\.16\.5\.0/255\.255\.255\.0 dev tun0\$'"
check "no reboot was asked for" test ! -s /var/sandbox/calls/reboot
check_eq "/etc/passwd and /etc/shadow untouched" "$etc_sums" "$(md5sum /etc/passwd /etc/shadow 2>&1)"
e2e_finish
