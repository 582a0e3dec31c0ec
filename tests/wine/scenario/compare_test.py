#!/usr/bin/env python3
"""Checks that compare.py sees every kind of difference between a demo run and a Wine run, and
only the expected Wine gaps pass: one demo output and one Wine log, changed one way per case."""
import os
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import compare  # noqa: E402

DEMO = """Playing the s.scenario on the simulated host.

> start
> message a 20 0 online
> driver unload
> stop

Application log, as Event Viewer shows it:

Date and Time        Level        Source    Event ID  Message
2026-12-08 09:00:00  Information  velk4     4096      \\Device\\Scsi\\velk40: online
2026-12-08 09:00:00  Information  korvlog   8194      Sent host time of 9:0:0 of 12/8/2026 to \\Device\\SCSI\\velk4
2026-12-08 09:00:00  Warning      korvlog   8208      Event query not registered:
Query "Q1" was ended by WMI; its events are not received until it is registered again. Error: WBEM_E_CALL_CANCELLED(0x80041032)
2026-12-08 09:00:00  Warning      korvlog   8208      Event query not registered:
Query "Q2" was ended by WMI; its events are not received until it is registered again. Error: WBEM_E_CALL_CANCELLED(0x80041032)
2026-12-08 09:00:00  Error        korvlog   8196      Received Talvenix_AdapterPrintfNotification event from unknown adapter
InstanceName: X_9

Status reports of the service:

  start pending  type 0x10, accepts 1, exit codes 0/0, check point 1, wait hint 6000 ms
  running        type 0x10, accepts 1, exit codes 0/0, check point 0, wait hint 0 ms
"""

PLAYER = """Playing the C:\\korvlog\\s.scenario under Wine.\r
\r
> start\r
> message a 20 0 online\r
> driver unload\r
> stop\r
"""


def record(tid, source, wtype, event_id, level, text):
    return (f'0100:{tid}:fixme:advapi:RegisterEventSourceA ((null),"{source}"): stub\n'
            f"0100:{tid}:fixme:advapi:ReportEventA (00000000CAFE4242,{wtype},0x0000,{event_id},0000000000000000,"
            f"0x0001,0x00000000,0000000000000000,0000000000000000): stub\n"
            f'0100:{tid}:{level}:eventlog:ReportEventW L"{text}"\n'
            f"0100:{tid}:fixme:advapi:DeregisterEventSource (00000000CAFE4242) stub\n")


ONLINE = record("0200", "velk4", "0x0004", "0x41011000", "trace", "\\\\Device\\\\Scsi\\\\velk40: online")
HOST_TIME = record("0201", "korvlog", "0x0004", "0x40002002", "trace",
                   "Sent host time of 10:11:12 of 1/2/2027 to \\\\Device\\\\SCSI\\\\velk4\\r\\n")
Q1_ENDED = record("0202", "korvlog", "0x0002", "0x80002010", "warn",
                  "Query \\\"Q1\\\" was ended by WMI; its events are not received until it is registered again. "
                  "Error: WBEM_E_CALL_CANCELLED(0x80041032)\\r\\n")
Q1_CLASS_GONE = record("0202", "korvlog", "0x0002", "0x80002010", "warn",
                       "Query \\\"Q1\\\" ended with the driver's class; its events are not received until it is "
                       "registered again.\\r\\n")
UNKNOWN = record("0204", "korvlog", "0x0001", "0xC0002004", "err",
                 "Received Talvenix_AdapterPrintfNotification event from unknown adapter\\r\\nInstanceName: X_9\\r\\n")
Q2_ENDED = Q1_ENDED.replace("Q1", "Q2").replace("0202", "0203")
SERVICE = "0100:0104:trace:service:RegisterServiceCtrlHandlerExW L\"korvlog\" 0000000000000001 0000000000000002\n"
START_PENDING = "0100:0104:trace:service:SetServiceStatus 00000000010A1F00 0x10 0x2 0x1 0 0 0x1 0x1770\n"
RUNNING = "0100:0104:trace:service:SetServiceStatus 00000000010A1F00 0x10 0x4 0x1 0 0 0 0\n"


