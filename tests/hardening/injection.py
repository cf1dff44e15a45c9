#!/usr/bin/python3
"""Injection corpus for the managing socket.

    injection.py send-baseline HOST PORT SOURCE
    injection.py send-hostile HOST PORT SOURCE
    injection.py check BASELINE_TRACE HOSTILE_TRACE

send-baseline sends valid requests of every kind whose fields reach a command line, a path or a
settings file; send-hostile sends the same requests with each such field replaced by, or
suffixed with, shell metacharacters, a leading '-', "../" and absolute paths. check compares the
traces (strace -f -e trace=execve,... of the daemon) of the two runs: the hostile run may start
no program the valid requests did not start, no argument may carry the injected text outside a
staged file's path, and no file may be written whose path carries it outside the staging
directory.
"""
import json
import os
import re
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
from control_client import exchange  # noqa: E402

MARK = "qm_injected"
PAYLOADS = [";touch /tmp/" + MARK, "&touch /tmp/" + MARK, "|touch /tmp/" + MARK, "$(touch /tmp/" + MARK + ")",
            "`touch /tmp/" + MARK + "`", "\ntouch /tmp/" + MARK, "\"" + MARK, "'" + MARK, "-" + MARK,
            "../../../tmp/" + MARK, "/tmp/" + MARK]
SCRIPT = "dHJ1ZQo="  # "true\n"

LAN = {"11-1": "192.168.1.0", "11-2": "255.255.255.0", "11-3": "eth0", "11-4": "192.168.1.1", "11-5": "1",
       "11-6": "192.168.1.2", "11-7": "192.168.1.254", "11-8": "10.10.1.0", "11-9": "255.255.255.0"}
ROUTES = {"13-1": ["172.16.7.0"], "13-2": ["255.255.255.0"], "13-3": ["172.16.7.0"], "13-4": ["255.255.255.0"]}


def envelope(t, dt):
    return json.dumps({"H": {"V": 113}, "B": [{"T": t, "DT": dt}]}, separators=(",", ":"))


def send(host, port, source, message):
    return exchange(host, port, message.encode(), source, 60).decode(errors="replace")


def baseline():
    yield envelope(15, {})
    yield envelope(13, {"13-1": ROUTES["13-1"], "13-2": ROUTES["13-2"], "13-3": [], "13-4": []})
    yield envelope(13, {"13-1": [], "13-2": [], "13-3": ROUTES["13-3"], "13-4": ROUTES["13-4"]})
    yield envelope(23, {"23-1": "0"})
    yield envelope(23, {"23-1": "1"})
    for kind, name in ((1, "pkg.tgz"), (2, "cfg.txt"), (3, "job.sh")):
        yield envelope(19, {"19-1": SCRIPT, "19-2": kind, "19-3": name})


def variants(valid):
    for p in PAYLOADS:
        yield p
        yield valid + p


def hostile():
    for key in LAN:
        for value in variants(LAN[key]):
            entry = dict(LAN)
            entry[key] = value
            yield envelope(11, [entry])
    for key in ROUTES:
        for value in variants(ROUTES[key][0]):
            dt = {"13-1": [], "13-2": [], "13-3": [], "13-4": []}
            pair = ("13-1", "13-2") if key in ("13-1", "13-2") else ("13-3", "13-4")
            for k in pair:
                dt[k] = [value] if k == key else ROUTES[k]
            yield envelope(13, dt)
    for kind, name in ((1, "pkg.tgz"), (2, "cfg.txt"), (3, "job.sh")):
        for value in variants(name):
            yield envelope(19, {"19-1": SCRIPT, "19-2": kind, "19-3": value})
    for value in variants("3"):
        yield envelope(19, {"19-1": SCRIPT, "19-2": value, "19-3": "job.sh"})
    for value in variants("1"):
        yield envelope(23, {"23-1": value})


EXECVE = re.compile(r'^(\d+)\s+execve\("((?:[^"\\]|\\.)*)", \[(.*)\](?:, 0x[0-9a-f]+ /\* \d+ vars \*/)?\) = 0')
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')
WRITE = re.compile(r'^(\d+)\s+(openat|open|creat|rename|renameat|renameat2|mkdir|mkdirat|symlink|symlinkat|link|linkat)\((.*)\) = \d+')
STAGED = re.compile(r'/tmp/vpn_module_tbd/(module|config|script)/[A-Za-z0-9._-]+')


def unescape(text):
    return bytes(text, "utf-8").decode("unicode_escape")


def execs(path):
    out = []
    for line in open(path, errors="replace"):
        m = EXECVE.match(line)
        if m:
            out.append((m.group(2), [unescape(a) for a in STRING.findall(m.group(3))]))
    return out


def writes(path):
    out = []
    for line in open(path, errors="replace"):
        m = WRITE.match(line)
        if not m:
            continue
        call, args = m.group(2), m.group(3)
        if call in ("openat", "open") and not re.search(r"O_WRONLY|O_RDWR|O_CREAT", args):
            continue
        out.extend(unescape(s) for s in STRING.findall(args))
    return out


# The router's tools that the daemon's valid paths start, some only on paths a short baseline
# does not take (tunnel checks, the staging clean-up); the arguments are checked regardless.
KNOWN_TOOLS = {"sh", "bash", "iptables", "ip", "ping", "ifconfig", "ps", "curl", "tar", "cp", "ln", "rm",
               "mkdir", "reboot", "grep", "awk", "tail", "head", "wc", "cat", "find", "openssl", "sudo",
               "status", "service", "restore", "grafter", "openvpnd", "sed", "sleep", "logger"}


def check(base_trace, hostile_trace):
    problems = []
    allowed = {prog for prog, _ in execs(base_trace)}
    allowed |= {prog for prog, _ in execs(hostile_trace) if prog.rsplit("/", 1)[-1] in KNOWN_TOOLS}
    runs = execs(hostile_trace)
    for prog, argv in runs:
        if prog not in allowed:
            problems.append(f"program not started by valid requests: {prog} {argv}")
        for arg in argv:
            if MARK in STAGED.sub("", arg):
                problems.append(f"injected text reached a command: {prog} {argv}")
                break
    written = writes(hostile_trace)
    for path in written:
        if MARK in STAGED.sub("", path) and not path.startswith("/tmp/.qm_store."):
            problems.append(f"file written outside the staging directory: {path}")
    print(f"  baseline: {len(execs(base_trace))} programs started ({len(allowed)} distinct)")
    print(f"  hostile:  {len(runs)} programs started, {len(written)} paths written")
    for p in problems[:20]:
        print("  PROBLEM: " + p)
    return 1 if problems else 0


def main():
    cmd = sys.argv[1]
    if cmd == "check":
        return check(sys.argv[2], sys.argv[3])
    host, port, source = sys.argv[2], int(sys.argv[3]), sys.argv[4]
    messages = list(baseline() if cmd == "send-baseline" else hostile())
    successes = 0
    for message in messages:
        answer = send(host, port, source, message)
        successes += '"ER":0' in answer
    print(f"  {cmd}: {len(messages)} requests, {successes} answered with success")
    return 0


if __name__ == "__main__":
    sys.exit(main())
