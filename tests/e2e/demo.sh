#!/usr/bin/env bash
# The QuillMesh demo: a router meets its central server for the first time.
#
#   tests/e2e/demo.sh BUILD_DIR [--keep]        (./qm demo [--keep] builds first and calls this)
#
# Brings up the router sandbox with the test DS and CS (TLS side channel, UDP approval, a real
# OpenVPN server), installs the module package with grafter, which starts quillmeshd, and shows
# what happens: the daemon's state lines as they arrive, the requests and answers on each
# channel, then a few control requests through the tunnel with their answers, and a summary.
# It ends by itself and leaves nothing behind. With --keep the sandbox stays up with a shell in
# it, the daemon still running, until the shell is left.
set -u

build=${1:?usage: demo.sh BUILD_DIR [--keep]}
shift
keep=0 inside=0
for arg in "$@"; do
    case "$arg" in
    --keep) keep=1 ;;
    --inside) inside=1 ;;
    *)
        echo "demo: unknown option '$arg' (only --keep)" >&2
        exit 2
        ;;
    esac
done
build=$(cd "$build" && pwd) || exit 1
here=$(cd "$(dirname "$0")" && pwd)

if [ "$inside" = 0 ]; then
    opts=(--carry "$build")
    [ "$keep" = 1 ] && opts+=(--shell)
    args=("$build" --inside)
    [ "$keep" = 1 ] && args+=(--keep)
    exec "$here/../sandbox/qm-sandbox" "${opts[@]}" -- "$0" "${args[@]}"
fi

# ---- inside the router sandbox ------------------------------------------------------------------
E2E_BUILD=$build
. "$here/lib.sh"

if [ -t 1 ]; then B=$'\033[1m' D=$'\033[2m' G=$'\033[32m' Y=$'\033[33m' R=$'\033[0m'; else B= D= G= Y= R=; fi
title() { printf '\n%s### %s%s\n' "$B" "$*" "$R"; }

viewer=
stop_viewer() {
    [ -n "$viewer" ] || return 0
    sleep 0.3
    kill -TERM "$viewer" 2>/dev/null
    wait "$viewer" 2>/dev/null
    viewer=
}
trap stop_viewer EXIT

title "QuillMesh demo: the first start of a router"
cat <<EOF
This is a private sandbox that plays the router (wan0 $QM_ROUTER_ADDR) and, behind a virtual
cable, the operator's side ($CS_ADDR): a discovery server (DS, TLS port $DS_PORT), the central
server (CS: TLS side channel $CS_PORT, UDP approval $UDP_PORT) and the CS's OpenVPN server
(tunnel 10.8.0.0/24, the CS on $CS_TUNNEL_ADDR). The router has never met them: no device
certificate, no tunnel credentials. Everything here vanishes when the demo ends.
EOF

printf '\n%spreparing: test certificates, tunnel CA, module package (module/package.sh)...%s\n' "$D" "$R"
e2e_prepare
e2e_start_peers
e2e_start_ovpn_server
printf '%sDS and CS listening on %s; OpenVPN server up on the CS side.%s\n' "$D" "$CS_ADDR" "$R"

title "Installing the module with grafter; it starts quillmeshd"
start=$(e2e_now)
$E2E_PY "$here/demo_view.py" "$E2E_LOG" "$E2E_RECORD" "$start" &
viewer=$!
E2E_START=$start
"$E2E_BUILD/grafter/grafter" "$E2E_PACKAGE" >"$E2E_WORK/grafter.out" 2>&1 ||
    die "grafter failed: $(cat "$E2E_WORK/grafter.out")"
if ! e2e_wait_log "Ready for incoming messages." 90; then
    stop_viewer
    die "the daemon did not get its tunnel within 90 s"
fi
ready=$(e2e_now)
started_at=$(e2e_elapsed "$start" "$ready")
sleep 0.5

title "The CS manages the router through the tunnel"
printf '%sThe CS connects from %s (the first host of the tunnel subnet) to the managing socket %s:%s.%s\n' \
    "$D" "$CS_TUNNEL_ADDR" "$(e2e_tunnel_addr)" "$CONTROL_PORT" "$R"
ask() { # title message
    stop_viewer
    [ -t 1 ] && sleep 1 # time to read, for a person watching
    printf '\n%s%s%s\n' "$B" "$1" "$R"
    printf '  %sCS -> router:%s %s\n' "$Y" "$R" "$2"
    answer=$(e2e_control "$2")
    printf '  %srouter -> CS:%s %s\n' "$G" "$R" "$answer"
}
ask "Interface inventory (type 15)" '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}'
ask "Routes through the tunnel (type 13): add 172.16.10.0/24 and 172.16.20.0/24" \
    '{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":["172.16.10.0","172.16.20.0"],"13-2":["255.255.255.0","255.255.255.0"],"13-3":[],"13-4":[]}}]}'
