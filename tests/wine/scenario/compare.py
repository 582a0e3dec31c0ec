#!/usr/bin/env python3
"""Compares one scenario played by the real korvlog.exe under Wine with the same scenario played
by the demo on the simulated host: the steps and what korvlog printed, the Application records
(type, source, event ID and text) and the service's status reports.

Under Wine the records and the status reports come from the debug channels of the log that the
service process writes to (see scenario.sh): Wine's event log stores nothing and shows each
record as a stub's trace, and every SetServiceStatus shows on the service channel. The player
writes a marker line there before each step, so that every Wine record is known by its step.

The stand-in also tells every SetAdapterTime call, which the player writes there too: every
host-time record under Wine must come with one call of its step whose HostTime is a VT_I4 and
is the time the record names.

Usage: compare.py DEMO-OUTPUT PLAYER-OUTPUT WINE-LOG
Exit status 0 when everything agrees apart from the expected Wine gaps below, 1 otherwise.
"""
import difflib
import re
import sys
import time
from collections import Counter

# Expected Wine gaps: what differs between the two runs for a reason of the platform, not of
# korvlog. Each is (name, reason, normalise) and normalise is applied to the text of a record
# of either run.
HOST_TIME = re.compile(r"^Sent host time of \S+ of \S+ to ")
VT_I4 = 3
QUERY_ENDED = re.compile(r'^Query "([^"]*)" (was ended by WMI; .* Error: WBEM_E_CALL_CANCELLED\(0x80041032\)|'
                         r"ended with the driver's class; .*)$")
EXPECTED_GAPS = [
    ("host-time text",
     "the simulated host runs on the scenario's clock, Wine on the machine's: the time that a "
     "host-time record names differs",
     lambda text: HOST_TIME.sub("Sent host time of <time> to ", text)),
    ("how a query ended with the driver's class",
     "when the driver unloads, WMI cancels the query on its class and delivers the class's "
     "deletion event; which of the two korvlog handles first is WMI's timing (undocumented), so "
     "the warning names either; Wine's timing differs from the simulated host's",
     lambda text: QUERY_ENDED.sub(r'Query "\1" ended: by WMI, or with the driver\'s class', text)),
]

STATES = {1: "stopped", 2: "start pending", 3: "stop pending", 4: "running",
          5: "continue pending", 6: "pause pending", 7: "paused"}
LEVELS = {"err": "Error", "warn": "Warning", "trace": "Information"}
TYPES = {1: "Error", 2: "Warning", 4: "Information", 0: "Information"}


def normalise(text):
    text = text.rstrip("\r\n")
    for _, _, fix in EXPECTED_GAPS:
        text = fix(text)
    return text


def read_lines(path):
    """The lines of a file, every \r dropped (Windows ends lines with \r\n, korvlog's own texts
    carry one more \r)."""
    with open(path, encoding="latin-1", newline="") as f:
        return f.read().replace("\r", "").split("\n")


