#!/usr/bin/env bash
# Checks of the router sandbox, run on the machine itself (not inside a sandbox), because they
# also look at what the sandbox leaves behind.
#   selftest.sh isolation|syslog|standins|network|cleanup|var_checkout|link
set -uo pipefail

HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
SB=$HERE/qm-sandbox
FAILS=0
WORK=$(mktemp -d "$PWD/qmsb-selftest.XXXXXX")
CLEAN=("$WORK")
trap 'rm -rf --one-file-system "${CLEAN[@]}"' EXIT
trap 'exit 129' HUP
trap 'exit 130' INT
trap 'exit 143' TERM

# Scratch directories below /var/tmp carry the PID of their run; those of runs killed outright
# go now.
VAR_SCRATCH=/var/tmp/qmsb-selftest
for d in "$VAR_SCRATCH"-*; do
  pid=${d#"$VAR_SCRATCH"-}
  pid=${pid%%.*}
  [ -d "$d" ] && ! kill -0 "$pid" 2>/dev/null && rm -rf --one-file-system "$d"
done
var_scratch() { # VARIABLE: a new directory below /var/tmp, removed on exit
  local scratch
  scratch=$(mktemp -d "$VAR_SCRATCH-$$.XXXXXX") || exit 1
  CLEAN+=("$scratch")
  printf -v "$1" %s "$scratch"
}

fail() {
  echo "FAIL: $*" >&2
  FAILS=$((FAILS + 1))
}
ok() { echo "ok: $*"; }

# Inside the sandbox: `check DESCRIPTION COMMAND...` reports each failed expectation and the
# script's status says whether all held.
PRELUDE='
set -u
FAILS=0
check() {
  local what=$1; shift
  if "$@"; then echo "ok: $what"; else echo "FAIL: $what" >&2; FAILS=$((FAILS + 1)); fi
}
same() { [ "$1" = "$2" ] || { printf "  expected [%s]\n  got      [%s]\n" "$2" "$1" >&2; return 1; }; }
'
in_sandbox() { # description script [sandbox options...]
  local what=$1 script=$2
  shift 2
  if "$SB" "$@" -- bash -c "$PRELUDE$script"$'\nexit $FAILS'; then
    ok "$what"
  else
    fail "$what"
  fi
}

# Nothing of sandbox ID may remain: names, mounts, state directory, processes.
assert_gone() { # id
  local id=$1
  [ -n "$id" ] || { fail "no sandbox id reported"; return; }
  if ip netns list | grep -q "^$id-"; then fail "$id: network namespace left behind"; fi
  if grep -Eq "/$id(-r|-cs|-l|/[^ ]*)? " /proc/self/mountinfo; then fail "$id: mount left behind"; fi
  if [ -e "/run/$id" ]; then fail "$id: state directory left behind"; fi
  if [ -n "$(pgrep -f "qmsb-selftest-marker-$id " || true)" ]; then
    fail "$id: process left behind"
  fi
}

case_isolation() {
  local host_marker=$WORK/host-only repo=${HERE%/tests/sandbox} carried d
  # A build tree apart from the repository and the working directory, below the overlaid /var.
  var_scratch carried
  CLEAN+=("$repo/qmsb-selftest-$$")
  local shared=("$WORK" "$carried")
  [ -w "$repo" ] && shared+=("$repo")
  touch "$host_marker" /tmp/qmsb-selftest-host.$$
  in_sandbox "files written inside stay inside" '
    check "/tmp of the machine is hidden" [ ! -e /tmp/qmsb-selftest-host.'$$' ]
    check "the working directory of the caller is kept" [ -e '"$host_marker"' ]
    check "PID namespace: the sandbox starts it" [ "$(ps | awk "NR == 2 {print \$1}")" = 1 ]
    check "no processes of the machine are visible" [ "$(ps | wc -l)" -lt 10 ]
    check "QM_SANDBOX is set" [ "$QM_SANDBOX" = 1 ]
    check "/var/log starts empty but for messages" same "$(ls /var/log)" messages
    case "$PWD" in
      /opt/*) ;; # the caller'"'"'s own tree is carried over into /opt
      *) check "/opt starts empty" same "$(ls /opt)" "" ;;
    esac
    check "settings.eth default" grep -qx ETH_IPADDR=192.168.1.1 /etc/settings.eth
    check "no settings.wlan by default" [ ! -e /etc/settings.wlan ]
    check "/dev is private" [ -c /dev/null ] && [ -c /dev/urandom ] && [ -S /dev/log ] && [ ! -e /dev/vda ]
    check "/tmp is writable by all" same "$(stat -c %a /tmp)" 1777
    for d in /opt /tmp /var/data /var/log /var/www /var/sandbox /etc /var/lib /usr/bin /usr/sbin /run '"$(printf '%q ' "${shared[@]}")"'; do
      echo x >"$d/qmsb-selftest-'$$'" || { echo "FAIL: cannot write $d" >&2; FAILS=$((FAILS + 1)); }
    done
  ' --carry "$carried"
  rm -f /tmp/qmsb-selftest-host.$$
  for d in /opt /tmp /var/data /var/log /var/www /var/sandbox /etc /var/lib /usr/bin /usr/sbin /run; do
    [ -e "$d/qmsb-selftest-$$" ] && fail "$d/qmsb-selftest-$$ reached the machine"
  done
  # The working directory, the repository and a carried build tree are the machine's own.
  local lost=0
  for d in "${shared[@]}"; do
    [ -e "$d/qmsb-selftest-$$" ] && continue
    fail "$d/qmsb-selftest-$$ written inside did not reach the machine"
    lost=1
  done
  [ "$lost" = 1 ] || ok "files written in the working directory, the repository and a carried directory reach the machine"

  # While a sandbox runs, none of its mounts shows on the machine.
  "$SB" -- sh -c "echo \$QM_SANDBOX_ID >'$WORK/id'; for i in \$(seq 1 200); do [ -e '$WORK/go' ] && break; sleep 0.05; done" &
  local pid=$! i
  for i in $(seq 1 100); do [ -s "$WORK/id" ] && break; sleep 0.05; done
  local id
  id=$(cat "$WORK/id" 2>/dev/null)
  if grep -q "qmsb-etc\|$WORK/.*qmsb\|qmsb-dev" /proc/self/mountinfo; then
    fail "sandbox mounts visible on the machine while it runs"
  else
    ok "sandbox mounts invisible on the machine while it runs"
  fi
  touch "$WORK/go"
  wait "$pid" || fail "waiting sandbox failed"
  assert_gone "$id"
}

case_syslog() {
  in_sandbox "syslog collects into /var/log/messages" '
    logger -t qmsb-test "hello from the router"
    logger -p daemon.err -t quillmeshd --id=4242 "Unable to establish OVPN tunnel (error: 267)."
    for i in $(seq 1 100); do grep -q "error: 267" /var/log/messages && break; sleep 0.02; done
    check "logger line arrives" grep -q "qmsb-test: hello from the router" /var/log/messages
    check "priority and PID are kept" grep -q "daemon.err quillmeshd\[4242\]: Unable to establish OVPN tunnel (error: 267)." /var/log/messages
    check "syslogd runs from busybox" sh -c "ps | grep -v grep | grep -q \"syslogd -n -O /var/log/messages\""
  '
}

case_standins() {
  in_sandbox "status stand-in" '
    check "sys section" same "$(status -v sys | grep "^Serial Number")" "Serial Number        : A1234"
    check "lan MAC" grep -q "^MAC Address *: 00:0A:14:81:7A:1B$" /var/sandbox/status/lan
    check "second module" sh -c "status -v \"module 2\" | grep -q ^IMEI"
    status -v module >/dev/null
    check "unknown section fails" sh -c "! status -v nosuch 2>/dev/null"
    echo 3 >/var/sandbox/status/lan.rc
    status -v lan >/dev/null; rc=$?
    check "failure from lan.rc" same "$rc" 3
    rm /var/sandbox/status/sys
    check "missing section file fails" sh -c "! status -v sys >/dev/null 2>&1"
    check "calls recorded per section" same "$(sort /var/sandbox/calls/status | uniq -c | tr -s " ")" \
" 1 lan
 1 module
 1 module 2
 1 nosuch
 2 sys"
  '
  in_sandbox "service stand-in" '
    /sbin/service bard restart; a=$?
    echo 1 >/var/sandbox/service/eth.rc
    service eth restart; b=$?
    check "default status 0" same "$a" 0
    check "status from NAME.rc" same "$b" 1
    check "calls recorded" same "$(cat /var/sandbox/calls/service)" "bard restart
eth restart"
  '
  in_sandbox "restore stand-in" '
    printf "WLAN_IPADDR=10.1.0.1\nWLAN_ENABLED=1\nETH2_IPADDR=10.2.0.1\n" >/etc/settings.wlan
    printf "ETH_IPADDR=10.0.0.1\nETH2_NETMASK=255.255.0.0\nWIFI_AP_IPADDR=10.3.0.1\nOTHER=1\nnot a setting\nPPP_ENABLED=0\nBACKRT_ENABLED=1\n" >/tmp/lan
    /usr/sbin/restore /tmp/lan; rc=$?
    check "restore succeeds" same "$rc" 0
    check "existing key replaced in place" same "$(head -1 /etc/settings.eth)" ETH_IPADDR=10.0.0.1
    check "other keys kept" grep -qx ETH_NETMASK=255.255.255.0 /etc/settings.eth
    check "new key appended" same "$(tail -1 /etc/settings.eth)" ETH2_NETMASK=255.255.0.0
    check "wlan file untouched without WLAN keys" same "$(cat /etc/settings.wlan)" "WLAN_IPADDR=10.1.0.1
WLAN_ENABLED=1
ETH2_IPADDR=10.2.0.1"
    check "WIFI_AP keys go to settings.wifi_ap" same "$(cat /etc/settings.wifi_ap)" WIFI_AP_IPADDR=10.3.0.1
    check "unknown keys ignored" sh -c "! grep -q OTHER /etc/settings.*"
    check "PPP and BACKRT keys go to their files" same "$(cat /etc/settings.ppp /etc/settings.backrt)" "PPP_ENABLED=0
BACKRT_ENABLED=1"
    echo 2 >/var/sandbox/restore.rc
    printf "ETH_IPADDR=10.9.9.9\n" >/tmp/lan2
    restore /tmp/lan2; rc=$?
    check "failure from restore.rc" same "$rc" 2
    check "failing restore takes nothing over" grep -qx ETH_IPADDR=10.0.0.1 /etc/settings.eth
    touch /var/sandbox/restore.apply-on-failure
    restore /tmp/lan2; rc=$?
    check "apply-on-failure takes over and fails" sh -c "[ $rc = 2 ] && grep -qx ETH_IPADDR=10.9.9.9 /etc/settings.eth"
    check "calls recorded with content" same "$(cat /var/sandbox/calls/restore)" "/tmp/lan
/tmp/lan2
/tmp/lan2"
    check "content copied" cmp -s /tmp/lan /var/sandbox/calls/restore.1
    check "name called by recorded" same "$(head -1 /var/sandbox/calls/restore.via)" /usr/sbin/restore
  '
  in_sandbox "openvpnd stand-in" '
    check "Debian version by default" sh -c "/usr/sbin/openvpnd --version | head -1 | grep -q \"^OpenVPN 2\.[6-9]\""
    echo 2.3.17 >/var/sandbox/openvpnd.version
    check "configured version" same "$(/usr/sbin/openvpnd --version | head -1 | awk "{print \$2}")" 2.3.17
    check "rest of the first line kept" sh -c "/usr/sbin/openvpnd --version | head -1 | grep -q \"^OpenVPN 2.3.17 .*SSL\""
    rm /var/sandbox/openvpnd.version
    # A tunnel with Debian openvpn on the CS side: the router end runs as ferryd.
    "$QM_PEER" openvpn --dev tun7 --dev-type tun --ifconfig 10.8.0.2 10.8.0.1 --remote "$QM_ROUTER_ADDR" \
      --syslog cs-ovpn --verb 3 --daemon
    (exec -a ferryd /usr/sbin/openvpnd --dev tun7 --dev-type tun --ifconfig 10.8.0.1 10.8.0.2 \
       --remote "$QM_CS_ADDR" --syslog ferryd --verb 3 >/dev/null 2>&1 &)
    pid=
    for i in $(seq 1 200); do
      pid=$(ps | grep ferryd | grep tun7 | grep -v grep | awk "{print \$1}")
      [ -n "$pid" ] && grep -q "ferryd.$pid.: Initialization Sequence Completed" /var/log/messages && break
      sleep 0.05
    done
    check "runs openvpn as ferryd" [ -n "$pid" ]
    check "tunnel comes up and logs with its PID" grep -q "ferryd\[$pid\]: Initialization Sequence Completed" /var/log/messages
    check "tunnel device has its address" sh -c "ifconfig tun7 | grep -q \"inet addr:10.8.0.1 \""
    check "CS side answers through the tunnel" ping -c 1 -W 5 10.8.0.2
    check "calls recorded" same "$(head -1 /var/sandbox/calls/openvpnd)" --version
  '
  in_sandbox "settings take effect when a service restarts or the router boots" '
    ip link add eth0 type veth peer name eth0-peer
    printf "ETH_IPADDR=10.99.0.100\nETH_NETMASK=255.255.255.128\n" >/tmp/lan && restore /tmp/lan
    check "restore alone changes no interface" same "$(ip -4 -o addr show eth0)" ""
    service eth restart
    check "eth restart: eth0 as in settings.eth" sh -c "ip -4 -o addr show eth0 | grep -q \" 10.99.0.100/25 \""
    check "its route wins for the WAN next hop" sh -c "ip route get 10.99.0.1 | grep -q \" dev eth0 \""
    printf "PPP_ENABLED=0\n" >/tmp/wan && restore /tmp/wan && service ppp restart
    check "ppp restart with PPP_ENABLED=0: no default route" same "$(ip route show default)" ""
    printf "PPP_ENABLED=\nETH_IPADDR=192.168.1.1\nETH_NETMASK=255.255.255.0\n" >/tmp/back && restore /tmp/back
    cp /bin/sleep /tmp/quillmeshd && (/tmp/quillmeshd 60 &)
    touch /var/sandbox/reboot.boots
    reboot
    for i in $(seq 1 100); do [ -s /var/sandbox/calls/boot ] && break; sleep 0.05; done
    check "reboot plays a boot" same "$(cat /var/sandbox/calls/boot)" boot
    check "the boot ends quillmeshd" sh -c "! ps | grep -v grep | grep -q quillmeshd"
    check "the boot applies every setting" sh -c "ip route show default | grep -q \"via 10.99.0.1 dev wan0\" &&
      ip -4 -o addr show eth0 | grep -q \" 192.168.1.1/24 \""
  '
  in_sandbox "reboot only records" '
    reboot; /sbin/reboot -f; /usr/sbin/halt; poweroff; shutdown -r now; systemctl reboot; /sbin/init 6
    check "all recorded" same "$(cat /var/sandbox/calls/reboot)" "reboot
reboot -f
halt
poweroff
shutdown -r now
systemctl reboot
init 6"
  '
  in_sandbox "router userland" '
    check "ps is busybox whatever PATH" same "$(PATH=/bin:/usr/bin readlink -f "$(PATH=/bin:/usr/bin command -v ps)")" /usr/bin/busybox
    check "ps from sbin too" same "$(readlink -f /usr/sbin/ps)" /usr/bin/busybox
    check "busybox ps lists PID first" same "$(ps | head -1 | awk "{print \$1}")" PID
    check "ifconfig is busybox" same "$(PATH=/usr/bin:/bin readlink -f "$(PATH=/usr/bin:/bin command -v ifconfig)")" /usr/bin/busybox
    check "ifconfig prints inet addr" sh -c "ifconfig wan0 | grep -q \"inet addr:10.99.0.2 \""
    check "openssl is the real one" sh -c "openssl version | grep -q ^OpenSSL"
    check "host name router" same "$(hostname)" router
    check "sudo runs without a complaint" same "$(sudo -n true 2>&1)" ""
    check "unknown names fail at once" sh -c "! getent hosts ds.invalid.example"
  '
}

case_network() {
  in_sandbox "router and CS side" '
    check "router address" sh -c "ip -4 addr show wan0 | grep -q \"inet 10.99.0.2/24\""
    check "default route via the CS side" same "$(ip route show default)" "default via 10.99.0.1 dev wan0 "
    check "CS reachable" ping -c 1 -W 5 "$QM_CS_ADDR"
    check "peer in the CS namespace" sh -c "\"\$QM_PEER\" ip -4 addr show cs0 | grep -q \"inet 10.99.0.1/24\""
    check "router reachable from the peer" "$QM_PEER" ping -c 1 -W 5 "$QM_ROUTER_ADDR"
    "$QM_PEER" sh -c "echo peer >/tmp/from-peer"
    check "peer shares the files" same "$(cat /tmp/from-peer)" peer
    check "peer shares the processes" same "$("$QM_PEER" cat /proc/1/cmdline | tr "\0" " ")" "$(tr "\0" " " </proc/1/cmdline)"
    check "namespace named" same "$(ip netns list | grep -c "$QM_SANDBOX_ID")" 2
  '
  # Two at once, as under ctest -j2.
  "$SB" -- sh -c "echo \$QM_SANDBOX_ID >'$WORK/a'; sleep 0.5; ping -c1 -W5 \$QM_CS_ADDR >/dev/null" &
  local a=$!
  "$SB" -- sh -c "echo \$QM_SANDBOX_ID >'$WORK/b'; sleep 0.5; ping -c1 -W5 \$QM_CS_ADDR >/dev/null" &
  local b=$! ra rb
  wait $a; ra=$?
  wait $b; rb=$?
  if [ "$ra" = 0 ] && [ "$rb" = 0 ] && [ "$(cat "$WORK/a")" != "$(cat "$WORK/b")" ]; then
    ok "two sandboxes at once"
  else
    fail "two sandboxes at once ($ra, $rb)"
  fi
  assert_gone "$(cat "$WORK/a")"
  assert_gone "$(cat "$WORK/b")"
}

# Runs COMMAND in a sandbox that also leaves a detached process behind; checks the status.
status_case() { # expected description command...
  local expected=$1 what=$2 rc id
  shift 2
  "$SB" -- bash -c "echo \$QM_SANDBOX_ID >'$WORK/id'; setsid bash -c \"exec -a qmsb-selftest-marker-\$QM_SANDBOX_ID sleep 1000\" </dev/null >/dev/null 2>&1 & $*"
  rc=$?
  id=$(cat "$WORK/id")
  if [ "$rc" = "$expected" ]; then ok "$what: status $rc"; else fail "$what: status $rc, expected $expected"; fi
  assert_gone "$id"
}

case_cleanup() {
  status_case 0 "success" true
  status_case 7 "failure" "exit 7"
  status_case 127 "command not found" "exec /nonexistent/command"
  status_case 137 "command killed" 'kill -KILL $$'

  # Setting up that fails never runs the command.
  if "$SB" --no-such-option -- touch "$WORK/ran" 2>/dev/null; then fail "bad option accepted"; fi
  if "$SB" 2>/dev/null; then fail "missing command accepted"; fi
  [ -e "$WORK/ran" ] && fail "command ran although the sandbox was not set up"
  ok "bad usage refused"

  # Terminated from outside while the command runs.
  "$SB" -- bash -c "echo \$QM_SANDBOX_ID >'$WORK/tid'; exec -a qmsb-selftest-marker-\$QM_SANDBOX_ID sleep 1000" &
  local pid=$! i rc
  for i in $(seq 1 100); do [ -s "$WORK/tid" ] && break; sleep 0.05; done
  sleep 0.2
  kill -TERM "$pid"
  wait "$pid"; rc=$?
  if [ "$rc" = 143 ]; then ok "terminated: status 143"; else fail "terminated: status $rc"; fi
  assert_gone "$(cat "$WORK/tid")"

  # Killed outright: everything inside dies with it, and the next run clears the names.
  "$SB" -- bash -c "echo \$QM_SANDBOX_ID >'$WORK/kid'; exec -a qmsb-selftest-marker-\$QM_SANDBOX_ID sleep 1000" &
  pid=$!
  for i in $(seq 1 100); do [ -s "$WORK/kid" ] && break; sleep 0.05; done
  sleep 0.2
  kill -KILL "$pid"
  wait "$pid" 2>/dev/null
  local id
  id=$(cat "$WORK/kid")
  for i in $(seq 1 100); do
    [ -z "$(pgrep -f "qmsb-selftest-marker-$id " || true)" ] && break
    sleep 0.05
  done
  "$SB" -- true || fail "run after a killed one"
  assert_gone "$id"
  ok "killed sandbox cleared"

  # --keep leaves the sandbox's files for a look afterwards.
  "$SB" --keep -- sh -c "echo \$QM_SANDBOX_ID >'$WORK/keepid'; echo kept >/opt/k; logger keep-me" 2>"$WORK/keep.err"
  id=$(cat "$WORK/keepid")
  if [ -f "/run/$id/kept/opt/k" ] && grep -q keep-me "/run/$id/kept/var/log/messages"; then
    ok "--keep keeps the files"
  else
    fail "--keep: nothing in /run/$id/kept ($(cat "$WORK/keep.err"))"
  fi
  rm -rf --one-file-system "/run/$id"
}

# The isolation checks again from a copy of the sandbox's part of the checkout and a build tree
# below /var/tmp: build servers keep their workspaces under /var/lib, where the sandbox lays its
# overlay over /var.
case_var_checkout() {
  local d
  var_scratch d
  mkdir -p "$d/src/tests" "$d/build/tests/sandbox"
  cp -a "$HERE" "$d/src/tests/"
  if (cd "$d/build/tests/sandbox" && "$d/src/tests/sandbox/selftest.sh" isolation); then
    ok "isolation from a checkout below /var/tmp"
  else
    fail "isolation from a checkout below /var/tmp"
  fi
}

# The link emulator (QM_LINK) against its own settings: round trip and loss as ping measures
# them, each direction's loss from its counters, the rate limit as the extra time a large frame
# takes, and TCP through it (whole frames, no matter what the veth ends could offload).
LINK_PRELUDE='
between() { awk -v v="$1" -v lo="$2" -v hi="$3" "BEGIN { exit !(v >= lo && v <= hi) }"; }
rtt() { sed -n "s|^rtt min/avg/max/mdev = \([0-9.]*\)/\([0-9.]*\)/\([0-9.]*\)/.*|\1 \2 \3|p"; }
'
case_link() {
  local id
  QM_LINK=delay=40,jitter=10,loss=10 in_sandbox "link emulator: delay, jitter and loss" "$LINK_PRELUDE"'
    echo "$QM_SANDBOX_ID" >'"'$WORK/link-id'"'
    check "link namespace named" same "$(ip netns list | grep -c "$QM_SANDBOX_ID")" 3
    out=$(ping -c 400 -i 0.015 -q "$QM_CS_ADDR")
    read -r min avg max < <(echo "$out" | rtt)
    loss=$(echo "$out" | sed -n "s/.* \([0-9.]*\)% packet loss.*/\1/p")
    check "round trip 2 x 40 ms on average ($avg ms)" between "$avg" 78 90
    check "round trip at least 2 x (40 - 10) ms ($min ms)" between "$min" 59 100
    check "round trips lost: 1 - 0.9 x 0.9 = 19% ($loss%)" between "$loss" 12 26
    kill -USR1 "$(cat /var/sandbox/link.pid)"
    sleep 0.2
    while read -r dir _ passed _ lost _; do
      check "$dir loses 10% ($lost of $((passed + lost)))" between $((lost * 1000 / (passed + lost))) 50 150
    done </var/sandbox/link.stats
    check "counters of both directions" same "$(wc -l </var/sandbox/link.stats)" 2
  '
  QM_LINK=3g,jitter=0,loss=0,rate=1000 in_sandbox "link emulator: preset, rate limit, TCP" "$LINK_PRELUDE"'
    check "3g preset with overrides" same "$(head -n 4 /var/sandbox/link.settings | paste -sd " ")" \
      "delay=150 jitter=0 loss=0 rate=1000"
    read -r _ small _ < <(ping -c 5 -i 0.31 -q "$QM_CS_ADDR" | rtt)
    read -r _ big _ < <(ping -c 5 -i 0.31 -q -s 1400 "$QM_CS_ADDR" | rtt)
    check "round trip 2 x 150 ms ($small ms)" between "$small" 300 306
    # A 1442-byte frame against a 98-byte one at 1,000 kbit/s: 2 x 10.75 ms more.
    check "a large frame takes 21.5 ms more at the rate ($big - $small ms)" \
      between "$(awk -v a="$big" -v b="$small" "BEGIN { print a - b }")" 19 25
    head -c 100000 /dev/urandom >/tmp/sent
    "$QM_PEER" python3 -c "
import socket, sys
s = socket.create_server((\"$QM_CS_ADDR\", 5001)); open(\"/tmp/ready\", \"w\").close()
c, _ = s.accept(); f = open(\"/tmp/received\", \"wb\")
while True:
    b = c.recv(65536)
    if not b: break
    f.write(b)
" &
    while [ ! -e /tmp/ready ]; do sleep 0.05; done
    start=$(date +%s%N)
    python3 -c "
import socket
s = socket.create_connection((\"$QM_CS_ADDR\", 5001)); s.sendall(open(\"/tmp/sent\", \"rb\").read()); s.close()
"
    wait
    took=$((($(date +%s%N) - start) / 1000000))
    check "100 kB over TCP arrive whole" cmp -s /tmp/sent /tmp/received
    check "and take 0.8 s or more at the rate ($took ms)" between "$took" 800 20000
    kill -USR1 "$(cat /var/sandbox/link.pid)"
    sleep 0.2
    check "no frame too large for the emulator" same "$(grep -c " oversize 0 " /var/sandbox/link.stats)" 2
  '
  assert_gone "$(cat "$WORK/link-id")"
}

case "${1:-}" in
  isolation | syslog | standins | network | cleanup | var_checkout | link) "case_$1" ;;
  *)
    echo "usage: $0 isolation|syslog|standins|network|cleanup|var_checkout|link" >&2
    exit 2
    ;;
esac
[ "$FAILS" = 0 ] || { echo "$FAILS failure(s)" >&2; exit 1; }
