#!/usr/bin/python3
"""Renders the JSON report of a self-test run as one self-contained HTML page.

Usage: scripts/selftest_report.py REPORT.json -o report.html

The page shows the verdict, a table of the checks, every actuator's motion
readings against time with its target and threshold, the IMU vector, the
cycle-period histogram and the supervision events on a time line. The plots
are PNG images embedded in the page, so the file can be mailed or archived
on its own. Needs Debian's python3-matplotlib (run with /usr/bin/python3).
"""

import argparse
import base64
import html
import io
import json
import sys

# matplotlib.pyplot, imported by main() once the arguments are read, so that
# --help and --version need no plotting library.
plt = None

# Set to the project's version when the script is installed.
VERSION = "(source tree)"

VERDICT_COLOURS = {
    "pass": "#1a7f37",
    "fail": "#cf222e",
    "interrupted": "#bf8700",
    "setup_failed": "#cf222e",
    "skipped": "#6e7781",
}


def embed(fig):
    buf = io.BytesIO()
    fig.savefig(buf, format="png", dpi=90, bbox_inches="tight")
    plt.close(fig)
    data = base64.b64encode(buf.getvalue()).decode("ascii")
    return '<img alt="plot" src="data:image/png;base64,%s">' % data


def motion_plots(checks):
    motion = [c for c in checks if c.get("readings", {}).get("polls") is not None]
    if not motion:
        return ""
    names = []
    for c in motion:
        actuator = c["id"].split(":", 1)[1]
        if actuator not in names:
            names.append(actuator)
    fig, axes = plt.subplots(len(names), 2, figsize=(11, 2.6 * len(names)), squeeze=False)
    for row, actuator in enumerate(names):
        for col, phase in enumerate(("forward", "reverse")):
            ax = axes[row][col]
            check = next((c for c in motion if c["id"] == phase + ":" + actuator), None)
            ax.set_title("%s %s" % (actuator, phase), fontsize=10)
            if check is None:
                ax.text(0.5, 0.5, "not run", ha="center", va="center", transform=ax.transAxes)
                continue
            r = check["readings"]
            t = [p["t_ms"] for p in r["polls"]]
            v = [p["value"] for p in r["polls"]]
            colour = VERDICT_COLOURS.get(check["verdict"], "#000000")
            ax.plot(t, v, marker=".", color=colour, label="reading")
            ax.axhline(r["target"], color="#0969da", linestyle="--", label="target %g" % r["target"])
            ax.axhline(r["threshold"], color="#bf8700", linestyle=":",
                       label="threshold %s %g" % (r["comparison"], r["threshold"]))
            if r.get("crossed_ms") is not None:
                ax.axvline(r["crossed_ms"], color="#1a7f37", alpha=0.5, label="crossed")
            ax.set_xlim(left=0)
            ax.set_xlabel("ms since the check began")
            ax.set_ylabel(r["quantity"])
            ax.legend(fontsize=7, loc="best")
            ax.grid(alpha=0.3)
    fig.tight_layout()
    return "<h2>Motion</h2>" + embed(fig)


def imu_plot(checks):
    imu = next((c for c in checks if c["id"] == "imu" and "readings" in c), None)
    if imu is None:
        return ""
    r = imu["readings"]
    fig, (ax1, ax2) = plt.subplots(1, 2, figsize=(11, 3))
    colour = VERDICT_COLOURS.get(imu["verdict"], "#000000")
    ax1.bar(["acc x", "acc y", "acc z", "|acc|"], r["acc"] + [r["magnitude"]], color=colour)
    ax1.axhspan(9.7, 9.9, color="#1a7f37", alpha=0.2, label="9.8 +/- 0.1")
    ax1.set_ylabel("m/s²")
    ax1.legend(fontsize=8)
    ax1.set_title("IMU acceleration (%s)" % imu["verdict"], fontsize=10)
    ax2.bar(["gyro x", "gyro y", "gyro z"], r["gyro"], color="#0969da")
    ax2.set_ylabel("rad/s")
    ax2.set_title("IMU angular rate", fontsize=10)
    for ax in (ax1, ax2):
        ax.grid(alpha=0.3, axis="y")
    fig.tight_layout()
    return "<h2>IMU</h2>" + embed(fig)


