#!/bin/sh
# Throwaway certificate authorities for the tunnel peers.
#
#   make_ca.sh DIR
#
# Creates in DIR (which must not hold a CA yet, or is reused as it is):
#   ca.crt                        the tunnel CA (the CS's OpenVPN server trusts it)
#   server.crt server.key         the CS's OpenVPN server credentials
#   client.crt client.key         the device's OpenVPN credentials
#   client-expired.crt            the device's key in a certificate that expired in 2020
#   fleet.crt fleet.key           another device of the fleet: signed by the tunnel CA, with no
#                                 extended key usage (so neither a server's nor a client's)
#   other/ca.crt other/server.crt other/server.key other/client.crt other/client.key
#                                 a second, unrelated CA with its own server and client
# Keys are EC P-256, made with the openssl command line. Nothing outside DIR is touched.
set -eu

dir=${1:?usage: make_ca.sh DIR}
mkdir -p "$dir"
dir=$(cd "$dir" && pwd)

# One CA in directory $1 with common name $2.
make_authority() {
    ca=$1
    mkdir -p "$ca/db"
    [ -f "$ca/ca.crt" ] && return 0
    : >"$ca/db/index.txt"
    echo 1000 >"$ca/db/serial"
    cat >"$ca/openssl.cnf" <<CNF
[ ca ]
default_ca = test_ca
[ test_ca ]
dir = $ca/db
database = \$dir/index.txt
serial = \$dir/serial
new_certs_dir = \$dir
default_md = sha256
policy = any_name
unique_subject = no
copy_extensions = none
[ any_name ]
commonName = supplied
[ req ]
distinguished_name = dn
prompt = no
[ dn ]
CN = unused
[ ca_ext ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
[ server_ext ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyAgreement
extendedKeyUsage = serverAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ fleet_ext ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyAgreement
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
[ client_ext ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, keyAgreement
extendedKeyUsage = clientAuth
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid
CNF
    openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$ca/ca.key" 2>/dev/null
    openssl req -new -x509 -key "$ca/ca.key" -subj "/CN=$2" -days 3650 -config "$ca/openssl.cnf" \
        -extensions ca_ext -out "$ca/ca.crt"
}

# make_cert CA NAME COMMON_NAME EXTENSIONS [KEY] [openssl ca date options...]
make_cert() {
    ca=$1 name=$2 cn=$3 ext=$4 key=$5
    shift 5
    [ -f "$key" ] || openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$key" 2>/dev/null
    chmod 600 "$key"
    openssl req -new -key "$key" -subj "/CN=$cn" -config "$ca/openssl.cnf" -out "$ca/$name.csr"
    openssl ca -batch -notext -config "$ca/openssl.cnf" -extensions "$ext" -cert "$ca/ca.crt" -keyfile "$ca/ca.key" \
        -in "$ca/$name.csr" -out "$ca/$name.crt" "$@" 2>/dev/null
    rm -f "$ca/$name.csr"
}

make_set() {
    ca=$1 label=$2
    make_authority "$ca" "$label"
    [ -f "$ca/server.crt" ] || make_cert "$ca" server "$label server" server_ext "$ca/server.key" -days 3650
    [ -f "$ca/client.crt" ] || make_cert "$ca" client "$label device" client_ext "$ca/client.key" -days 3650
}

make_set "$dir" "QuillMesh test tunnel CA"
[ -f "$dir/client-expired.crt" ] ||
    make_cert "$dir" client-expired "QuillMesh test tunnel CA device" client_ext "$dir/client.key" \
        -startdate 20200101000000Z -enddate 20200102000000Z
[ -f "$dir/fleet.crt" ] ||
    make_cert "$dir" fleet "QuillMesh test tunnel CA other device" fleet_ext "$dir/fleet.key" -days 3650
make_set "$dir/other" "Unrelated test CA"
