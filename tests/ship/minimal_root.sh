#!/bin/bash
# Runs inside the router sandbox: builds the module package from a packaging build, checks that
# its programs need nothing but the C library and the bundled lib/ directory, installs it with
# the package's own grafter into a root that holds only busybox and the C library, and checks
# that quillmeshd starts there: "started." and its first state line reach the log.
#   minimal_root.sh PACKAGE_BUILD_DIR
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "${QM_SANDBOX:-}" = 1 ] || fail "run me inside tests/sandbox/qm-sandbox"
[ $# -eq 1 ] || fail "usage: $0 PACKAGE_BUILD_DIR"
PKG_BUILD=$1
SRC=$(cd "$(dirname "$0")/../.." && pwd)
[ -f "$PKG_BUILD/bundled_libs" ] || fail "$PKG_BUILD is not a packaging build (no bundled_libs); run ./qm package"

WORK=$(mktemp -d /tmp/minimal_root.XXXXXX)
R=$WORK/root
cleanup() {
    if [ -x "$R/opt/quillmesh/etc/init" ] && mountpoint -q "$R/proc"; then
        chroot "$R" /opt/quillmesh/etc/init stop >/dev/null 2>&1 || true
    fi
    for m in "$R/dev" "$R/proc"; do
        mountpoint -q "$m" && umount -l "$m"
    done
    rm -rf "$WORK"
}
trap cleanup EXIT

# --- the package ------------------------------------------------------------------------------
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=test-ds \
    -keyout "$WORK/ds.key" -out "$WORK/ds.crt" 2>/dev/null
PACKAGE=$WORK/quillmesh.um.v4.tgz
QM_PACKAGE_OUT=$PACKAGE "$SRC/module/package.sh" "$PKG_BUILD" "$WORK/ds.crt" >/dev/null
listing=$(tar -tzf "$PACKAGE")
for entry in quillmesh/bin/quillmeshd quillmesh/bin/grafter quillmesh/lib/libcjson.so.1 quillmesh/etc/init; do
    grep -qx "$entry" <<<"$listing" || fail "package lacks $entry"
done

# --- what the programs need: the C library and the bundled directory, nothing else -----------
mkdir -p "$WORK/unpacked"
tar -xzf "$PACKAGE" -C "$WORK/unpacked"
for prog in quillmeshd grafter; do
    bin=$WORK/unpacked/quillmesh/bin/$prog
    out=$(ldd "$bin") || fail "ldd $prog: $out"
    echo "ldd $prog:"
    echo "$out"
    ! grep -q 'not found' <<<"$out" || fail "$prog misses a library"
    while read -r name _ path _; do
        case "$name" in
            linux-vdso.so.*|/lib*/ld-linux*|libc.so.*|libm.so.*) ;;
            libcjson.so.*)
                [ "$path" = "$WORK/unpacked/quillmesh/bin/../lib/$name" ] ||
                    fail "$prog takes $name from $path, not from the bundled directory" ;;
            *) fail "$prog needs $name ($path)" ;;
        esac
    done <<<"$out"
done
readelf -d "$WORK/unpacked/quillmesh/bin/quillmeshd" | grep -q 'R.*PATH.*\$ORIGIN/../lib' ||
    fail "quillmeshd has no \$ORIGIN-relative run path"
# A C++ file stream anywhere in the daemon links the locale machinery of the static C++ library,
# some 400 KB of code that the router keeps resident for the daemon's life: files are read with
# stdio. (The packaging build's own program still has its symbols.)
if nm -C "$PKG_BUILD/daemon/quillmeshd" | grep 'std::basic_ios<' >/dev/null; then
    fail "quillmeshd links the C++ stream classes (std::basic_ios): read files with stdio"
fi

