#!/usr/bin/env bash
# Control requests through the tunnel: the CS connects from the first host of the tunnel subnet
# and each request gets its exact answer and leaves its mark on the router.
#   control.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

e2e_first_start

# Routes (13): one added, then deleted again.
check_eq "route add answer" '{"B":[{"T":14,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":["172.16.5.0","172.16.6.0"],"13-2":["255.255.255.0","255.255.254.0"],"13-3":[],"13-4":[]}}]}')"
check "route 172.16.5.0/24 through tun0" sh -c "ip r | grep -q '^172.16.5.0/24 .*dev tun0'"
check "route 172.16.6.0/23 through tun0" sh -c "ip r | grep -q '^172.16.6.0/23 .*dev tun0'"
check_eq "route delete answer" '{"B":[{"T":14,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":[],"13-2":[],"13-3":["172.16.5.0"],"13-4":["255.255.255.0"]}}]}')"
check "route 172.16.5.0/24 gone" sh -c "! ip r | grep -q '^172.16.5.0/24'"
check "route 172.16.6.0/23 kept" sh -c "ip r | grep -q '^172.16.6.0/23 .*dev tun0'"

# Inventory (15): the router's LAN interface eth0.
check_eq "inventory answer" \
    '{"B":[{"T":16,"ER":0,"I":0,"DT":{"16-1":[{"16-4":"eth0","16-5":"192.168.1.1","16-2":"192.168.1.0","16-3":"255.255.255.0","16-6":"1","16-7":"192.168.1.2","16-8":"192.168.1.254"}]}}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}')"

# Internet mode (23): 0 confines the LAN, 1 lifts it.
check_eq "internet mode 0 answer" '{"B":[{"T":24,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":23,"DT":{"23-1":"0"}}]}')"
check "mode 0: chains iint_quillmesh and oint_quillmesh hold rules" sh -c \
    "[ \$(iptables -w -S iint_quillmesh | wc -l) -gt 1 ] && [ \$(iptables -w -S oint_quillmesh | wc -l) -gt 1 ]"
check "mode 0: the CS stays reachable" e2e_ping_cs
check_eq "internet mode 1 answer" '{"B":[{"T":24,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":23,"DT":{"23-1":"1"}}]}')"
check "mode 1: no confinement left" sh -c \
    "[ \$(iptables -w -S iint_quillmesh 2>/dev/null | wc -l) -le 1 ] && [ \$(iptables -w -S oint_quillmesh 2>/dev/null | wc -l) -le 1 ]"

# Script (19, kind 3): stored, run once the answer is out, staging directory removed.
script=$(printf 'echo "ran as $0" >/tmp/e2e_script_out\n' | base64 -w0)
check_eq "script store answer" '{"B":[{"T":20,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control "{\"H\":{\"V\":113},\"B\":[{\"T\":19,\"DT\":{\"19-1\":\"$script\",\"19-2\":3,\"19-3\":\"e2e.sh\"}}]}")"
e2e_wait_file /tmp/e2e_script_out 10
check_eq "the script ran" "ran as /tmp/vpn_module_tbd/script/e2e.sh" "$(cat /tmp/e2e_script_out 2>/dev/null)"
n=0
while [ -e /tmp/vpn_module_tbd ] && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
check "staging directory gone" test ! -e /tmp/vpn_module_tbd

# Unknown type and a mixed message.
check_eq "unknown type answer" '{"B":[{"T":100,"ER":1,"I":0,"MG":"Unsupported segment type"}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}')"

# Tunnel restart (17): a new tunnel process, the answer arrives over the restarted tunnel.
old=$(e2e_ferryd_pid)
check_eq "tunnel restart answer" '{"B":[{"T":18,"ER":0,"I":0}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":17,"DT":{}}]}')"
new=$(e2e_ferryd_pid)
check "a new tunnel process ($old -> $new)" sh -c "[ -n '$new' ] && [ '$new' != '$old' ]"
check "the tunnel is up again" test -n "$(e2e_tunnel_addr)"

# Only the CS is answered, and the packet filter keeps everyone else from the port: a connection
# from the router's own tunnel address and one from another host of the tunnel subnet never
# reach the daemon (nothing is logged for them).
before=$(grep -cF "Received message that was not sent by CS. Ignoring." "$E2E_LOG")
check_eq "the port is fenced for the CS on tun0" \
    "-A ctl_quillmesh -s 10.8.0.1/32 -d $(e2e_tunnel_addr)/32 -i tun0 -p tcp -m tcp --dport $CONTROL_PORT -j RETURN
-A ctl_quillmesh -d $(e2e_tunnel_addr)/32 -p tcp -m tcp --dport $CONTROL_PORT -j DROP" \
    "$(iptables -w -t raw -S ctl_quillmesh | grep -- '^-A')"
check_eq "other address: dropped" "connect failed: timed out" \
    "$(ip netns exec "$QM_ROUTER_NETNS" $E2E_PY "$E2E_PEERS/control_client.py" --timeout 5 \
        "$(e2e_tunnel_addr)" $CONTROL_PORT '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}' 2>&1)"
"$QM_PEER" ip addr add 10.8.0.99/24 dev qmcs0
check_eq "another tunnel host: dropped" "connect failed: timed out" \
    "$("$QM_PEER" $E2E_PY "$E2E_PEERS/control_client.py" --source 10.8.0.99 --timeout 5 \
        "$(e2e_tunnel_addr)" $CONTROL_PORT '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}' 2>&1)"
check_eq "neither reached the daemon" "$before" \
    "$(grep -cF "Received message that was not sent by CS. Ignoring." "$E2E_LOG")"
check_eq "the CS is still served" '{"B":[{"T":100,"ER":1,"I":0,"MG":"Unsupported segment type"}],"H":{"V":113}}' \
    "$(e2e_control '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}')"
check_eq "still listening" "8 (Listening)" "$(e2e_states | tail -n 1)"

e2e_finish
