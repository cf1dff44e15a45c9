#!/usr/bin/python3
"""Report of a fault campaign (tests/chaos/chaos.sh).

    report.py FAULTS_CSV REPORT_CSV PLOT_SVG SEED

Reads one line per fault (fault,kind,hold_s,heal_s,bound_s,healed,violations) and prints, per
fault kind, the count, how many healed within their bound, and the median and worst time to
heal; writes the same table as CSV and a plot of the times to heal per kind as SVG (one row per
kind: every fault a dot, the median a bar, the bound a red tick).
"""
import csv
import statistics
import sys


def load(path):
    kinds = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            k = kinds.setdefault(row["kind"], {"count": 0, "healed": 0, "times": [], "bound": float(row["bound_s"])})
            k["count"] += 1
            k["healed"] += row["healed"] == "1"
            if row["heal_s"]:
                k["times"].append(float(row["heal_s"]))
    return kinds


def summary(kinds):
    rows = []
    for name in sorted(kinds):
        k = kinds[name]
        times = k["times"]
        rows.append({"kind": name, "count": k["count"], "healed": k["healed"],
                     "median_s": round(statistics.median(times), 1) if times else "",
                     "worst_s": round(max(times), 1) if times else "", "bound_s": int(k["bound"])})
    return rows


def plot(rows, kinds, path, seed):
    left, width, row_h, top = 130, 520, 18, 40
    scale = max([r["bound_s"] for r in rows] + [t for k in kinds.values() for t in k["times"]] + [1])
    x = lambda s: left + width * s / scale  # noqa: E731
    height = top + row_h * len(rows) + 30
    out = ['<svg xmlns="http://www.w3.org/2000/svg" width="%d" height="%d" font-family="sans-serif" '
           'font-size="11">' % (left + width + 20, height),
           '<text x="10" y="16" font-size="13">Time to heal per fault kind (s), seed %s: '
           'dots are faults, grey bar the median, red tick the bound</text>' % seed]
    for i, r in enumerate(rows):
        y = top + i * row_h
        out.append('<text x="%d" y="%d" text-anchor="end">%s</text>' % (left - 6, y + 12, r["kind"]))
        if r["median_s"] != "":
            out.append('<rect x="%d" y="%d" width="%.1f" height="10" fill="#ccc"/>' % (left, y + 3, x(r["median_s"]) - left))
        for t in kinds[r["kind"]]["times"]:
            out.append('<circle cx="%.1f" cy="%d" r="2.5" fill="#246"/>' % (x(t), y + 8))
        out.append('<line x1="%.1f" y1="%d" x2="%.1f" y2="%d" stroke="red" stroke-width="2"/>'
                   % (x(r["bound_s"]), y + 1, x(r["bound_s"]), y + 15))
    axis_y = top + row_h * len(rows) + 4
    out.append('<line x1="%d" y1="%d" x2="%d" y2="%d" stroke="black"/>' % (left, axis_y, left + width, axis_y))
    step = 10 if scale <= 120 else 30
    for s in range(0, int(scale) + 1, step):
        out.append('<text x="%.1f" y="%d" text-anchor="middle">%d</text>' % (x(s), axis_y + 14, s))
    out.append("</svg>")
    with open(path, "w") as f:
        f.write("\n".join(out) + "\n")


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    faults, report, svg, seed = sys.argv[1:]
    kinds = load(faults)
    rows = summary(kinds)
    fields = ["kind", "count", "healed", "median_s", "worst_s", "bound_s"]
    with open(report, "w", newline="") as f:
        w = csv.DictWriter(f, fieldnames=fields)
        w.writeheader()
        w.writerows(rows)
    plot(rows, kinds, svg, seed)
    total = sum(r["count"] for r in rows)
    print("fault campaign: %d faults, seed %s" % (total, seed))
    print("%-16s %6s %7s %9s %8s %8s" % ("kind", "count", "healed", "median_s", "worst_s", "bound_s"))
    for r in rows:
        print("%-16s %6d %7d %9s %8s %8d" % (r["kind"], r["count"], r["healed"], r["median_s"], r["worst_s"], r["bound_s"]))
    print("%-16s %6d %7d" % ("all", total, sum(r["healed"] for r in rows)))


if __name__ == "__main__":
    main()
