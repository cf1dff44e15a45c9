#!/usr/bin/env bash
# Builds the QuillMesh module package quillmesh.um.v4.tgz.
#
#   module/package.sh BUILD_DIR [--sign SIGNING_KEY] [DS_CERT_PATH] [KEY=VALUE ...]
#
# BUILD_DIR holds the built programs (daemon/quillmeshd, grafter/grafter). DS_CERT_PATH is the
# operator's DS certificate (PEM); the package carries it and installs it where the daemon pins
# the DS. KEY=VALUE pairs change the defaults of etc/settings or etc/settings.ovpn (for example
# MOD_QUILLMESH_LOCAL_DS_IP1=192.0.2.10); only keys that exist there are accepted.
# With --sign, the package carries the public part of SIGNING_KEY (an Ed25519 or EC P-256 private
# key, PEM) as etc/package_signing.pem, so that routers which install it accept only packages
# signed with that key from then on, and the detached signature is written beside the package
# (<package>.sig).
# The package is written to $QM_PACKAGE_OUT, or BUILD_DIR/quillmesh.um.v4.tgz.
set -euo pipefail

die() { echo "package: $*" >&2; exit 1; }

[ $# -ge 1 ] || die "usage: $0 BUILD_DIR [DS_CERT_PATH] [KEY=VALUE ...]"
MODULE_SRC=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
BUILD_DIR=$(cd "$1" 2>/dev/null && pwd) || die "no build directory: $1"
shift

SIGNING_KEY=
if [ "${1:-}" = --sign ]; then
    [ $# -ge 2 ] || die "--sign needs a private key"
    SIGNING_KEY=$2
    shift 2
    openssl pkey -in "$SIGNING_KEY" -noout 2>/dev/null || die "not a private key: $SIGNING_KEY"
fi

DS_CERT=
if [ $# -ge 1 ] && [[ "$1" != *=* ]]; then
    DS_CERT=$1
    shift
fi
OVERRIDES=("$@")

OUT=${QM_PACKAGE_OUT:-$BUILD_DIR/quillmesh.um.v4.tgz}
DAEMON_BIN=$BUILD_DIR/daemon/quillmeshd
GRAFTER_BIN=$BUILD_DIR/grafter/grafter
[ -x "$DAEMON_BIN" ] || die "quillmeshd is not built: $DAEMON_BIN"
[ -x "$GRAFTER_BIN" ] || die "grafter is not built: $GRAFTER_BIN"
if [ -n "$DS_CERT" ]; then
    [ -f "$DS_CERT" ] || die "no such DS certificate: $DS_CERT"
    openssl x509 -noout -in "$DS_CERT" 2>/dev/null || die "not a PEM certificate: $DS_CERT"
fi

STAGE=$(mktemp -d)
trap 'rm -rf "$STAGE" "$OUT.tmp" "$OUT.sig.tmp"' EXIT
ROOT=$STAGE/quillmesh
mkdir -p "$ROOT/bin" "$ROOT/etc/defaults" "$ROOT/www"

install -m 755 "$DAEMON_BIN" "$ROOT/bin/quillmeshd"
install -m 755 "$GRAFTER_BIN" "$ROOT/bin/grafter"
# A packaging build (QM_PACKAGE_BUILD=ON) names the shared libraries that travel with the
# programs; they go to quillmesh/lib/ under their soname, where the programs' run path finds them.
if [ -f "$BUILD_DIR/bundled_libs" ]; then
    mkdir -p "$ROOT/lib"
    while IFS= read -r lib; do
        [ -n "$lib" ] || continue
        [ -f "$lib" ] || die "bundled library missing: $lib"
        soname=$(readelf -d "$lib" | sed -n 's/.*Library soname: \[\(.*\)\]/\1/p')
        [ -n "$soname" ] || die "no soname in $lib"
        install -m 644 "$lib" "$ROOT/lib/$soname"
    done <"$BUILD_DIR/bundled_libs"
fi
# Routers have little flash: ship the programs without debug information. A cross build names
# its own strip in STRIP.
STRIP=${STRIP:-strip}
if command -v "$STRIP" >/dev/null 2>&1; then
    "$STRIP" --strip-unneeded "$ROOT/bin/quillmeshd" "$ROOT/bin/grafter"
    if [ -d "$ROOT/lib" ]; then
        find "$ROOT/lib" -type f -exec "$STRIP" --strip-unneeded {} +
    fi
fi

install -m 755 "$MODULE_SRC/etc/init" "$ROOT/etc/init"
install -m 755 "$MODULE_SRC/etc/install" "$ROOT/etc/install"
install -m 644 "$MODULE_SRC/etc/settings" "$ROOT/etc/settings"
install -m 644 "$MODULE_SRC/etc/settings.ovpn" "$ROOT/etc/settings.ovpn"
install -m 644 "$MODULE_SRC/etc/trial" "$ROOT/etc/trial"
if [ -f "$MODULE_SRC/etc/init.ovpn" ]; then
    install -m 755 "$MODULE_SRC/etc/init.ovpn" "$ROOT/etc/init.ovpn"
else
    echo "package: warning: module/etc/init.ovpn does not exist yet; the package has no tunnel script" >&2
fi
if [ -n "$DS_CERT" ]; then
    install -m 644 "$DS_CERT" "$ROOT/etc/ds_cert.crt"
else
    echo "package: warning: no DS certificate given; the daemon starts only where one is installed" >&2
fi
cp -R "$MODULE_SRC/www/." "$ROOT/www/"
if [ -n "$SIGNING_KEY" ]; then
    openssl pkey -in "$SIGNING_KEY" -pubout -out "$ROOT/etc/package_signing.pem"
    chmod 644 "$ROOT/etc/package_signing.pem"
fi

# Changed defaults: the key must exist in one of the two settings files; a value with a space
# is written between double quotes, as the daemon writes it.
for pair in "${OVERRIDES[@]}"; do
    [[ "$pair" == *=* ]] || die "not KEY=VALUE: $pair"
    key=${pair%%=*}
    value=${pair#*=}
    [[ "$key" =~ ^[A-Z0-9_]+$ ]] || die "bad key: $key"
    [[ "$value" != *'"'* && "$value" != *$'\n'* && "$value" != *$'\r'* ]] || die "bad value for $key"
    [[ "$value" == *' '* ]] && value="\"$value\""
    file=
    for f in settings settings.ovpn; do
        grep -q "^$key=" "$ROOT/etc/$f" && file=$ROOT/etc/$f
    done
    [ -n "$file" ] || die "unknown settings key: $key"
    awk -v k="$key" -v v="$value" 'index($0, k "=") == 1 { print k "=" v; next } { print }' \
        "$file" >"$file.new" && mv "$file.new" "$file"
done

# Every key the module uses is explained on its web page.
for f in settings settings.ovpn; do
    for key in $(cut -d= -f1 "$ROOT/etc/$f"); do
        grep -q "<code>$key</code>" "$ROOT/www/index.html" || die "www/index.html does not describe $key"
    done
    cp "$ROOT/etc/$f" "$ROOT/etc/defaults/$f"
done

mkdir -p "$(dirname "$OUT")"
tar -czf "$OUT.tmp" --owner=0 --group=0 --numeric-owner -C "$STAGE" quillmesh
if [ -n "$SIGNING_KEY" ]; then
    # Ed25519 signs the package itself; an EC key signs its SHA-256 digest.
    if openssl pkey -in "$SIGNING_KEY" -noout -text 2>/dev/null | head -n 1 | grep -qi ed25519; then
        openssl pkeyutl -sign -rawin -inkey "$SIGNING_KEY" -in "$OUT.tmp" -out "$OUT.sig.tmp"
    else
        openssl dgst -sha256 -sign "$SIGNING_KEY" -out "$OUT.sig.tmp" "$OUT.tmp"
    fi
    mv -f "$OUT.sig.tmp" "$OUT.sig"
else
    rm -f "$OUT.sig"
fi
mv -f "$OUT.tmp" "$OUT"
echo "$OUT"
