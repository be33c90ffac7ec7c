#!/usr/bin/env python3
"""Instruction counts of a HUD frame, an installer pass and the attach, from
Callgrind (repeatable from run to run, unlike times).

Runs `qi_bench --count KIND N` under Callgrind for every kind, with
collection switched on around the measured work only and each thread in a
file of its own, and reads the main thread's file: the instructions per
frame, the calls made per frame, and the instructions spent inside the
platform and game routines that a frame must call (VirtualQuery,
QueryPlayerPed, DrawSprite). What is left of a frame through the plug-in,
less the same frame straight to VHud's routine and less those calls, is the
plug-in's own code.

  callgrind.py BUILD/qi_bench                 every kind, a table, and each
                                              kind's calls and instructions
                                              against commit ce078c6's
  callgrind.py BUILD/qi_bench --kinds direct,steady --max-own 400 \
      --max-total 1500 --max-calls 2          fails when a steady frame takes
                                              more instructions of its own or
                                              in all, or more VirtualQuery calls
"""
import argparse
import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile

KINDS = ["direct", "steady", "steady-stubquery", "hidden1", "hidden2", "hidden3", "hidden4",
         "hidden5", "hidden6", "hidden7", "wheel-direct", "wheel", "pass", "attach"]

# Commit ce078c6, before a frame kept its VirtualQuery answers (1000 frames;
# BENCHMARKS.md): VirtualQuery calls and instructions per frame (pass, attach).
BEFORE = {
    "direct": (0, 80), "steady": (12, 5110), "steady-stubquery": (0, 994),
    "hidden1": (2, 904), "hidden2": (2, 907), "hidden3": (2, 910), "hidden4": (2, 913),
    "hidden5": (2, 916), "hidden6": (2, 931), "hidden7": (3, 1334),
    "wheel-direct": (0, 32047), "wheel": (4, 38576), "pass": (7, 3713), "attach": (0, 12299),
}

# Substrings of the function names looked at.
WATCHED = {
    "VirtualQuery": "StandInVirtualQuery",
    "QueryPlayerPed": "QueryPlayerPedStandIn",
    "DrawSprite": "DrawSpriteStandIn",
    "VHud HUD routine": "HudRoutineStandIn",
    "IsRangeReadable": "IsRangeReadable",
    "HudFrameHook": "HudFrameHook",
    "StaticSlotRotate": "StaticSlotRotate",
    "RotateVertices": "StandinRotateVertices",
    "SlotXOffset": "SlotXOffset",
    "AmmoXOffset": "AmmoXOffset",
    "WriteFile": "StandInWriteFile",
    "VirtualProtect": "StandInVirtualProtect",
}


def parse(path):
    """Totals, and per function name the calls made to it and the inclusive
    instructions of those calls, summed over every call site."""
    names = {"fn": {}, "cfn": {}}
    calls = {}
    inclusive = {}
    total = None
    target = None
    expect_cost = False
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            line = line.rstrip("\n")
            if expect_cost:
                parts = line.split()
                if len(parts) >= 2 and target is not None:
                    inclusive[target] = inclusive.get(target, 0) + int(parts[1])
                expect_cost = False
                continue
            m = re.match(r"^(c?fn)=\((\d+)\)(?: (.*))?$", line)
            if m:
                kind, ident, name = m.group(1), m.group(2), m.group(3)
                # fn and cfn share one table of compressed names.
                if name is not None:
                    names["fn"][ident] = name
                if kind == "cfn":
                    target = names["fn"].get(ident, ident)
                continue
            if line.startswith("calls="):
                count = int(line[6:].split()[0])
                if target is not None:
                    calls[target] = calls.get(target, 0) + count
                expect_cost = True
                continue
            if line.startswith("totals:") or line.startswith("summary:"):
                total = int(line.split()[1])
    return total, calls, inclusive


def watched(table, key):
    needle = WATCHED[key]
    return sum(v for name, v in table.items() if needle in name)


def run_once(bench, kind, count, workdir):
    out = os.path.join(workdir, "cg.%s.%d" % (kind, count))
    cmd = ["valgrind", "--tool=callgrind", "--collect-atstart=no", "--separate-threads=yes",
           "--callgrind-out-file=" + out + ".%p", bench, "--count", kind, str(count)]
    result = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            check=False)
    if result.returncode != 0:
        sys.stderr.write(result.stderr)
        raise SystemExit("callgrind run of %s failed" % kind)
    # The measured work runs on the program's second thread.
    files = sorted(glob.glob(out + ".*-02"))
    if not files:
        raise SystemExit("no Callgrind output for the measuring thread of %s" % kind)
    return parse(files[0])


