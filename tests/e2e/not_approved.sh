#!/usr/bin/env bash
# Not approved yet: the approval server answers "not validated, ask again in 2 s" three times,
# then approves. The daemon waits the pauses it is told and goes on to the tunnel.
#   not_approved.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_prepare
e2e_start_peers '{"udp": [{"kind": "not_validated", "pause": 2}, {"kind": "not_validated", "pause": 2}, {"kind": "not_validated", "pause": 2}, "good"]}'
e2e_start_ovpn_server

e2e_install_module
e2e_wait_log "Ready for incoming messages." 90 || fail "the daemon did not reach \"Ready for incoming messages.\""

check_eq "four approval requests" "8 8 8 8" "$(e2e_request_types udp)"
check_eq "three waits of 2 s announced" 3 "$(grep -cF "Getting CS approval failed. Next attempt in 2 s." "$E2E_LOG")"
# The servers' record stamps every request with its arrival time.
gaps=$($E2E_PY - "$E2E_RECORD" <<'PY'
import json, sys
times = [e["time"] for e in map(json.loads, open(sys.argv[1])) if e.get("server") == "udp" and e.get("event") == "request"]
print(" ".join("%.2f" % (b - a) for a, b in zip(times, times[1:])))
PY
)
note "seconds between approval requests: $gaps"
check "each gap is the 2 s pause (1.8 to 5 s)" awk -v g="$gaps" 'BEGIN {
    n = split(g, a, " "); if (n != 3) exit 1
    for (i = 1; i <= n; i++) if (a[i] < 1.8 || a[i] > 5) exit 1 }'
first=$(grep -n 'quillmeshd\[[0-9]*\]: started\.$' "$E2E_LOG" | head -n 1 | cut -d: -f1)
check_eq "approval state repeats, then the road goes on" \
    "1 (Getting CS IP)|2 (Checking OVPN Details)|3 (Registering on CS)|4 (Getting OVPN Approval)|4 (Getting OVPN Approval)|4 (Getting OVPN Approval)|4 (Getting OVPN Approval)|5 (Getting OVPN Credentials)|6 (Restarting OVPN)|7 (Creating Managing Socket)|8 (Listening)" \
    "$(e2e_states "${first:-1}" | paste -sd'|')"
check "one registration" test "$(e2e_request_types cs)" = "21 6"

e2e_finish
