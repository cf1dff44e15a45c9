#!/bin/sh
# The CS's OpenVPN server for tunnel tests (Debian's openvpn), run in the CS network namespace.
#
#   ovpn_server.sh start CA_DIR [MODE]   start (or restart) the server; MODE is one of
#        ok        accept the device (default)
#        auth      refuse every client after its TLS handshake: the client logs AUTH_FAILED
#        other-ca  present the server certificate of an unrelated CA and trust only that CA:
#                  the TLS handshake fails
#        fleet     present another device's certificate of the same CA (no server extended
#                  key usage): a client that checks it is talking to a server refuses it
#   ovpn_server.sh stop CA_DIR           stop it (the server is then down)
#   ovpn_server.sh pause|resume CA_DIR   freeze or thaw it (the tunnel goes silent)
#   ovpn_server.sh install-client CA_DIR [ok|expired|other]
#        write the device credentials (CA, certificate, key) to the router's tunnel credential
#        files; "expired" gives a client certificate that expired in 2020
#
# CA_DIR is made by make_ca.sh and also holds the server's state (server.pid, server.log).
# The tunnel subnet is 10.8.0.0/24 with the CS on its first host, 10.8.0.1 (topology subnet);
# the server listens on UDP port 1194 (OVPN_PORT and OVPN_PROTO override). OVPN_CLIENT_ADDR
# gives every client that one tunnel address (as a CS that assigns each device its own address
# does), so a reconnecting device keeps its address. Inside the router
# sandbox the server side is moved into the CS namespace through qm-peer.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
action=${1:?usage: ovpn_server.sh start|stop|pause|resume|install-client CA_DIR [MODE]}
dir=${2:?CA directory missing}
dir=$(cd "$dir" && pwd)
mode=${3:-ok}
port=${OVPN_PORT:-1194}
proto=${OVPN_PROTO:-udp}
pidfile=$dir/server.pid

# The server belongs in the CS namespace; the credential files belong to the router.
if [ "$action" != install-client ] && [ -n "${QM_CS_NETNS:-}" ] && [ -z "${QM_OVPN_SERVER_IN_PEER:-}" ]; then
    QM_OVPN_SERVER_IN_PEER=1 exec "${QM_PEER:-$here/../sandbox/qm-peer}" env QM_OVPN_SERVER_IN_PEER=1 "$0" "$@"
fi

server_pid() {
    [ -r "$pidfile" ] || return 1
    pid=$(cat "$pidfile")
    [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null && echo "$pid"
}

stop_server() {
    if pid=$(server_pid); then
        kill -CONT "$pid" 2>/dev/null || true
        kill "$pid" 2>/dev/null || true
        n=0
        while kill -0 "$pid" 2>/dev/null && [ $n -lt 50 ]; do
            sleep 0.1
            n=$((n + 1))
        done
        kill -9 "$pid" 2>/dev/null || true
    fi
    rm -f "$pidfile"
}

case "$action" in
start)
    stop_server
    ca=$dir/ca.crt cert=$dir/server.crt key=$dir/server.key
    set --
    case "$mode" in
    ok) ;;
    auth)
        # A client-connect script that fails makes the server answer the client with AUTH_FAILED.
        printf '#!/bin/sh\nexit 1\n' >"$dir/refuse.sh"
        chmod +x "$dir/refuse.sh"
        set -- --script-security 2 --client-connect "$dir/refuse.sh"
        ;;
    other-ca) ca=$dir/other/ca.crt cert=$dir/other/server.crt key=$dir/other/server.key ;;
    fleet) cert=$dir/fleet.crt key=$dir/fleet.key ;;
    *)
        echo "ovpn_server.sh: unknown mode '$mode'" >&2
        exit 2
        ;;
    esac
    if [ -n "${OVPN_CLIENT_ADDR:-}" ] && [ "$mode" = ok ]; then
        printf '#!/bin/sh\necho "ifconfig-push %s 255.255.255.0" >"$1"\n' "$OVPN_CLIENT_ADDR" >"$dir/fixed.sh"
        chmod +x "$dir/fixed.sh"
        set -- --script-security 2 --client-connect "$dir/fixed.sh"
    fi
    : >"$dir/server.log"
    openvpn --daemon qm-test-cs --writepid "$pidfile" --log "$dir/server.log" --verb 4 \
        --server 10.8.0.0 255.255.255.0 --topology subnet --dev qmcs0 --dev-type tun \
        --proto "$proto" --port "$port" \
        --ca "$ca" --cert "$cert" --key "$key" --dh none --duplicate-cn --ping 2 "$@"
    # Ready once the server has opened its device.
    n=0
    until grep -q "Initialization Sequence Completed" "$dir/server.log" 2>/dev/null; do
        n=$((n + 1))
        if [ $n -gt 100 ]; then
            echo "ovpn_server.sh: server did not start:" >&2
            cat "$dir/server.log" >&2
            exit 1
        fi
        sleep 0.1
    done
    ;;
stop) stop_server ;;
pause) kill -STOP "$(server_pid)" ;;
resume) kill -CONT "$(server_pid)" ;;
install-client)
    target=/var/data/quillmesh_certs/certificates/ovpn
    mkdir -p "$target"
    case "$mode" in
    ok) src_ca=$dir/ca.crt src_cert=$dir/client.crt src_key=$dir/client.key ;;
    expired) src_ca=$dir/ca.crt src_cert=$dir/client-expired.crt src_key=$dir/client.key ;;
    other) src_ca=$dir/other/ca.crt src_cert=$dir/other/client.crt src_key=$dir/other/client.key ;;
    *)
        echo "ovpn_server.sh: unknown client kind '$mode'" >&2
        exit 2
        ;;
    esac
    cp "$src_ca" "$target/ovpn_ca.crt"
    cp "$src_cert" "$target/ovpn_cert.crt"
    cp "$src_key" "$target/ovpn_key.pem"
    chmod 600 "$target/ovpn_key.pem"
    ;;
*)
    echo "ovpn_server.sh: unknown action '$action'" >&2
    exit 2
    ;;
esac