def run(bench, kind, count, workdir):
    """Totals, calls and inclusive costs of `count` frames (passes), taken as
    the difference between runs of 2 x count and of count, so that nothing
    of the set-up is left in them. The attach is run once."""
    if kind == "attach":
        return run_once(bench, kind, 1, workdir)
    t1, c1, i1 = run_once(bench, kind, count, workdir)
    t2, c2, i2 = run_once(bench, kind, 2 * count, workdir)

    def diff(a, b):
        return {k: b.get(k, 0) - a.get(k, 0) for k in set(a) | set(b)}
    return t2 - t1, diff(c1, c2), diff(i1, i2)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("bench")
    parser.add_argument("--frames", type=int, default=1000)
    parser.add_argument("--kinds", default=",".join(KINDS))
    parser.add_argument("--max-own", type=float, default=None,
                        help="fail when a steady frame's own code takes more instructions")
    parser.add_argument("--max-total", type=float, default=None,
                        help="fail when a steady frame takes more instructions in all")
    parser.add_argument("--max-calls", type=float, default=None,
                        help="fail when a steady frame makes more VirtualQuery calls")
    args = parser.parse_args()
    if shutil.which("valgrind") is None:
        raise SystemExit("valgrind not found")
    kinds = args.kinds.split(",")
    workdir = tempfile.mkdtemp(prefix="qi-callgrind-")
    results = {}
    try:
        for kind in kinds:
            n = 1 if kind == "attach" else args.frames
            total, calls, inclusive = run(args.bench, kind, n, workdir)
            results[kind] = (n, total, calls, inclusive)
    finally:
        shutil.rmtree(workdir, ignore_errors=True)

    def per(kind, value):
        return value / results[kind][0]

    measured = {}
    print("Instructions (Callgrind Ir) per frame, per pass, per attach; %d frames each"
          % args.frames)
    print("%-17s %9s %9s %8s %8s %9s %9s %9s %9s" % (
        "kind", "Ir", "overhead", "IRR", "VQ", "VQ Ir", "query Ir", "draw Ir", "own Ir"))
    steady = {}
    for kind in kinds:
        n, total, calls, inclusive = results[kind]
        base = None
        if kind.startswith("wheel"):
            base = results.get("wheel-direct")
        elif kind not in ("pass", "attach"):
            base = results.get("direct")
        base_ir = per("wheel-direct" if kind.startswith("wheel") else "direct", base[1]) \
            if base else 0.0
        ir = per(kind, total)
        vq_ir = per(kind, watched(inclusive, "VirtualQuery"))
        query_ir = per(kind, watched(inclusive, "QueryPlayerPed"))
        draw_ir = per(kind, watched(inclusive, "DrawSprite"))
        overhead = ir - base_ir if base else float("nan")
        own = overhead - vq_ir - query_ir - draw_ir if base else float("nan")
        vq = per(kind, watched(calls, "VirtualQuery"))
        if kind == "steady":
            steady = {"own": own, "total": ir, "calls": vq}
        print("%-17s %9.1f %9.1f %8.2f %8.2f %9.1f %9.1f %9.1f %9.1f" % (
            kind, ir, overhead, per(kind, watched(calls, "IsRangeReadable")),
            vq, vq_ir, query_ir, draw_ir, own))
        measured[kind] = (vq, ir)
    if "wheel" in results:
        n, total, calls, inclusive = results["wheel"]
        print("wheel frame, inside VHud's drawing: StaticSlotRotate %.1f Ir/frame (of which "
              "RotateVertices %.1f), SlotXOffset+AmmoXOffset %.1f Ir/frame" % (
                  per("wheel", watched(inclusive, "StaticSlotRotate")),
                  per("wheel", watched(inclusive, "RotateVertices")),
                  per("wheel", watched(inclusive, "SlotXOffset") +
                      watched(inclusive, "AmmoXOffset"))))
    print("IRR: IsRangeReadable calls; VQ: VirtualQuery calls; overhead: against the same "
          "frame straight to VHud; own: overhead less VirtualQuery, QueryPlayerPed and "
          "DrawSprite")
    print()
    print("Against commit ce078c6 (before a frame kept its VirtualQuery answers):")
    print("%-17s %8s %8s %8s %9s %9s %8s" % (
        "kind", "VQ", "before", "ratio", "Ir", "before", "ratio"))
    for kind in kinds:
        vq, ir = measured[kind]
        vq_before, ir_before = BEFORE.get(kind, (None, None))
        if vq_before is None:
            continue
        print("%-17s %8.2f %8d %8s %9.1f %9d %8.2f" % (
            kind, vq, vq_before, "%.2f" % (vq / vq_before) if vq_before else "-",
            ir, ir_before, ir / ir_before))
    limits = [("own", args.max_own, "instructions of its own"),
              ("total", args.max_total, "instructions in all"),
              ("calls", args.max_calls, "VirtualQuery calls")]
    failed = False
    for key, limit, what in limits:
        if limit is None:
            continue
        if key not in steady or ("own" == key and "direct" not in results):
            raise SystemExit("the limits need the kinds direct and steady")
        if steady[key] > limit:
            print("FAILED: a steady frame takes %.1f %s, more than %.1f" % (steady[key], what, limit))
            failed = True
        else:
            print("a steady frame: %.1f %s (limit %.1f)" % (steady[key], what, limit))
    return 1 if failed else 0

if __name__ == "__main__":
    sys.exit(main())