def cycle_plot(cycle):
    if not cycle:
        return ""
    hist = cycle.get("period_histogram", {})
    counts = hist.get("counts", [])
    if not counts:
        return ""
    width = hist["bin_us"]
    first = next((i for i, c in enumerate(counts) if c), 0)
    xs = [(i + 0.5) * width for i in range(first, len(counts))]
    fig, ax = plt.subplots(figsize=(11, 3))
    ax.bar(xs, counts[first:], width=width, color="#0969da")
    ax.set_yscale("log")
    ax.set_xlabel("cycle period, µs (p50 %.1f, p99 %.1f, max %.1f)" % (
        cycle["period_us"]["p50"], cycle["period_us"]["p99"], cycle["period_us"]["max"]))
    ax.set_ylabel("cycles")
    ax.set_title("Cycle period (%d frames, %d with a short working counter)" % (
        cycle["frames"], cycle["short_wkc_frames"]), fontsize=10)
    ax.grid(alpha=0.3)
    fig.tight_layout()
    return "<h2>Cycle</h2>" + embed(fig)


def supervision_plot(events, duration_s):
    fig, ax = plt.subplots(figsize=(11, 2.4))
    end_ms = max([duration_s * 1000.0] + [e["t_ms"] for e in events])
    ax.set_xlim(0, end_ms * 1.02 + 1)
    ax.set_yticks([])
    ax.set_xlabel("ms since the bring-up began")
    if not events:
        ax.text(0.5, 0.5, "no supervision events: the link stayed healthy", ha="center",
                va="center", transform=ax.transAxes, color="#1a7f37")
    kinds = []
    for e in events:
        if e["event"] not in kinds:
            kinds.append(e["event"])
    palette = plt.get_cmap("tab10")
    for e in events:
        k = kinds.index(e["event"])
        ax.scatter([e["t_ms"]], [k], color=palette(k % 10), s=30)
    for k, kind in enumerate(kinds):
        ax.annotate(kind, (0, k), xytext=(4, 0), textcoords="offset points", fontsize=8,
                    va="center", color=palette(k % 10))
    if kinds:
        ax.set_ylim(-1, len(kinds))
    ax.set_title("Supervision events", fontsize=10)
    ax.grid(alpha=0.3, axis="x")
    fig.tight_layout()
    return "<h2>Supervision</h2>" + embed(fig)


def checks_table(checks):
    rows = []
    for c in checks:
        colour = VERDICT_COLOURS.get(c["verdict"], "#000000")
        rows.append(
            "<tr><td>%s</td><td>%s</td><td style='color:%s;font-weight:bold'>%s</td>"
            "<td>%.1f</td><td>%s</td></tr>" % (
                html.escape(c["id"]), html.escape(c["name"]), colour,
                html.escape(c["verdict"].upper()), c.get("duration_ms", 0),
                html.escape(c.get("message", ""))))
    return ("<h2>Checks</h2><table><tr><th>id</th><th>name</th><th>verdict</th>"
            "<th>ms</th><th>message</th></tr>%s</table>" % "".join(rows))


