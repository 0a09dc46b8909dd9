#!/usr/bin/env python3
"""Turns a self-test's JSON report into a simulator scenario that plays the
run's bus faults again: DcuSimulator.scenario, a list of
{at_ms: T, command: "..."} with T counted from the first process-data frame.

    scripts/report_to_scenario.py REPORT.json                 # the DcuSimulator block, to paste
    scripts/report_to_scenario.py REPORT.json --config ROBOT.yaml -o REPLAY.yaml

With --config the scenario is added to that configuration file (under its
DcuSimulator key, which is made when it has none) and the whole file is
written to -o (or printed).

What is played: the supervision events, each turned back into the fault
that causes it (a board lost and found again, SAFE_OP with error and its
code, SAFE_OP, INIT or PRE_OP, the link lost and resumed), and the error
counters the run judged (RX errors and lost links per board and port). The
supervision's own repairs (acknowledge, OP requested again, a board
reconfigured) follow from the fault and are not played. What the simulator
cannot play (invalid frames, processing-unit or PDI errors) is named on
standard error.
"""

import argparse
import json
import sys

# A fault is placed this long before the supervision pass that saw it.
LEAD_MS = 100.0
# Events of a board within this time after the fault that explains them are
# the supervision's repair of it.
REPAIR_MS = 3000.0
# A board lost and recovered (given its address again) within this time was
# reset; after a longer silence it was off for that long.
RESET_SILENCE_MS = 1000.0
# The supervision declares the link lost after ten passes without an answer.
LINK_LOST_AFTER_MS = 1000.0


class Scenario:
    def __init__(self, first_pd_ms):
        self.first_pd_ms = first_pd_ms
        self.steps = []

    def add(self, t_ms, command):
        at = max(0.0, t_ms - self.first_pd_ms)
        self.steps.append((round(at, 1), command))

    def sorted(self):
        return sorted(self.steps, key=lambda s: s[0])


def state_code(event):
    state = event.get("state") or {}
    return int(state.get("code", 0))


def convert(report, warn):
    bus = report.get("bus") or {}
    first_pd = bus.get("first_process_data_ms")
    if first_pd is None:
        first_pd = bus.get("start_to_op_ms") or 0.0
        warn("the report has no time of the first process-data frame; times are counted from OP")
    scenario = Scenario(float(first_pd))
    events = report.get("supervision") or []

    # The link: lost and resumed.
    link_windows = []  # (from, to) in which board events follow from the link
    pulls = 0
    pulled_at = None
    for i, e in enumerate(events):
        kind = e.get("event")
        if kind == "link_lost" and pulled_at is None:
            pulled_at = float(e["t_ms"]) - LINK_LOST_AFTER_MS
            # The first sign of it: a short counter or a board lost shortly before.
            for before in events[:i]:
                t = float(before["t_ms"])
                if pulled_at - 500 <= t < float(e["t_ms"]) and before.get("event") in ("short_wkc", "lost"):
                    pulled_at = min(pulled_at, t - LEAD_MS)
                    break
            scenario.add(pulled_at, "cable pull")
            pulls += 1
        elif kind == "resumed" and pulled_at is not None:
            restored = float(e["t_ms"]) - LEAD_MS
            scenario.add(restored, "cable restore")
            link_windows.append((pulled_at - 500, restored + REPAIR_MS))
            pulled_at = None
    if pulled_at is not None:
        link_windows.append((pulled_at - 500, float("inf")))

    def in_link_window(t):
        return any(a <= t <= b for a, b in link_windows)

    # The boards, one by one.
    silent = {}  # position: time it was lost
    repair_until = {}
    for e in events:
        position = e.get("position")
        kind = e.get("event")
        if not e.get("board") or position is None:
            continue
        t = float(e["t_ms"])
        if in_link_window(t):
            continue
        if kind == "lost":
            if position not in silent:
                silent[position] = t
        elif kind == "found" and position in silent:
            # It answered again at its address: it was silent meanwhile.
            scenario.add(silent.pop(position) - LEAD_MS, "board %d silent" % position)
            scenario.add(t - LEAD_MS, "board %d answer" % position)
            repair_until[position] = t + REPAIR_MS
        elif kind == "recovered" and position in silent:
            # It had to be given its address again: its controller was
            # powered anew, at once or after a silence.
            lost_at = silent.pop(position)
            if t - lost_at < RESET_SILENCE_MS:
                scenario.add(lost_at - LEAD_MS, "board %d reset" % position)
            else:
                scenario.add(lost_at - LEAD_MS, "board %d silent" % position)
                scenario.add(t - LEAD_MS, "board %d reset" % position)
                scenario.add(t - LEAD_MS, "board %d answer" % position)
            repair_until[position] = t + REPAIR_MS
        elif kind in ("still_lost", "recheck", "reconfigured"):
            continue
        elif t <= repair_until.get(position, -1.0):
            continue
        elif kind == "acknowledge":
            code = e.get("al_status_code", "0x0000")
            scenario.add(t - LEAD_MS, "board %d state SAFE_OP error code %s" % (position, code))
            repair_until[position] = t + REPAIR_MS
        elif kind == "request_op":
            scenario.add(t - LEAD_MS, "board %d state SAFE_OP" % position)
            repair_until[position] = t + REPAIR_MS
        elif kind == "reconfigure":
            state = "INIT" if (state_code(e) & 0x0F) == 0x01 else "PRE_OP"
            scenario.add(t - LEAD_MS, "board %d state %s" % (position, state))
            repair_until[position] = t + REPAIR_MS
    # A board that was lost and never answered again before the run ended
    # stays silent to the end.
    for position, lost_at in sorted(silent.items()):
        scenario.add(lost_at - LEAD_MS, "board %d silent" % position)

    # The error counters the run judged, between its two readings.
    counters = report.get("counters") or {}
    if counters.get("rises"):
        middle = (float(counters["from_ms"]) + float(counters["to_ms"])) / 2
        for board in counters["rises"]:
            k = board["position"]
            lost_links = list(board.get("lost_links", [0, 0, 0, 0]))
            if k == 1 and pulls:
                # Each pull of the cable into the first board counts one there.
                lost_links[0] = max(0, lost_links[0] - pulls)
            for port, n in enumerate(board.get("rx_errors", [])):
                if n:
                    scenario.add(middle, "board %d port %d rx_errors %d" % (k, port, n))
            for port, n in enumerate(lost_links):
                if n:
                    scenario.add(middle, "board %d port %d lost_links %d" % (k, port, n))
            what = []
            if any(board.get("invalid_frames", [])):
                what.append("invalid frames")
            if board.get("processing_unit_errors"):
                what.append("processing-unit errors")
            if board.get("pdi_errors"):
                what.append("PDI errors")
            if what:
                warn("board %d counted %s, which the simulator cannot play" % (k, " and ".join(what)))
    return scenario.sorted()


