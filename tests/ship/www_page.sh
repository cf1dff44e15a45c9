#!/bin/bash
# Runs inside the router sandbox: the module's status page (www/status.cgi) with settings and log
# lines of its own. Without options the CGI runs as the web server would run it and its page is
# checked; with --browser DIR the page is also served by busybox httpd from /var/www/quillmesh and
# opened in headless chromium, which must show the same, and its screenshot is kept as
# DIR/www_status.png.
#   www_page.sh [--browser ARTEFACT_DIR]
set -euo pipefail

fail() { echo "FAIL: $*" >&2; exit 1; }
[ "${QM_SANDBOX:-}" = 1 ] || fail "run me inside tests/sandbox/qm-sandbox"
BROWSER_OUT=
if [ "${1:-}" = --browser ]; then
    [ $# -eq 2 ] || fail "usage: $0 [--browser ARTEFACT_DIR]"
    BROWSER_OUT=$2
fi
SRC=$(cd "$(dirname "$0")/../.." && pwd)

# The module's files as grafter installs them.
mkdir -p /opt/quillmesh/etc
cp -R "$SRC/module/www" /opt/quillmesh/www
ln -sfn /opt/quillmesh/www /var/www/quillmesh
sed -e 's/^MOD_QUILLMESH_UCID=.*/MOD_QUILLMESH_UCID="Acme <Plant> 7"/' \
    -e 's/^MOD_QUILLMESH_LOCAL_DS_IP1=.*/MOD_QUILLMESH_LOCAL_DS_IP1=192.0.2.10/' \
    "$SRC/module/etc/settings" >/opt/quillmesh/etc/settings
printf 'QUILLMESH_TUNDEV=tun0\r\nQUILLMESH_REMOTE_IPADDR=198.51.100.7\r\n' >/opt/quillmesh/etc/settings.ovpn
cat >>/var/log/messages <<'LOG'
Dec  9 09:59:58 router daemon.info quillmeshd[41]: RM STATE: 1 (Getting CS IP). State counter: 0
Dec  9 10:00:01 router daemon.info quillmeshd[41]: RM STATE: 7 (Creating Managing Socket). State counter: 0
Dec  9 10:00:02 router daemon.info ferryd[77]: RM STATE: 9 (OVPN Recovery). State counter: 0
Dec  9 10:00:02 router daemon.info quillmeshd[41]: RM STATE: 8 (Listening). State counter: 3
Dec  9 10:00:03 router daemon.notice quillmeshd[41]: Ready for incoming messages.
LOG

# --- the page as the CGI writes it ------------------------------------------------------------
page=$(cd /var/www/quillmesh && REQUEST_METHOD=GET ./status.cgi)
check_page() { # page text, what it must show
    local text=$1
    grep -q '<div class="name">Listening</div>' <<<"$text" || fail "$2: the last state is not Listening"
    grep -q 'Dec  9 10:00:02 RM STATE: 8 (Listening). State counter: 3' <<<"$text" ||
        fail "$2: the last state line is not shown"
    ! grep -q 'OVPN Recovery' <<<"$text" || fail "$2: another program's line is taken for a state line"
    grep -q '<code>MOD_QUILLMESH_UCID</code></th><td>Acme &lt;Plant&gt; 7</td>' <<<"$text" ||
        fail "$2: the UCID is not shown unquoted and escaped"
    ! grep -q '<Plant>' <<<"$text" || fail "$2: a setting's value reaches the page unescaped"
    grep -q '<code>MOD_QUILLMESH_LOCAL_DS_IP1</code></th><td>192.0.2.10</td>' <<<"$text" ||
        fail "$2: a module setting is missing"
    grep -q '<code>QUILLMESH_REMOTE_IPADDR</code></th><td>198.51.100.7</td>' <<<"$text" ||
        fail "$2: a tunnel setting is missing (or its line end is kept)"
    grep -q '<b id="running">no</b>' <<<"$text" || fail "$2: the daemon is reported running"
}
head -n 1 <<<"$page" | grep -q '^Content-Type: text/html' || fail "no CGI header"
grep -q 'name="viewport" content="width=device-width' <<<"$page" || fail "the page does not fit phones"
check_page "$page" "CGI"

# Without log and settings the page still comes, and says so.
mv /var/log/messages /var/log/messages.away
mv /opt/quillmesh/etc/settings /opt/quillmesh/etc/settings.away
empty=$(cd /var/www/quillmesh && ./status.cgi)
mv /var/log/messages.away /var/log/messages
mv /opt/quillmesh/etc/settings.away /opt/quillmesh/etc/settings
grep -q 'No state line in /var/log/messages yet.' <<<"$empty" || fail "a missing log is not reported"
grep -q 'not readable' <<<"$empty" || fail "a missing settings file is not reported"
echo "PASS: status page from the CGI"
[ -n "$BROWSER_OUT" ] || exit 0

# --- the page in a real browser ---------------------------------------------------------------
CHROMIUM=$(command -v chromium || true)
[ -n "$CHROMIUM" ] || fail "chromium is not installed (./qm browser installs it)"
mkdir -p "$BROWSER_OUT"
WORK=$(mktemp -d /tmp/www_page.XXXXXX)
HTTPD_PID=
cleanup() {
    [ -n "$HTTPD_PID" ] && kill "$HTTPD_PID" 2>/dev/null
    rm -rf "$WORK"
}
trap cleanup EXIT
echo '*.cgi:/bin/sh' >"$WORK/httpd.conf"
busybox httpd -f -p 127.0.0.1:8080 -h /var/www -c "$WORK/httpd.conf" &
HTTPD_PID=$!
for _ in $(seq 50); do
    busybox wget -q -O /dev/null http://127.0.0.1:8080/quillmesh/index.html 2>/dev/null && break
    sleep 0.1
done
URL=http://127.0.0.1:8080/quillmesh/status.cgi
browse() {
    HOME=$WORK timeout 60 "$CHROMIUM" --headless --no-sandbox --disable-gpu --disable-dev-shm-usage \
        --disable-background-networking --disable-extensions --disable-sync --no-first-run \
        --hide-scrollbars --user-data-dir="$WORK/profile" --window-size=390,844 "$@" "$URL" 2>"$WORK/chromium.log"
}
dom=$(browse --dump-dom) || { cat "$WORK/chromium.log" >&2; fail "chromium could not load $URL"; }
check_page "$dom" "browser"
browse --screenshot="$BROWSER_OUT/www_status.png" >/dev/null ||
    { cat "$WORK/chromium.log" >&2; fail "no screenshot"; }
[ -s "$BROWSER_OUT/www_status.png" ] || fail "empty screenshot"
echo "PASS: status page in chromium; screenshot $BROWSER_OUT/www_status.png"