def demo_sections(path):
    """The demo's steps, records (level, source, event ID, text) and status reports."""
    lines = read_lines(path)
    log_at = lines.index("Application log, as Event Viewer shows it:")
    status_at = lines.index("Status reports of the service:")
    steps = lines[2:log_at]
    records = []
    for line in lines[log_at + 2:status_at]:
        m = re.match(r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\s+(Information|Warning|Error)\s+(\S+)\s+(\d+)\s+(.*)$", line)
        if m:
            records.append([m.group(1), m.group(2), int(m.group(3)), [m.group(4)]])
        elif records and line.strip():
            records[-1][3].append(line)
    records = [(level, source, event_id, normalise(insertion(text))) for level, source, event_id, text in records]
    reports = [" ".join(line.split()) for line in lines[status_at + 1:] if line.strip()]
    return strip_blank(steps), records, reports


def insertion(lines):
    """What korvlog wrote of a record the demo shows as Event Viewer renders it. Wine's log shows
    the insertion string alone: a message that names its meaning on a line of its own first (a
    heading that ends with a colon) shows the string on the lines after it."""
    if len(lines) > 1 and lines[0].endswith(":"):
        lines = lines[1:]
    return "\n".join(lines)


def strip_blank(lines):
    while lines and not lines[-1].strip():
        lines = lines[:-1]
    return lines


def player_steps(path):
    lines = read_lines(path)
    return strip_blank(lines[2:])


def unescape(text):
    """The text of a string that Wine's debug output quotes (L"...")."""
    out, i = [], 0
    while i < len(text):
        c = text[i]
        if c != "\\" or i + 1 >= len(text):
            out.append(c)
            i += 1
            continue
        n = text[i + 1]
        if n in "nrt":
            out.append({"n": "\n", "r": "\r", "t": "\t"}[n])
            i += 2
        elif n == "x":
            m = re.match(r"[0-9a-fA-F]{1,4}", text[i + 2:])
            out.append(chr(int(m.group(0), 16)))
            i += 2 + len(m.group(0))
        else:
            out.append(n)
            i += 2
    return "".join(out)


def wine_sections(path):
    """The records of the Wine log, grouped by the step they belong to, and the status reports
    of the korvlog service's processes."""
    groups = [[]]
    calls = [[]]   # per step: (variant type, HostTime or None)
    reports = []
    pending = {}   # thread -> [source, level, event ID, text]
    source = {}    # thread -> the source it registered last
    service_pids = set()
    truncated = []
    for line in read_lines(path):
        if line.startswith("korvlog-scenario: step "):
            flush_all(pending, groups)
            groups.append([])
            calls.append([])
            continue
        c = re.match(r"^korvlog-scenario: SetAdapterTime (\d+) (-|-?\d+) ", line)
        if c:
            calls[-1].append((int(c.group(1)), None if c.group(2) == "-" else int(c.group(2))))
            continue
        m = re.match(r"^([0-9a-f]+):([0-9a-f]+):(\w+):(\w+):(\w+) ?(.*)$", line)
        if not m:
            continue
        pid, tid, level, channel, function, rest = m.groups()
        thread = (pid, tid)
        if channel == "service" and function == "RegisterServiceCtrlHandlerExW" and '"korvlog"' in rest:
            service_pids.add(pid)
        elif channel == "service" and function == "SetServiceStatus" and pid in service_pids:
            f = rest.split()
            v = [int(x, 16) for x in f[1:8]]
            reports.append(f"{STATES.get(v[1], '?')} type {v[0]:#x}, accepts {v[2]}, exit codes {v[3]}/{v[4]}, "
                           f"check point {v[5]}, wait hint {v[6]} ms")
        elif channel == "advapi" and function == "RegisterEventSourceA":
            s = re.match(r'^\(\(null\),"(.*)"\): stub$', rest)
            source[thread] = s.group(1) if s else "?"
        elif channel == "advapi" and function == "ReportEventA":
            flush(thread, pending, groups)
            a = rest.strip("()").split(",")
            pending[thread] = [source.get(thread, "?"), TYPES.get(int(a[1], 16), "?"), int(a[3], 16) & 0xFFFF, ""]
        elif channel == "eventlog" and function == "ReportEventW" and thread in pending:
            s = re.match(r'^L"(.*)"(\.\.\.)?$', rest)
            if s:
                pending[thread][3] += unescape(s.group(1))
                if s.group(2):
                    truncated.append(pending[thread][3])
                if LEVELS[level] != pending[thread][1]:
                    pending[thread][1] += f" (shown as {level})"
        elif channel == "advapi" and function == "DeregisterEventSource":
            flush(thread, pending, groups)
    flush_all(pending, groups)
    return groups, calls, reports, truncated


def flush(thread, pending, groups):
    if thread in pending:
        source, level, event_id, text = pending.pop(thread)
        groups[-1].append((level, source, event_id, text.replace("\r", "").rstrip("\n")))


def flush_all(pending, groups):
    for thread in list(pending):
        flush(thread, pending, groups)


def match_records(expected, groups):
    """Every expected record in order, where records of one step may come in any order (the
    workers of one step run side by side). Returns the differences as text lines."""
    problems = []
    queue = [Counter(g) for g in groups if g]

    def only_under_wine(rest):
        for record, n in rest.items():
            problems.extend(f"only under Wine: {fmt(record)}" for _ in range(n))

    for record in expected:
        found = next((k for k, g in enumerate(queue) if g[record]), None)
        if found is None:
            problems.append(f"missing under Wine, or out of its order: {fmt(record)}")
            continue
        # Records of the steps before the one that has it were never expected.
        for rest in queue[:found]:
            only_under_wine(rest)
        del queue[:found]
        queue[0][record] -= 1
        queue[0] += Counter()  # drops the records used up
    for rest in queue:
        only_under_wine(rest)
    return problems


def host_time_text(seconds):
    """The time as korvlog's host-time record names it: local time, no leading zeros."""
    t = time.localtime(seconds & 0xFFFFFFFF)
    return f"{t.tm_hour}:{t.tm_min}:{t.tm_sec} of {t.tm_mon}/{t.tm_mday}/{t.tm_year}"


def check_host_times(raw_groups, calls):
    """Each host-time record of a step has a SetAdapterTime call of that step with a VT_I4 of
    the same time (korvlog reads the local time for the record just before the UTC time it
    sends, so the record may name the second before)."""
    problems = []
    for records, step_calls in zip(raw_groups, calls):
        texts = [r[3] for r in records if r[3].startswith("Sent host time of ")]
        for vt, _ in step_calls:
            if vt != VT_I4:
                problems.append(f"SetAdapterTime got HostTime of variant type {vt}, not VT_I4")
        times = [t for vt, t in step_calls if vt == VT_I4 and t is not None]
        if len(texts) != len(step_calls):
            problems.append(f"{len(texts)} host-time records but {len(step_calls)} SetAdapterTime calls in one step")
        for text in texts:
            named = text[len("Sent host time of "):].split(" to ")[0]
            match = next((t for t in times if named in (host_time_text(t), host_time_text(t - 1))), None)
            if match is None:
                problems.append(f"no SetAdapterTime call sent the time of: {text}")
            else:
                times.remove(match)
    return problems


def fmt(record):
    return f"{record[0]} {record[1]} {record[2]}: {record[3]}"


def compare(demo_path, player_path, log_path):
    """The differences as text lines, and a summary of what was compared."""
    steps, records, reports = demo_sections(demo_path)
    wine_steps = player_steps(player_path)
    raw_groups, calls, wine_reports, truncated = wine_sections(log_path)
    groups = [[r[:3] + (normalise(r[3]),) for r in g] for g in raw_groups]
    problems = check_host_times(raw_groups, calls)
    if steps != wine_steps:
        problems.append("the steps and korvlog's console output differ:")
        problems.extend("    " + d for d in difflib.unified_diff(steps, wine_steps, "demo", "wine", lineterm="", n=1))
    problems.extend(match_records(records, groups))
    if truncated:
        problems.extend(f"Wine cut a record's text: {t}" for t in truncated)
    if reports != wine_reports:
        problems.append("the status reports differ:")
        problems.extend("    demo: " + r for r in reports)
        problems.extend("    wine: " + r for r in wine_reports)
    wine_count = sum(len(g) for g in groups)
    summary = (f"{len(records)} records on the simulated host, {wine_count} under Wine; "
               f"{len(reports)} status reports on the simulated host, {len(wine_reports)} under Wine; "
               f"{sum(len(c) for c in calls)} SetAdapterTime calls under Wine")
    return problems, summary


def main():
    problems, summary = compare(*sys.argv[1:4])
    print("  " + summary)
    for name, reason, _ in EXPECTED_GAPS:
        print(f"  expected Wine gap, {name}: {reason}")
    for p in problems:
        print("  DIFFERENCE: " + p)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