# --- the minimal root: busybox and the C library ---------------------------------------------
BUSYBOX=$(command -v busybox)
LIBDIR=$(dirname "$(ldd "$BUSYBOX" | awk '$1 == "libc.so.6" { print $3 }')")
LOADER=$(readelf -l "$BUSYBOX" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
mkdir -p "$R"/{bin,sbin,usr/bin,usr/sbin,opt,tmp,proc,dev,etc,var/log,var/www,var/data}
mkdir -p "$R$LIBDIR" "$R$(dirname "$LOADER")"
cp -L "$LOADER" "$R$LOADER"
for lib in libc.so.6 libm.so.6 libresolv.so.2; do
    cp -L "$LIBDIR/$lib" "$R$LIBDIR/$lib"
done
cp "$BUSYBOX" "$R/bin/busybox"
for applet in sh ash cat cp mv rm ln mkdir chmod tar gzip grep cut head tail tr awk sleep usleep \
    kill ls find logger; do
    ln -s busybox "$R/bin/$applet"
done
chmod 1777 "$R/tmp"
# The router's programs that the daemon asks for their versions at start-up.
printf '#!/bin/sh\necho "OpenSSL 3.0.11 19 Sep 2023"\n' >"$R/usr/bin/openssl"
printf '#!/bin/sh\necho "OpenVPN 2.6.3 arm-unknown-linux-gnu"\n' >"$R/usr/sbin/openvpnd"
chmod 755 "$R/usr/bin/openssl" "$R/usr/sbin/openvpnd"
# The device certificate made beforehand: the router's openssl is not part of this root.
SSL=$R/var/data/quillmesh_certs/certificates/ssl
mkdir -p "$SSL"
openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -days 30 -subj /CN=router \
    -keyout "$SSL/dev_cert.pem" -out "$SSL/dev_cert.crt" 2>/dev/null
chmod 600 "$SSL/dev_cert.pem"

mount -t proc proc "$R/proc"
mount --bind /dev "$R/dev" # null, and the sandbox's /dev/log
chroot "$R" /bin/sh -c 'echo hello' >/dev/null || fail "busybox does not run in the minimal root"

# --- installation with the package's own grafter ----------------------------------------------
mkdir -p "$R/tmp/vpn_module_tbd/module" "$R/tmp/first"
cp "$PACKAGE" "$R/tmp/vpn_module_tbd/module/"
cp -a "$WORK/unpacked/quillmesh/bin/grafter" "$WORK/unpacked/quillmesh/lib" "$R/tmp/first/"
log_lines_before=$(wc -l </var/log/messages)
status=0
chroot "$R" /tmp/first/grafter /tmp/vpn_module_tbd/module/quillmesh.um.v4.tgz || status=$?
[ "$status" -eq 0 ] || fail "grafter exited with $status"
for f in bin/quillmeshd bin/grafter lib/libcjson.so.1 etc/settings etc/settings.ovpn; do
    [ -e "$R/opt/quillmesh/$f" ] || fail "/opt/quillmesh/$f not installed"
done
[ "$(readlink "$R/var/www/quillmesh")" = /opt/quillmesh/www ] || fail "web pages not linked"
cmp -s "$WORK/ds.crt" "$SSL/ds_cert.crt" || fail "DS certificate not installed"

# --- quillmeshd, started by grafter through the module's init script --------------------------
new_log() { tail -n +"$((log_lines_before + 1))" /var/log/messages; }
for _ in $(seq 100); do
    new_log | grep -q 'RM STATE: 1 (Getting CS IP). State counter: 0' && break
    sleep 0.1
done
echo "log of the start:"
new_log | grep quillmeshd || true
new_log | grep -q 'quillmeshd\[[0-9]*\]: started\.$' || fail 'no "started." in the log'
new_log | grep -q 'quillmeshd\[[0-9]*\]: RM STATE: 1 (Getting CS IP)\. State counter: 0$' ||
    fail "no first state line in the log"
! new_log | grep -q 'Exiting\.\.\.' || fail "quillmeshd gave up at start-up"

# The supervisor under busybox's shell: a killed daemon is started again, and said so.
root_daemon=$(grep -lx quillmeshd /proc/[0-9]*/comm 2>/dev/null | cut -d/ -f3 || true)
[ "$(echo $root_daemon | wc -w)" = 1 ] || fail "not one quillmeshd: $root_daemon"
kill -KILL "$root_daemon"
for _ in $(seq 50); do
    grep -q "quillmesh-supervisor: quillmeshd (pid $root_daemon) was ended by signal 9 (SIGKILL)" /var/log/messages &&
        [ "$(new_log | grep -c 'quillmeshd\[[0-9]*\]: started\.$')" = 2 ] && break
    sleep 0.1
done
grep "quillmesh-supervisor" /var/log/messages || fail "the supervisor did not log the daemon's end"
[ "$(new_log | grep -c 'quillmeshd\[[0-9]*\]: started\.$')" = 2 ] || fail "the killed daemon was not started again"

chroot "$R" /opt/quillmesh/etc/init stop
for dir in /proc/[0-9]*; do
    [ "$(cat "$dir/comm" 2>/dev/null)" != quillmeshd ] || ! grep -q '^State:[[:space:]]*[^Z]' "$dir/status" 2>/dev/null ||
        fail "quillmeshd still runs after stop"
done
echo "PASS: the package runs in a root with busybox and the C library only"
