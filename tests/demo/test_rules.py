#!/usr/bin/python3
"""The rules by which the demo's checks judge a run that depends on timing.

  test_rules.py --out DIR

Takes the default scenario's trace in DIR (left by test_demo.py default) and
alters it: the early look's warning is accepted only as an early look writes
it (once, naming the jump's target before VHud, right before the first
[HOOK] line), and a re-patch only within the worker's first pass after the
restore. Each altered trace goes through the test's and the demo's checks.
"""
import argparse
import copy
import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from test_demo import Checks, check_default, ev  # noqa: E402  (puts tools/demo on the path)
import demo  # noqa: E402


def read_trace(path):
    with open(path, "rb") as f:
        return [json.loads(line) for line in f.read().decode().splitlines()]


def with_log_line(records, line, before):
    """The records with a log record of `line` before the log record at
    index `before` of the log (None: at the end), the log renumbered."""
    out = copy.deepcopy(records)
    logs = [i for i, r in enumerate(out) if r["event"] == "log"]
    at = logs[before] if before is not None else logs[-1] + 1
    model = out[logs[before if before is not None else -1]]
    out.insert(at, dict(model, line=line))
    for n, r in enumerate(r for r in out if r["event"] == "log"):
        r["n"] = n
    return out


def verdicts(records, alone):
    """(the test's check accepts, the demo's checks accept) for a trace."""
    c = Checks()
    log_file = [r["line"] for r in ev(records, "log")]
    check_default(c, records, alone, log_file)
    return not c.failures, demo.check_default(records, log_file).ok


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--out", required=True)
    args = parser.parse_args()
    c = Checks()
    out = os.path.abspath(args.out)
    records = read_trace(os.path.join(out, "default", "trace.jsonl"))
    alone = read_trace(os.path.join(out, "vhud_alone", "trace.jsonl"))
    if demo.early_look(records, [r["line"] for r in ev(records, "log")])[1]:
        # The run looked early itself: its warning is taken out for the base.
        records = [r for r in records
                   if not (r["event"] == "log" and r["line"].startswith(demo.EARLY_LOOK))]
        for n, r in enumerate(r for r in records if r["event"] == "log"):
            r["n"] = n
    lines = [r["line"] for r in ev(records, "log")]
    hook = next(i for i, l in enumerate(lines) if l.startswith(demo.HOOK_LINE))
    own = ev(records, "game")[0]["hud_jump_target"]
    vhud_routine = ev(records, "vhud")[0]["hud_routine"]
    c.equal(verdicts(records, alone), (True, True), "the trace as run, without an early look")
    warning = demo.EARLY_LOOK + own
    cases = [  # (what, records, accepted)
        ("the early look's warning right before the first [HOOK] line",
         with_log_line(records, warning, hook), True),
        ("the warning naming VHud's routine", with_log_line(records, demo.EARLY_LOOK +
                                                             vhud_routine, hook), False),
        ("the warning twice", with_log_line(with_log_line(records, warning, hook), warning, hook),
         False),
        ("the warning after the [HOOK] line", with_log_line(records, warning, hook + 1), False),
        ("the warning before the wheel lines", with_log_line(records, warning, hook - 5), False),
        ("the warning at the end", with_log_line(records, warning, None), False),
        ("another line before the [HOOK] line",
         with_log_line(records, "[ERR] VirtualProtect failed while installing hook", hook), False),
    ]
    # The early look is possible only when the plug-in was loaded first.
    vhud_first = with_log_line(records, warning, hook)
    plugin_at = next(r for r in vhud_first if r["event"] == "plugin")
    vhud_at = next(r for r in vhud_first if r["event"] == "vhud")
    plugin_at["t_ms"], vhud_at["t_ms"] = vhud_at["t_ms"], plugin_at["t_ms"]
    c.equal(demo.early_look(vhud_first, [r["line"] for r in ev(vhud_first, "log")])[1], False,
            "no early look when VHud was loaded before the plug-in")
    # Re-patch passes: 1 after a restore in a sleep; 0 or 1 after one in a pass.
    def repatched(asleep, passes):
        out = copy.deepcopy(records)
        ev(out, "restore")[0]["worker_asleep"] = asleep
        for site, p in zip(ev(out, "repatch")[0]["sites"], passes):
            site["pass"] = p
        return out
    cases += [
        ("restored in a sleep, every site in the next pass", repatched(1, [1] * 9), True),
        ("restored in a sleep, one site a pass late", repatched(1, [1] * 8 + [2]), False),
        ("restored in a sleep, one site in pass 0", repatched(1, [0] + [1] * 8), False),
        ("restored in a pass, sites in that pass and the next", repatched(0, [1] + [0] * 8),
         True),
        ("restored in a pass, one site a pass late", repatched(0, [2] + [0] * 8), False),
        ("restored in a pass, one site never", repatched(0, [-1] + [1] * 8), False),
    ]
    for what, variant, accepted in cases:
        c.equal(verdicts(variant, alone), (accepted, accepted),
                "%s: (test, demo) %s" % (what, "accept" if accepted else "reject"))
    return c.finish("log and re-patch rules (%d altered traces)" % len(cases))


if __name__ == "__main__":
    sys.exit(main())
