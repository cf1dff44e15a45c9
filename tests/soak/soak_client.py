#!/usr/bin/python3
"""Sends a long mix of control messages to the router's managing socket, as the CS would and as a
broken or hostile CS might, and checks every answer.

    soak_client.py --source ADDR HOST PORT COUNT [--seed N] [--silent-every N]

Kinds: valid requests (inventory, a route added and deleted, an unknown type), malformed JSON,
wrong kinds of version, hostile names and values, oversized unbalanced streams, connections that
close half-way, and connections that send nothing. A valid request must get its exact answer;
anything else must get no answer or an error answer (ER other than 0). Prints one summary line
per kind and exits 1 on any wrong answer.
"""
import argparse
import json
import os
import random
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "peers"))
from control_client import complete, exchange  # noqa: E402

ANSWER_ROUTES = '{"B":[{"T":14,"ER":0,"I":0}],"H":{"V":113}}'
ANSWER_UNKNOWN = '{"B":[{"T":100,"ER":1,"I":0,"MG":"Unsupported segment type"}],"H":{"V":113}}'
ANSWER_INVENTORY = ('{"B":[{"T":16,"ER":0,"I":0,"DT":{"16-1":[{"16-4":"eth0","16-5":"192.168.1.1",'
                    '"16-2":"192.168.1.0","16-3":"255.255.255.0","16-6":"1","16-7":"192.168.1.2",'
                    '"16-8":"192.168.1.254"}]}}],"H":{"V":113}}')

ANY = object()
HOSTILE = [";reboot", "&reboot", "|reboot", "$(reboot)", "`reboot`", "\nreboot", "\"", "'",
           "-rf", "../../etc/shadow", "/etc/passwd", "eth0;reboot", "1.2.3.4 ; reboot"]


def envelope(segments):
    return json.dumps({"H": {"V": 113}, "B": segments}, separators=(",", ":"))


class Client:
    def __init__(self, host, port, source, timeout):
        self.host, self.port, self.source, self.timeout = host, port, source, timeout

    def exchange(self, payload, half_close=False, pause=0.0):
        """Sends payload (bytes); returns the answer text or None when none came."""
        data = exchange(self.host, self.port, payload, self.source, self.timeout, half_close, pause)
        return data.decode(errors="replace") if complete(data) else None


