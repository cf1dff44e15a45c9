#!/usr/bin/python3
"""Figures of a fleet run (fleet.sh): prints the table, writes the CSV files and the plot.

  report.py WORK_DIR N LINK OUT_DIR

Reads WORK_DIR/waves.tsv (one line per wave: its moment and where the servers' records stood),
result/W.K ("K BOOTED LISTENING" per router), log/W.K (the router's log of the wave),
peers.jsonl (the DS and CS test servers' record) and ca/server.log (the OpenVPN server's log).
Writes OUT_DIR/fleet.csv (one row per wave), fleet_listening.csv (one row per router and wave)
and fleet_listening.svg (routers in "Listening" over time, one line per wave). Exit status 1
when a router did not reach "Listening" in a wave.
"""

import csv
import json
import os
import re
import sys
import time
from collections import Counter

STATE_LINE = re.compile(r"RM STATE: (\d+) \([^)]*\)\. State counter: (\d+)")
OVPN_FAILURE = re.compile(r"TLS Error|TLS handshake failed|VERIFY ERROR|AUTH_FAILED|Connection reset")
CONNECTION_EVENTS = ("request", "incomplete", "handshake_failed", "muted")
FAILED_EVENTS = ("incomplete", "handshake_failed", "server_error")


def read_lines(path):
    try:
        with open(path, encoding="utf-8", errors="replace") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def percentile(values, p):
    if not values:
        return None
    values = sorted(values)
    return values[min(len(values) - 1, int(round(p / 100.0 * (len(values) - 1))))]


def peak_per_second(times, go):
    """The most connections that began in one second, counted in whole seconds from the go."""
    buckets = Counter(int(t - go) for t in times if t >= go)
    return max(buckets.values()) if buckets else 0


def ovpn_time(line):
    # OpenVPN's own time stamps: "2026-12-09 13:20:01 ..." (whole seconds).
    try:
        return time.mktime(time.strptime(line[:19], "%Y-%m-%d %H:%M:%S"))
    except ValueError:
        return None


def wave_figures(work, n, wave, records, ovpn_log):
    go = float(wave["go"])
    results = {}
    for k in range(1, n + 1):
        parts = (read_lines(os.path.join(work, "result", "%s.%d" % (wave["wave"], k))) or [""])[0].split()
        booted = float(parts[1]) - go if len(parts) > 1 else None
        listening = float(parts[2]) - go if len(parts) > 2 else None
        results[k] = (booted, listening)
    reached = [v[1] for v in results.values() if v[1] is not None]
    fig = {
        "wave": wave["wave"], "name": wave["name"], "delay": int(wave["delay"]), "routers": n,
        "listening": len(reached),
        "all_listening_s": max(reached) if len(reached) == n else None,
        "median_s": percentile(reached, 50), "p90_s": percentile(reached, 90),
        "boot_spread_s": (max(b for b, _ in results.values() if b is not None)
                          - min(b for b, _ in results.values() if b is not None))
        if any(b is not None for b, _ in results.values()) else None,
    }
    chunk = records[int(wave["rec_from"]):int(wave["rec_to"])]
    for server in ("ds", "cs", "udp"):
        mine = [r for r in chunk if r.get("server") == server]
        starts = [r["time"] for r in mine if r.get("event") in CONNECTION_EVENTS]
        fig[server + "_connections"] = len(starts)
        fig[server + "_peak_per_s"] = peak_per_second(starts, go)
        fig[server + "_failed"] = sum(1 for r in mine if r.get("event") in FAILED_EVENTS)
    lines = ovpn_log[int(wave["ovpn_from"]):int(wave["ovpn_to"])]
    sessions = [ovpn_time(l) for l in lines if "Peer Connection Initiated with" in l]
    fig["ovpn_sessions"] = len(sessions)
    # Whole-second stamps: the second of the go counts as the first.
    fig["ovpn_peak_per_s"] = peak_per_second([t for t in sessions if t is not None], int(go))
    fig["ovpn_failed"] = sum(1 for l in lines if OVPN_FAILURE.search(l))
    fig["listen_overflows"] = int(wave["overflows"])
    fig["listen_drops"] = int(wave["drops"])
    retries = 0
    for k in range(1, n + 1):
        for line in read_lines(os.path.join(work, "log", "%s.%d" % (wave["wave"], k))):
            m = STATE_LINE.search(line)
            if m and m.group(1) != "8" and int(m.group(2)) > 0:
                retries += 1
    fig["router_retries"] = retries
    return fig, results