SENT = int(time.mktime((2027, 1, 2, 10, 11, 12, 0, 0, -1)))  # the local time HOST_TIME names


def set_adapter_time(vt=3, seconds=SENT):
    return f"korvlog-scenario: SetAdapterTime {vt} {seconds} Talvenix_SetHostTime.InstanceName=\"X_0\"\n"


SET_TIME = set_adapter_time()


def step(n):
    return f"korvlog-scenario: step {n}: ...\n"


# The Wine log as the service writes it when korvlog.exe behaves as on the simulated host.
SAME = [step(1), SERVICE, START_PENDING, RUNNING, step(2), ONLINE, HOST_TIME, SET_TIME, step(3), Q1_ENDED, Q2_ENDED,
        UNKNOWN, step(4)]


def without(parts, part):
    return [p for p in parts if p is not part]


CASES = [
    # name, Wine log parts, player output, how many differences
    ("the same run", SAME, PLAYER, 0),
    ("records of one step in another order", [step(1), SERVICE, START_PENDING, RUNNING, step(2), HOST_TIME, ONLINE,
                                              SET_TIME, step(3), UNKNOWN, Q2_ENDED, Q1_ENDED, step(4)], PLAYER, 0),
    ("the UTC time read a second after the local one", [set_adapter_time(seconds=SENT + 1) if p is SET_TIME else p
                                                        for p in SAME], PLAYER, 0),
    ("a query ended with its class instead of by WMI", [Q1_CLASS_GONE if p is Q1_ENDED else p for p in SAME],
     PLAYER, 0),
    ("a record missing", without(SAME, Q2_ENDED), PLAYER, 1),
    ("a record more", SAME + [ONLINE.replace("0200", "0210")], PLAYER, 1),
    ("a record in a later step", [step(1), SERVICE, START_PENDING, RUNNING, step(2), HOST_TIME, SET_TIME, step(3),
                                  ONLINE, Q1_ENDED, Q2_ENDED, UNKNOWN, step(4)], PLAYER, 2),
    ("another line of a record of two", [p.replace("X_9", "X_8") for p in SAME], PLAYER, 2),
    ("no SetAdapterTime call for a host-time record", without(SAME, SET_TIME), PLAYER, 2),
    ("HostTime of another type", [set_adapter_time(vt=19) if p is SET_TIME else p for p in SAME], PLAYER, 2),
    ("HostTime of another time", [set_adapter_time(seconds=SENT + 120) if p is SET_TIME else p for p in SAME],
     PLAYER, 1),
    ("another type", [p.replace("warn:eventlog", "err:eventlog").replace(",0x0002,", ",0x0001,") if p is Q2_ENDED
                      else p for p in SAME], PLAYER, 2),
    ("another event ID", [p.replace("0x41011000", "0x41011001") for p in SAME], PLAYER, 2),
    ("another source", [p.replace('"velk4"', '"qtr"') for p in SAME], PLAYER, 2),
    ("another text", [p.replace("online", "offline") for p in SAME], PLAYER, 2),
    ("a status report missing", without(SAME, RUNNING), PLAYER, 1),
    ("another step output", SAME, PLAYER.replace("> stop", "> interrogate"), 1),
]


class CompareTest(unittest.TestCase):
    def run_compare(self, log_parts, player):
        with tempfile.TemporaryDirectory() as work:
            paths = []
            for name, text in (("demo.out", DEMO), ("wine.out", player), ("wine.log", "".join(log_parts))):
                paths.append(os.path.join(work, name))
                with open(paths[-1], "w", newline="") as f:
                    f.write(text)
            return compare.compare(*paths)[0]

    def test_cases(self):
        for name, log_parts, player, differences in CASES:
            with self.subTest(name):
                problems = self.run_compare(log_parts, player)
                self.assertEqual(differences, len([p for p in problems if not p.startswith("    ")]), problems)

    def test_unescape(self):
        for quoted, text in [("a\\\\b", "a\\b"), ('\\"q\\"', '"q"'), ("x\\r\\n", "x\r\n"), ("\\x00e9t\\xe9", "\u00e9t\u00e9")]:
            with self.subTest(quoted):
                self.assertEqual(text, compare.unescape(quoted))


if __name__ == "__main__":
    unittest.main()
