#!/usr/bin/env bash
# Injection corpus against the running daemon, every program it starts traced with strace: the
# valid requests first, then each field that reaches a command line, a path or a settings file
# fed shell metacharacters, a leading '-', "../" and absolute paths.
#   injection.sh BUILD_DIR     (inside the router sandbox)
set -u
E2E_BUILD=$1
. "$(dirname "$0")/../e2e/lib.sh"
HERE=$(cd "$(dirname "$0")" && pwd)

e2e_first_start
pid=$(e2e_daemon_pids | head -n 1)
etc_before=$(find /etc /opt -xdev -type f -newer "$E2E_WORK/peers.ready" 2>/dev/null | sort)

traced_run() { # trace-file injection.py-command
    strace -f -qq -s 4096 -e trace=execve,openat,open,creat,rename,renameat,renameat2,mkdir,mkdirat,symlink,symlinkat,link,linkat \
        -e signal=none -o "$1" -p "$pid" &
    local strace_pid=$!
    sleep 1
    "$QM_PEER" $E2E_PY "$HERE/injection.py" "$2" "$(e2e_tunnel_addr)" $CONTROL_PORT $CS_TUNNEL_ADDR
    # Staged files are applied after the answer: give them time before the trace ends.
    sleep 3
    # strace may take its time to let go of the daemon: ended for sure after 5 s.
    kill -TERM $strace_pid
    local n=0
    while kill -0 $strace_pid 2>/dev/null && [ $n -lt 50 ]; do sleep 0.1; n=$((n + 1)); done
    kill -KILL $strace_pid 2>/dev/null
    wait $strace_pid 2>/dev/null
}

traced_run "$E2E_WORK/baseline.trace" send-baseline
traced_run "$E2E_WORK/hostile.trace" send-hostile
$E2E_PY "$HERE/injection.py" check "$E2E_WORK/baseline.trace" "$E2E_WORK/hostile.trace"
check_status=$?
mkdir -p "$E2E_BUILD/injection-traces" && cp "$E2E_WORK"/*.trace "$E2E_BUILD/injection-traces/"
check "no program or argument beyond what valid requests start, no file written outside the staging directory" test $check_status -eq 0
check "no injected file" sh -c "! ls /tmp/qm_injected /etc/qm_injected /opt/qm_injected 2>/dev/null | grep -q ."
check "no settings file holds the injected text" sh -c "! grep -rl qm_injected /etc /opt 2>/dev/null | grep -q ."
check_eq "the same daemon, still listening" "$pid 8 (Listening)" "$(e2e_daemon_pids | head -n 1) $(e2e_states | tail -n 1)"
e2e_finish
