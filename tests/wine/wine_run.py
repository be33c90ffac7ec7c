#!/usr/bin/env python3
"""Runs the stand-in game under Wine and checks what it and the plug-in wrote.

  wine_run.py boot     --root DIR                 give DIR the Wine prefix (a
                                                  copy of the cached one) and
                                                  keep a Wine server up for it
  wine_run.py stop     --root DIR                 end that server
  wine_run.py scenario NAME --root DIR --win-dir DIR
                                                  run one scenario and check it
  wine_run.py demo     --root DIR --win-dir DIR   run the default scenario and
                                                  print the log

DIR/prefix is the Wine prefix, DIR/home the HOME of the Wine processes and
DIR/runs/NAME the working directory of one run (emptied first; the plug-in's
log lands there). The Windows build directory holds standin_game.exe,
VHud.asi and Quorvel_Icons.asi.
"""
import argparse
import os
import shutil
import sys
import time

from wine_checks import AT_IMAGE_BASE, Checks, Run, fbits, wine
import scenarios_hook
import scenarios_loader
import scenarios_wheel

SCENARIOS = {}
for module in (scenarios_hook, scenarios_wheel, scenarios_loader):
    SCENARIOS.update(module.SCENARIOS)


def boot(root):
    started = time.time()
    if not wine.boot(root):
        wine.server(root, "stop")
        return 1
    if not wine.server(root, "start"):
        print("wineserver -p failed")
        wine.server(root, "stop")
        return 1
    print("Wine prefix ready and its server up in %.1f s" % (time.time() - started))
    return 0


def scenario(root, win_dir, name):
    steps, check = SCENARIOS[name][:2]
    extra_env = SCENARIOS[name][2] if len(SCENARIOS[name]) > 2 else None
    run = Run(root, win_dir, name, steps, extra_env)
    c = Checks(run)
    check(c)
    at_image_base = [n for n, s in SCENARIOS.items() if AT_IMAGE_BASE in s[0]]
    c.equal(len(at_image_base), 1, "scenarios with the plug-in at its ImageBase %s" % at_image_base)
    return c.finish(name)


def demo(root, win_dir):
    run = Run(root, win_dir, "demo", [])
    print("stand-in game exit code %d after %.1f s" % (run.exit_code, run.seconds))
    draws = run.events("draw")
    for d in draws[:2]:
        print("draw: texture %s at x=%g y=%g size %gx%g" % (
            d["texture"], fbits(int(d["x"], 16)), fbits(int(d["y"], 16)),
            fbits(int(d["width"], 16)), fbits(int(d["height"], 16))))
    wheels = run.events("wheel")
    if wheels:
        w = wheels[0]
        centres = []
        for k in range(8):
            x = [fbits(int(v, 16)) for v in w["quad%d" % k][0::2]]
            ref = [fbits(int(v, 16)) for v in w["unpatched%d" % k][0::2]]
            centres.append("%d: %.1f -> %.1f" % (k, sum(ref) / 4, sum(x) / 4))
        print("wheel open: slot centre x without -> with the plug-in: " + ", ".join(centres))
    print("%d draws in %d frames; results in %s" % (
        len(draws), len(run.events("frame")), os.path.join(run.dir, "results.jsonl")))
    print("---- %s" % run.log_path)
    sys.stdout.write(run.log_bytes.decode("latin-1").replace("\r\n", "\n"))
    return 0 if run.exit_code == 0 and run.log_bytes else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("command", choices=["boot", "stop", "scenario", "demo"])
    parser.add_argument("name", nargs="?", choices=sorted(SCENARIOS))
    parser.add_argument("--root", required=True)
    parser.add_argument("--win-dir")
    args = parser.parse_args()
    root = os.path.abspath(args.root)
    if shutil.which("wine") is None:
        print("wine is not installed (tools/setup.sh installs it)")
        return 1
    if args.command == "boot":
        return boot(root)
    if args.command == "stop":
        wine.server(root, "stop")
        print("Wine server of %s ended" % root)
        return 0
    if not args.win_dir or not os.path.exists(os.path.join(args.win_dir, "standin_game.exe")):
        print("no standin_game.exe in --win-dir %s" % args.win_dir)
        return 1
    win_dir = os.path.abspath(args.win_dir)
    if args.command == "demo":
        return demo(root, win_dir)
    if args.name is None:
        parser.error("scenario needs a name")
    return scenario(root, win_dir, args.name)


if __name__ == "__main__":
    sys.exit(main())