printf '  %seffect:%s\n' "$D" "$R"
ip r | grep ' dev tun0' | grep -v '^10\.8\.0\.' | sed 's/^/    ip r: /'
ask "Internet access of the LAN off (type 23, mode 0)" '{"H":{"V":113},"B":[{"T":23,"DT":{"23-1":"0"}}]}'
printf '  %seffect: %s rules in chain oint_quillmesh, %s in iint_quillmesh%s\n' "$D" \
    "$(iptables -w -S oint_quillmesh 2>/dev/null | grep -c '^-A')" "$(iptables -w -S iint_quillmesh 2>/dev/null | grep -c '^-A')" "$R"
ask "Internet access back on (type 23, mode 1)" '{"H":{"V":113},"B":[{"T":23,"DT":{"23-1":"1"}}]}'
script=$(printf '#!/bin/bash\necho "hello from the CS, run on $(hostname) at $(date +%%T)" >/tmp/hello.txt\n' | base64 -w0)
ask "A script to run (type 19, kind 3, hello.sh)" \
    "{\"H\":{\"V\":113},\"B\":[{\"T\":19,\"DT\":{\"19-1\":\"$script\",\"19-2\":3,\"19-3\":\"hello.sh\"}}]}"
e2e_wait_file /tmp/hello.txt 5
printf '  %seffect: /tmp/hello.txt says: %s%s\n' "$D" "$(cat /tmp/hello.txt 2>/dev/null)" "$R"
ask "Something this router does not know (type 99)" '{"H":{"V":113},"B":[{"T":99,"DT":{}}]}'
printf '\n%sA connection from another address (the router itself) gets nothing:%s %s\n' "$B" "$R" \
    "$($E2E_PY "$E2E_PEERS/control_client.py" --timeout 15 "$(e2e_tunnel_addr)" $CONTROL_PORT '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}' 2>&1)"

title "Summary"
ls_mode() { stat -c '%A %n' "$@" 2>/dev/null | sed 's/^/    /'; }
cat <<EOF
  time from install to "Ready for incoming messages.": ${started_at} s
    (device certificate, DS query, registration, approval, credentials, tunnel up, listening)
  CS address from the DS:   $(grep '^QUILLMESH_REMOTE_IPADDR=' /opt/quillmesh/etc/settings.ovpn | cut -d= -f2)
  tunnel:                   tun0 $(e2e_tunnel_addr), CS at $CS_TUNNEL_ADDR, process ferryd (pid $(e2e_ferryd_pid))
  managing socket:          $(e2e_tunnel_addr):$CONTROL_PORT (tunnel only)
  requests on the side channels: DS $(e2e_request_types ds), CS $(e2e_request_types cs), UDP $(e2e_request_types udp)
  routes added by the CS:   $(ip r | grep ' dev tun0' | grep -v '^10\.8\.0\.' | cut -d' ' -f1 | paste -sd' ')
  files written:
$(ls_mode $SSL_DIR/dev_cert.pem $SSL_DIR/dev_cert.crt $SSL_DIR/ds_cert.crt $SSL_DIR/cs_cert.crt \
        $OVPN_DIR/ovpn_ca.crt $OVPN_DIR/ovpn_cert.crt $OVPN_DIR/ovpn_key.pem)
EOF

if [ "$keep" = 1 ]; then
    title "The sandbox stays up"
    cat <<EOF
quillmeshd keeps running. Things to try in the shell below:
  tail -f /var/log/messages                       the daemon's log (and the tunnel's)
  cat /opt/quillmesh/etc/settings                 the module settings
  qm-peer /usr/bin/python3 $E2E_PEERS/control_client.py --source $CS_TUNNEL_ADDR $(e2e_tunnel_addr) $CONTROL_PORT '{"H":{"V":113},"B":[{"T":15,"DT":{}}]}'
                                                  a control request as the CS sends it
  sh $E2E_PEERS/ovpn_server.sh stop $E2E_CA
                                                  take the CS's OpenVPN server away; watch the log
  OVPN_CLIENT_ADDR=10.8.0.2 sh $E2E_PEERS/ovpn_server.sh start $E2E_CA
                                                  and bring it back
Leave the shell (exit) to end the sandbox; everything is cleaned up then.
EOF
    ln -sf "$QM_PEER" /usr/bin/qm-peer 2>/dev/null
else
    printf '\n%sDemo over; the sandbox and everything in it are removed now.%s\n' "$D" "$R"
fi
exit 0
