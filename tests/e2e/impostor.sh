#!/usr/bin/env bash
# Impostors of the DS and of the CS. openssl s_server presents the pinned certificate with its
# public key swapped for the impostor's (subject, key identifiers and signature bytes kept, see
# tests/peers/forge_cert.py) and holds an answer ready that would hand the router the impostor's
# CS or tunnel CA. The daemon refuses the handshake before it sends a byte, and stores nothing
# the impostor said.
#   impostor.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/lib.sh"

IMPOSTOR_CS=10.99.0.66

# One protocol message with a segment of type T whose payload is KEY=VALUE or KEY=@FILE (the
# file's text).
message() { # T KEY=VALUE...
    $E2E_PY - "$@" <<'PY'
import json, sys
dt = {}
for arg in sys.argv[2:]:
    key, value = arg.split("=", 1)
    dt[key] = open(value[1:]).read() if value.startswith("@") else value
print(json.dumps({"H": {"V": 113}, "B": [{"T": int(sys.argv[1]), "I": 0, "ER": 0, "DT": dt}]}, separators=(",", ":")))
PY
}

# A line of each text of the answer that no file of the router may hold afterwards.
traces() { # answer
    $E2E_PY - "$1" <<'PY'
import json, sys
for value in json.loads(sys.argv[1])["B"][0]["DT"].values():
    print([l for l in value.splitlines() if l and not l.startswith("-----")][0])
PY
}

# The impostor: one connection, the answer written to it as soon as it is up, everything it
# receives in $E2E_WORK/impostor.out.
start_impostor() { # port certificate answer
    rm -f "$E2E_WORK/impostor.in"
    mkfifo "$E2E_WORK/impostor.in"
    "$QM_PEER" openssl s_server -accept "$CS_ADDR:$1" -naccept 1 -tls1_3 -cert "$2" -key "$E2E_CERTS/other.key" \
        <"$E2E_WORK/impostor.in" >"$E2E_WORK/impostor.out" 2>&1 &
    IMPOSTOR_PID=$!
    exec 3>"$E2E_WORK/impostor.in"
    printf '%s\n' "$3" >&3
    local n=0
    until grep -q '^ACCEPT' "$E2E_WORK/impostor.out"; do
        n=$((n + 1))
        [ $n -gt 100 ] && die "s_server did not start: $(cat "$E2E_WORK/impostor.out")"
        sleep 0.1
    done
}

# s_server ends with its one connection; whatever it received is in its output by then.
stop_impostor() {
    local n=0
    while kill -0 "$IMPOSTOR_PID" 2>/dev/null && [ $n -lt 100 ]; do
        n=$((n + 1))
        sleep 0.1
    done
    kill "$IMPOSTOR_PID" 2>/dev/null
    wait "$IMPOSTOR_PID" 2>/dev/null
    exec 3>&-
}

# The real DS for an impostor CS: it hands out the CS's address and certificate.
start_real_ds() {
    rm -f "$E2E_WORK/peers.ready"
    "$QM_PEER" $E2E_PY "$E2E_PEERS/ds_cs_server.py" --addr $CS_ADDR --ds-port $DS_PORT \
        --ds-cert "$E2E_CERTS/ds.crt" --ds-key "$E2E_CERTS/ds.key" --cs-answer-cert "$E2E_CERTS/cs.crt" \
        --record "$E2E_RECORD" --ready "$E2E_WORK/peers.ready" >"$E2E_WORK/peers.out" 2>&1 &
    E2E_PEERS_PID=$!
    e2e_wait_file "$E2E_WORK/peers.ready" 20 || die "the DS test server did not start: $(cat "$E2E_WORK/peers.out")"
}

e2e_prepare
e2e_install_module
/opt/quillmesh/etc/init stop >/dev/null

# server  port      pinned certificate   the daemon's line for the refused handshake
rows=(
    "ds     $DS_PORT  $E2E_CERTS/ds.crt    Handshake with DS ($CS_ADDR:$DS_PORT) failed. Next attempt in 15 s."
    "cs     $CS_PORT  $E2E_CERTS/cs.crt    Handshake with CS ($CS_ADDR:$CS_PORT) failed."
)
for row in "${rows[@]}"; do
    read -r server port pinned refused <<<"$row"
    case $server in
    ds) answer=$(message 5 "5-1=$IMPOSTOR_CS" "5-2=@$E2E_CERTS/other.crt") ;;
    cs)
        answer=$(message 7 "7-1=@$E2E_CA/other/ca.crt" "7-2=@$E2E_CA/other/client.crt" "7-3=@$E2E_CA/other/client.key")
        start_real_ds
        ;;
    esac
    $E2E_PY "$E2E_PEERS/forge_cert.py" "$pinned" "$E2E_CERTS/other.crt" "$E2E_WORK/forged.crt" || die "forge_cert.py failed"
    start_impostor "$port" "$E2E_WORK/forged.crt" "$answer"
    /opt/quillmesh/etc/init start >/dev/null

    e2e_wait_log "$refused" 30 || fail "$server: \"$refused\" not logged"
    /opt/quillmesh/etc/init stop >/dev/null
    stop_impostor
    # s_server prints what it receives; a request would start with the message header.
    check "$server: nothing reached the impostor" sh -c "! grep -qF '{\"H\":' '$E2E_WORK/impostor.out'"
    grep -q '1 server accepts that finished' "$E2E_WORK/impostor.out" &&
        note "$server: the TLS library completed the impostor's handshake; the pin refused it"
    while read -r trace; do
        check "$server: no file holds \"${trace:0:24}...\"" sh -c \
            "! grep -rqF -- '$trace' /opt/quillmesh /var/data/quillmesh_certs"
    done < <(traces "$answer")
    [ "$server" = cs ] && kill "$E2E_PEERS_PID" 2>/dev/null
done
check_eq "the CS's certificate pinned from the real DS" "$(cat "$E2E_CERTS/cs.crt")" "$(cat $SSL_DIR/cs_cert.crt 2>/dev/null)"

e2e_finish