def bus_table(bus):
    if not bus:
        return "<p>The bus was not brought up.</p>"
    rows = []
    for s in bus.get("slaves", []):
        al = s.get("al_status")
        rows.append("<tr><td>%d</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td><td>%s</td>"
                    "<td>%s</td><td>%d / %d</td></tr>" % (
                        s["position"], html.escape(s["name"]), s["vendor"], s["product"],
                        s["revision"], html.escape(s["state"]["text"]),
                        html.escape("%s %s" % (al["code"], al["text"])) if al else "",
                        s["output_bytes"], s["input_bytes"]))
    op = bus.get("start_to_op_ms")
    summary = ("interface %s, cycle %d µs, DC %s, %d slaves found, process data %d bytes, "
               "expected working counter %d, start to OP %s" % (
                   html.escape(bus["interface"]), bus["cycle_time_ns"] // 1000,
                   "on" if bus["dc"] else "off", bus["slaves_found"],
                   bus["process_data_bytes"], bus["expected_wkc"],
                   "%.0f ms" % op if op is not None else "not reached"))
    return ("<h2>Bus</h2><p>%s</p><table><tr><th>pos</th><th>name</th><th>vendor</th>"
            "<th>product</th><th>revision</th><th>state</th><th>AL status</th>"
            "<th>out / in bytes</th></tr>%s</table>" % (summary, "".join(rows)))


def render(report):
    verdict = report["verdict"]
    colour = VERDICT_COLOURS.get(verdict, "#000000")
    title = "%s %s: %s" % (report["tool"], report["version"], verdict.upper())
    cfg = report.get("config", {})
    parts = [
        "<!DOCTYPE html><html><head><meta charset='utf-8'><title>%s</title>" % html.escape(title),
        "<style>body{font-family:sans-serif;margin:24px;color:#1f2328}"
        "table{border-collapse:collapse;margin-bottom:12px}"
        "td,th{border:1px solid #d0d7de;padding:3px 8px;font-size:13px;text-align:left}"
        ".verdict{color:white;background:%s;padding:14px 20px;font-size:28px;"
        "font-weight:bold;border-radius:6px}img{max-width:100%%}</style></head><body>" % colour,
        "<div class='verdict'>%s</div>" % html.escape(title),
        "<p>started %s, %.1f s, %d failure(s); configuration %s (sha256 %s)</p>" % (
            html.escape(report["started"]), report["duration_s"], report["failures"],
            html.escape(cfg.get("path") or ""), html.escape(cfg.get("sha256") or "-")),
        checks_table(report.get("checks", [])),
        motion_plots(report.get("checks", [])),
        imu_plot(report.get("checks", [])),
        bus_table(report.get("bus")),
        cycle_plot(report.get("cycle")),
    ]
    if report.get("bus"):
        parts.append(supervision_plot(report.get("supervision", []), report["duration_s"]))
    parts.append("</body></html>\n")
    return "\n".join(parts)


def main(argv):
    parser = argparse.ArgumentParser(
        description=__doc__.splitlines()[0],
        epilog="The report comes from a self-test run with SELFTEST_OUTPUT=json:PATH, e.g. "
        "SELFTEST_OUTPUT=json:r.json robot_selftest robot.yaml. Exit status: 0 when the page "
        "was written, 1 when the report cannot be read, the page cannot be written or "
        "matplotlib is missing, 2 on bad arguments. "
        "Manual: man selftest_report.")
    parser.add_argument("report", help="JSON report written with SELFTEST_OUTPUT=json:PATH")
    parser.add_argument("-o", "--output", required=True, help="HTML page to write")
    parser.add_argument("--version", action="version", version="%(prog)s " + VERSION)
    args = parser.parse_args(argv)
    global plt
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot
    except ImportError:
        print("[ERROR] The report page needs matplotlib: apt-get install python3-matplotlib", file=sys.stderr)
        return 1
    plt = matplotlib.pyplot
    try:
        with open(args.report, encoding="utf-8") as f:
            report = json.load(f)
    except (OSError, ValueError) as e:
        print("[ERROR] Cannot read the report %s: %s" % (args.report, e), file=sys.stderr)
        return 1
    page = render(report)
    try:
        with open(args.output, "w", encoding="utf-8") as f:
            f.write(page)
    except OSError as e:
        print("[ERROR] Cannot write the page %s: %s" % (args.output, e), file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