def fmt(value, digits=2):
    if value is None:
        return "-"
    if isinstance(value, float):
        return "%.*f" % (digits, value)
    return str(value)


def print_table(figs, n, link):
    rows = [
        ("MOD_QUILLMESH_START_DELAY_MAX (s)", "delay"),
        ('routers in "Listening"', lambda f: "%d/%d" % (f["listening"], f["routers"])),
        ('all %d in "Listening" after (s)' % n, "all_listening_s"),
        ("median / 90th percentile (s)", lambda f: "%s / %s" % (fmt(f["median_s"]), fmt(f["p90_s"]))),
        ("spread of the boots (s)", lambda f: fmt(f["boot_spread_s"], 3)),
        ("DS connections, peak per second", lambda f: "%d, %d" % (f["ds_connections"], f["ds_peak_per_s"])),
        ("CS connections (TLS), peak per second", lambda f: "%d, %d" % (f["cs_connections"], f["cs_peak_per_s"])),
        ("CS approvals (UDP), peak per second", lambda f: "%d, %d" % (f["udp_connections"], f["udp_peak_per_s"])),
        ("OpenVPN sessions, peak per second", lambda f: "%d, %d" % (f["ovpn_sessions"], f["ovpn_peak_per_s"])),
        ("DS failed or refused exchanges", "ds_failed"),
        ("CS failed or refused (TLS / UDP)", lambda f: "%d / %d" % (f["cs_failed"], f["udp_failed"])),
        ("OpenVPN failed handshakes", "ovpn_failed"),
        ("SYNs refused at a full accept queue", lambda f: "%d" % (f["listen_overflows"] + f["listen_drops"])),
        ("routers' retried states", "router_retries"),
    ]
    heads = ["%s%s" % (f["name"], ", delay %d s" % f["delay"] if f["delay"] else "") for f in figs]
    width = max(len(label) for label, _ in rows) + 2
    cols = [max(len(h), 12) + 2 for h in heads]
    print("Fleet of %d routers over the '%s' link: one DS, one CS, one OpenVPN server" % (n, link))
    print(" " * width + "".join(h.rjust(c) for h, c in zip(heads, cols)))
    for label, key in rows:
        cells = [key(f) if callable(key) else fmt(f[key]) for f in figs]
        print(label.ljust(width) + "".join(c.rjust(w) for c, w in zip(cells, cols)))