def make(kind, rng, state):
    """Returns (payload bytes, expected answer or None for 'refused', options)."""
    if kind == "valid":
        pick = rng.randrange(3)
        if pick == 0:
            return envelope([{"T": 15, "DT": {}}]).encode(), ANSWER_INVENTORY, {}
        if pick == 1:
            state["route"] = not state["route"]
            if state["route"]:
                dt = {"13-1": ["172.16.5.0"], "13-2": ["255.255.255.0"], "13-3": [], "13-4": []}
            else:
                dt = {"13-1": [], "13-2": [], "13-3": ["172.16.5.0"], "13-4": ["255.255.255.0"]}
            return envelope([{"T": 13, "DT": dt}]).encode(), ANSWER_ROUTES, {}
        return envelope([{"T": 99, "DT": {}}]).encode(), ANSWER_UNKNOWN, {}
    if kind == "malformed":
        pick = rng.randrange(5)
        if pick == 0:
            body = "".join(rng.choice('abc:,"[]0123 \\') for _ in range(rng.randrange(1, 200)))
            return ("{" + body + "}").encode(), None, {}
        if pick == 1:
            return b'{"H":{"V":113},"B":{}}', None, {}
        if pick == 2:
            return b'{"H":{"V":113},"B":[{"T":"15","DT":{}}]}', None, {}
        if pick == 3:
            return b'{"H":{"V":113},"B":[{"T":13,"DT":{"13-1":"x","13-2":[],"13-3":[],"13-4":[]}}]}', None, {}
        noise = bytes(b for b in (rng.randrange(1, 256) for _ in range(100)) if b not in b"{}")
        return noise + b"{}", None, {}
    if kind == "version":
        # Kinds of version the reader must refuse; a different number is a request to update
        # the module and is not part of this mix.
        header = rng.choice(['{"V":"113"}', '{"V":null}', '{"V":[113]}', '{}', '"113"'])
        return ('{"H":' + header + ',"B":[{"T":15,"DT":{}}]}').encode(), None, {}
    if kind == "hostile":
        value = rng.choice(HOSTILE)
        pick = rng.randrange(4)
        if pick == 0:
            # A refused route is only logged and the request is answered as taken: any answer
            # will do here; the run's log shows whether a command was started for it.
            dt = {"13-1": ["10.1.0.0" + value], "13-2": ["255.255.255.0"], "13-3": [], "13-4": []}
            return envelope([{"T": 13, "DT": dt}]).encode(), ANY, {}
        if pick == 1:
            lan = {"11-1": "192.168.5.0", "11-2": "255.255.255.0", "11-3": "eth0", "11-4": "192.168.5.1",
                   "11-5": "1", "11-6": "192.168.5.100", "11-7": "192.168.5.200"}
            key = rng.choice(list(lan))
            # An interface name is matched by its prefix ("eth0" + name characters is eth0):
            # the hostile texts go in whole there.
            lan[key] = value if key == "11-3" else lan[key] + value
            return envelope([{"T": 11, "DT": [lan]}]).encode(), None, {}
        if pick == 2:
            name = value if value != "-rf" else "a/b"
            dt = {"19-1": "dHJ1ZQo=", "19-2": rng.choice([1, 2, 3]), "19-3": name}
            return envelope([{"T": 19, "DT": dt}]).encode(), None, {}
        # "-rf" after a name is a plain file name; the other texts make the name one to refuse.
        suffix = value if value != "-rf" else "/-rf"
        dt = {"19-1": "dHJ1ZQo=", "19-2": 3, "19-3": "ok.sh" + suffix}
        return envelope([{"T": 19, "DT": dt}]).encode(), None, {}
    if kind == "oversized":
        return b"{" * rng.randrange(100000, 400000), None, {"half_close": True}
    if kind == "half":
        full = envelope([{"T": 15, "DT": {}}]).encode()
        return full[:rng.randrange(1, len(full) - 1)], None, {"half_close": True}
    if kind == "silent":
        return b"", None, {}
    raise ValueError(kind)


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--source", required=True)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--silent-every", type=int, default=200, help="one silent connection per N messages")
    p.add_argument("host")
    p.add_argument("port", type=int)
    p.add_argument("count", type=int)
    args = p.parse_args()

    rng = random.Random(args.seed)
    client = Client(args.host, args.port, args.source, timeout=30)
    weights = [("valid", 40), ("malformed", 15), ("version", 8), ("hostile", 25), ("oversized", 4), ("half", 8)]
    kinds = [k for k, w in weights for _ in range(w)]
    state = {"route": False}
    stats = {}
    failures = 0
    started = time.monotonic()
    for i in range(args.count):
        kind = "silent" if args.silent_every and i % args.silent_every == args.silent_every // 2 else rng.choice(kinds)
        payload, expected, opts = make(kind, rng, state)
        answer = client.exchange(payload, **opts)
        if expected is ANY:
            ok = True
        elif expected is not None:
            ok = answer == expected
        else:
            ok = answer is None or '"ER":0' not in answer
        s = stats.setdefault(kind, [0, 0])
        s[0] += 1
        if not ok:
            s[1] += 1
            failures += 1
            if failures <= 10:
                print(f"WRONG ANSWER #{i} {kind}: sent {payload[:200]!r} got {answer!r}", flush=True)
    # Leaves no route behind.
    if state["route"]:
        dt = {"13-1": [], "13-2": [], "13-3": ["172.16.5.0"], "13-4": ["255.255.255.0"]}
        client.exchange(envelope([{"T": 13, "DT": dt}]).encode())
    elapsed = time.monotonic() - started
    for kind, (n, bad) in sorted(stats.items()):
        print(f"  {kind:10s} {n:5d} sent, {bad} wrong")
    print(f"  {args.count} messages in {elapsed:.1f} s, {failures} wrong answers")
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