def scenario_yaml(steps, indent):
    pad = " " * indent
    lines = [pad + "scenario:"]
    if not steps:
        lines[0] += " []"
    for at, command in steps:
        lines.append("%s  - {at_ms: %s, command: %s}" % (pad, repr(at), json.dumps(command)))
    return "\n".join(lines) + "\n"


def merge(config_text, steps):
    lines = config_text.splitlines(keepends=True)
    for i, line in enumerate(lines):
        if line.rstrip() == "DcuSimulator:":
            indent = 2
            for after in lines[i + 1:]:
                if after.strip() and not after.lstrip().startswith("#"):
                    indent = len(after) - len(after.lstrip())
                    break
            for after in lines[i + 1:]:
                if after.strip() and (len(after) - len(after.lstrip())) == indent and \
                        after.strip().startswith("scenario:"):
                    raise ValueError("the configuration already has a DcuSimulator.scenario")
            return "".join(lines[: i + 1]) + scenario_yaml(steps, indent) + "".join(lines[i + 1:])
    text = config_text if config_text.endswith("\n") or not config_text else config_text + "\n"
    return text + "DcuSimulator:\n" + scenario_yaml(steps, 2)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("report", help="JSON report of a self-test (SELFTEST_OUTPUT=json:PATH)")
    parser.add_argument("--config", help="configuration file to add the scenario to")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args()

    def warn(text):
        print("report_to_scenario: " + text, file=sys.stderr)

    try:
        with open(args.report, encoding="utf-8") as f:
            report = json.load(f)
    except (OSError, ValueError) as e:
        print("report_to_scenario: cannot read %s: %s" % (args.report, e), file=sys.stderr)
        return 1
    if not isinstance(report, dict) or "verdict" not in report:
        print("report_to_scenario: %s is not a self-test report" % args.report, file=sys.stderr)
        return 1
    steps = convert(report, warn)
    if args.config:
        try:
            with open(args.config, encoding="utf-8") as f:
                text = merge(f.read(), steps)
        except (OSError, ValueError) as e:
            print("report_to_scenario: %s: %s" % (args.config, e), file=sys.stderr)
            return 1
    else:
        text = "DcuSimulator:\n" + scenario_yaml(steps, 2)
    if args.output:
        tmp = args.output + ".tmp"
        with open(tmp, "w", encoding="utf-8") as f:
            f.write(text)
        import os
        os.replace(tmp, args.output)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