def write_svg(path, series, n):
    """Routers in "Listening" over the seconds since the power came back, one step line a wave."""
    w, h, left, bottom, top, right = 640, 380, 56, 40, 56, 16
    xmax = max([t for _, times in series for t in times] + [1.0])
    xmax = max(1.0, xmax * 1.05)
    colours = ["#1f77b4", "#d62728", "#2ca02c", "#9467bd"]
    sx = lambda t: left + (w - left - right) * t / xmax
    sy = lambda c: h - bottom - (h - bottom - top) * c / max(n, 1)
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" font-size="12">' % (w, h),
           '<rect width="100%" height="100%" fill="white"/>',
           '<text x="%d" y="20" font-size="14">Routers in "Listening" after the power returns (%d routers)</text>' % (left, n),
           '<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, h - bottom, w - right, h - bottom),
           '<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, top, left, h - bottom)]
    step = next(s for s in (1, 2, 5, 10, 20, 30, 60, 120, 300, 600) if xmax / s <= 10)
    t = 0
    while t <= xmax:
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>' % (sx(t), h - bottom + 16, t))
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="#ddd"/>' % (sx(t), top, sx(t), h - bottom))
        t += step
    for c in sorted({0, n // 2, n}):
        out.append('<text x="%d" y="%.1f" text-anchor="end">%d</text>' % (left - 6, sy(c) + 4, c))
    out.append('<text x="%d" y="%d" text-anchor="middle">seconds since the power returned</text>' % ((w + left) // 2, h - 6))
    for i, (label, times) in enumerate(series):
        colour = colours[i % len(colours)]
        points, count = ["%.1f,%.1f" % (sx(0), sy(0))], 0
        for t in sorted(times):
            points.append("%.1f,%.1f" % (sx(t), sy(count)))
            count += 1
            points.append("%.1f,%.1f" % (sx(t), sy(count)))
        points.append("%.1f,%.1f" % (sx(xmax), sy(count)))
        out.append('<polyline fill="none" stroke="%s" stroke-width="2" points="%s"/>' % (colour, " ".join(points)))
        # The legend: one row between the title and the plot.
        x = left + 190 * i
        out.append('<line x1="%d" y1="38" x2="%d" y2="38" stroke="%s" stroke-width="2"/>' % (x, x + 20, colour))
        out.append('<text x="%d" y="42">%s</text>' % (x + 26, label))
    out.append("</svg>")
    with open(path, "w", encoding="utf-8") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) != 5:
        sys.exit("usage: report.py WORK_DIR N LINK OUT_DIR")
    work, n, link, out = sys.argv[1], int(sys.argv[2]), sys.argv[3], sys.argv[4]
    with open(os.path.join(work, "waves.tsv"), encoding="utf-8") as f:
        waves = list(csv.DictReader(f, delimiter="\t"))
    records = []
    for line in read_lines(os.path.join(work, "peers.jsonl")):
        try:
            records.append(json.loads(line))
        except ValueError:
            records.append({})
    ovpn_log = read_lines(os.path.join(work, "ca", "server.log"))
    figs, per_router = [], []
    for wave in waves:
        fig, results = wave_figures(work, n, wave, records, ovpn_log)
        figs.append(fig)
        per_router.append((fig, results))
    print_table(figs, n, link)
    os.makedirs(out, exist_ok=True)
    with open(os.path.join(out, "fleet.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.DictWriter(f, fieldnames=list(figs[0].keys()) + ["link"])
        writer.writeheader()
        for fig in figs:
            writer.writerow({k: ("%.3f" % v if isinstance(v, float) else v) for k, v in dict(fig, link=link).items()})
    with open(os.path.join(out, "fleet_listening.csv"), "w", newline="", encoding="utf-8") as f:
        writer = csv.writer(f)
        writer.writerow(["wave", "name", "delay", "router", "booted_s", "listening_s"])
        for fig, results in per_router:
            for k, (booted, listening) in sorted(results.items()):
                writer.writerow([fig["wave"], fig["name"], fig["delay"], k,
                                 "" if booted is None else "%.3f" % booted,
                                 "" if listening is None else "%.3f" % listening])
    series = [("%s%s" % (fig["name"], ", delay %d s" % fig["delay"] if fig["delay"] else ""),
               [l for _, l in results.values() if l is not None]) for fig, results in per_router]
    write_svg(os.path.join(out, "fleet_listening.svg"), series, n)
    print("figures: %s/fleet.csv, fleet_listening.csv, fleet_listening.svg" % out)
    missing = [f for f in figs if f["listening"] < n]
    for f in missing:
        print('FAIL: wave %s (%s): %d of %d routers reached "Listening"' % (f["wave"], f["name"], f["listening"], n))
    return 1 if missing else 0


if __name__ == "__main__":
    sys.exit(main())
