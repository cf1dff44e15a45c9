#!/usr/bin/python3
"""Shows a person what the router does during the demo, as it happens.

    demo_view.py LOG RECORD START

Follows the router's system log (LOG) and the test servers' request record (RECORD) and prints
one line per event: the daemon's state lines and milestones, the tunnel process's key lines,
and every request that reached the DS or the CS with the answer it got. Times are seconds since
START (seconds since the epoch). Runs until it is ended with SIGTERM.
"""
import json
import re
import signal
import sys
import time

BOLD, DIM, GREEN, CYAN, YELLOW, RED, RESET = "\033[1m", "\033[2m", "\033[32m", "\033[36m", "\033[33m", "\033[31m", "\033[0m"
if not sys.stdout.isatty():
    BOLD = DIM = GREEN = CYAN = YELLOW = RED = RESET = ""

SYSLOG = re.compile(r"^\w+\s+\d+ [\d:]+ \S+ \w+\.(\w+) ([\w.-]+)(?:\[\d+\])?: (.*)$")
STATE = re.compile(r"RM STATE: (\d+) \(([^)]*)\)\. State counter: (\d+)")
CERT = re.compile(r"-----BEGIN ([A-Z ]+)-----.*?-----END [A-Z ]+-----\\?n?", re.S)

# Daemon lines that only repeat what the demo shows in another way.
QUIET = ("Supported ifaces", "Routing interface found", "Backrt ifaces", "Managable ifaces",
         "Services to restart", "process_control_request", "process_control_msg: message",
         "Response sent to CS")
# The tunnel process says a lot; these lines tell the story.
TUNNEL = ("Peer Connection Initiated", "Initialization Sequence Completed", "net_addr_v4_add",
          "AUTH_FAILED", "TLS Error", "VERIFY ERROR", "SIGTERM", "Restart pause")

CHANNEL = {"ds": "DS  TLS :4433", "cs": "CS  TLS :4434", "udp": "CS  UDP :4435"}
ANSWER = {
    ("ds", 4, "good"): "type 5: the CS address and the CS certificate",
    ("cs", 21, "good"): "type 22: registered, waiting for approval",
    ("cs", 6, "good"): "type 7: tunnel CA, client certificate and key",
    ("udp", 8, "good"): 'type 9: "9-1":1, approved',
}
NAMES = {4: "where is my CS?", 21: "register me", 8: "am I approved?", 6: "my tunnel credentials, please"}


def stamp(start):
    return "%s%7.2fs%s " % (DIM, time.time() - start, RESET)


def short(text, limit=150):
    text = CERT.sub(lambda m: "<%s>" % m.group(1).lower(), text)
    return text if len(text) <= limit else text[: limit - 3] + "..."


def log_line(line, start, out):
    match = SYSLOG.match(line)
    if not match:
        return
    priority, program, text = match.groups()
    if program == "quillmeshd":
        state = STATE.search(text)
        if state:
            number, name, counter = state.groups()
            if number == "8" and counter != "0":
                return  # Listening repeats its line at every wait
            out.write("%s%s== state %s: %s%s\n" % (stamp(start), BOLD, number, name, RESET))
            return
        if any(q in text for q in QUIET):
            return
        colour = RED if priority in ("err", "crit") else GREEN if priority == "notice" else ""
        out.write("%s   quillmeshd: %s%s%s\n" % (stamp(start), colour, short(text), RESET if colour else ""))
    elif program == "ferryd":
        if any(t in text for t in TUNNEL):
            out.write("%s   %sferryd (OpenVPN): %s%s\n" % (stamp(start), DIM, short(text), RESET))
    elif program == "quillmesh-ovpn":
        out.write("%s   init.ovpn: %s\n" % (stamp(start), short(text)))


def record_line(line, start, out):
    try:
        entry = json.loads(line)
    except ValueError:
        return
    server = entry.get("server", "?")
    if entry.get("event") != "request":
        out.write("%s   %s%s: %s from %s%s\n" % (stamp(start), RED, CHANNEL.get(server, server),
                                                 entry.get("event"), entry.get("peer"), RESET))
        return
    request = entry.get("request", "")
    try:
        kind = json.loads(request)["B"][0]["T"]
    except (ValueError, KeyError, IndexError, TypeError):
        kind = None
    answer = entry.get("answer", "")
    said = ANSWER.get((server, kind, answer), "answer '%s'" % answer)
    out.write("%s   %s%s  router -> %s: type %s (%s)%s\n" % (stamp(start), CYAN, CHANNEL.get(server, server),
                                                           "DS" if server == "ds" else "CS", kind, NAMES.get(kind, "?"), RESET))
    out.write("%s   %s               %s%s\n" % (stamp(start), DIM, short(request), RESET))
    out.write("%s   %s               answered %s%s\n" % (stamp(start), CYAN, said, RESET))


class Follower:
    def __init__(self, path):
        self.path, self.handle, self.rest = path, None, ""

    def lines(self):
        if self.handle is None:
            try:
                self.handle = open(self.path, encoding="utf-8", errors="replace")
            except OSError:
                return []
        data = self.rest + self.handle.read()
        parts = data.split("\n")
        self.rest = parts.pop()
        return parts


def main():
    log, record, start = sys.argv[1], sys.argv[2], float(sys.argv[3])
    running = [True]
    signal.signal(signal.SIGTERM, lambda *_: running.__setitem__(0, False))
    # A request reaches the server before the daemon logs what came of it: within one look,
    # the record goes first. Looking often keeps the two in the order they happened.
    followers = [(Follower(record), record_line), (Follower(log), log_line)]
    while running[0]:
        for follower, show in followers:
            for line in follower.lines():
                show(line, start, sys.stdout)
        sys.stdout.flush()
        time.sleep(0.01)
    for follower, show in followers:  # what arrived before the end
        for line in follower.lines():
            show(line, start, sys.stdout)
    sys.stdout.flush()


if __name__ == "__main__":
    main()
