#!/usr/bin/env bash
# Memcheck: a first start (device certificate made, discovery, registration, approval,
# credentials, tunnel) and a handful of control requests with quillmeshd under
# valgrind --leak-check=full. Passes with no definite leak and no invalid read or write; no
# suppressions are needed.
#   memcheck.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/../e2e/lib.sh"
command -v valgrind >/dev/null || die "valgrind is not installed"

e2e_first_start
/opt/quillmesh/etc/init stop >/dev/null 2>&1
# Back to a first start: no device certificate, no CS certificate, no credentials.
rm -f "$SSL_DIR/dev_cert.pem" "$SSL_DIR/dev_cert.crt" "$SSL_DIR/cs_cert.crt" "$OVPN_DIR"/*

before=$(grep -cF "Ready for incoming messages." "$E2E_LOG")
valgrind --leak-check=full --show-leak-kinds=definite,indirect --errors-for-leak-kinds=definite \
    --log-file="$E2E_WORK/memcheck.%p" \
    /opt/quillmesh/bin/quillmeshd
e2e_wait_log "Ready for incoming messages." 300 $((before + 1)) || die "the daemon under valgrind did not reach \"Ready for incoming messages.\""
for m in '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}' \
         '{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":["172.16.5.0"],"13-2":["255.255.255.0"],"13-3":[],"13-4":[]}}]}' \
         '{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":[],"13-2":[],"13-3":["172.16.5.0"],"13-4":["255.255.255.0"]}}]}' \
         '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}' '{"H":{"V":113},"B":[{"T":15' 'not json {}' \
         '{"H":{"V":113},"B":[{"T":11,"DT":[{"11-3":"eth0;x"}]}]}'; do
    note "$(e2e_control "$m" | cut -c1-100)"
done
# Under valgrind the process is not named quillmeshd: the daemon is the living one of the
# processes that wrote a log (the parent ended when it became a daemon).
pid=
for f in "$E2E_WORK"/memcheck.*; do
    p=${f##*.}
    kill -0 "$p" 2>/dev/null && pid=$p
done
[ -n "$pid" ] || die "the daemon under valgrind is gone"
kill -TERM "$pid"
n=0
while ! grep -q "ERROR SUMMARY" "$E2E_WORK/memcheck.$pid" 2>/dev/null && [ $n -lt 600 ]; do sleep 0.1; n=$((n + 1)); done
log=$E2E_WORK/memcheck.$pid
mkdir -p "$E2E_BUILD/memcheck" && cp "$E2E_WORK"/memcheck.* "$E2E_BUILD/memcheck/"
grep -E "definitely lost|indirectly lost|possibly lost|still reachable|ERROR SUMMARY|suppressed:" "$log" | sed 's/^==[0-9]*== */  /'
# Every process's log: the daemon's and the one that started it.
check "no definite leak" sh -c "! cat '$E2E_WORK'/memcheck.* | grep -E 'definitely lost: [1-9]'"
check "no invalid read or write" sh -c "! cat '$E2E_WORK'/memcheck.* | grep -E 'Invalid (read|write)|uninitialised|Invalid free'"
e2e_finish
