#!/usr/bin/env python3
"""Runs the stand-in game under Wine and checks what it and the plug-in wrote.

  wine_run.py boot     --root DIR                 create the Wine prefix
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
import json
import os
import shutil
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "demo"))
import wine  # noqa: E402  (the Wine environment every run here shares)
import demo as demo_rules  # noqa: E402  (its rule for a plug-in that looks VHud up early)

BOOT_LINES = [
    "[BOOT] Quorvel Icons + STATIC WHEEL + SPACING TEST13 SAFE RADAR started",
    "[INFO] External ASI only; VHud.asi / hud.dat are not modified on disk",
    "[INFO] Weapon wheel mode: TEST11 layout + ammo centering + SAFE temporary radar hide"
    " + hide custom health/armour icons while wheel open",
]
WORKER_LINE = "[THREAD] worker started"
STOP_LINE = "[STOP] DLL detach"
NOT_FOUND_LINE = "[ERR] VHud.asi not found"
WHEEL_LINES = [
    "[WHEEL][OK] horizontal slot-spacing patch installed (background + weapon + ammo) [TEST11]",
    "[WHEEL][INFO] X offsets: 0,-62,-48,-62,0,+62,+48,+62; Y unchanged; content offsets use"
    " screen-height scaling too; ammo fine-tune: 0,+8,+10,+8,0,-8,-10,-8",
    "[WHEEL][OK] centre text patch installed (weapon name + counter + arrows) [TEST15]",
    "[WHEEL][INFO] nameY=24, countY=-10, arrowY=-3, x=0 (design-space units)",
]
VHUD_ROTATE_VERTICES = 0x50290
MIN_VHUD_SIZE = 0x104A000
RUN_TIMEOUT = wine.RUN_TIMEOUT


def f32(value):
    """Bit pattern of the single-precision float nearest to value."""
    return struct.unpack("<I", struct.pack("<f", value))[0]


def fbits(bits):
    return struct.unpack("<f", struct.pack("<I", bits))[0]


def hx(value):
    return "0x%08X" % value


def wine_env(root):
    return wine.env(root)


def boot(root):
    started = time.time()
    if not wine.boot(root):
        return 1
    print("Wine prefix ready in %.1f s" % (time.time() - started))
    return 0


class Run:
    """One run of the stand-in game: exit code, JSON records, the log."""

    def __init__(self, root, win_dir, name, steps, extra_env=None):
        self.dir = os.path.join(root, "runs", name)
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        self.command = ["wine", os.path.join(win_dir, "standin_game.exe"),
                        "--out", "results.jsonl"] + steps
        started = time.time()
        # Output goes to a file rather than a pipe: a wine server started by
        # this run outlives it and would hold a pipe open.
        output_path = os.path.join(self.dir, "output.txt")
        with open(output_path, "wb") as output:
            proc = subprocess.run(self.command, cwd=self.dir,
                                  env=dict(wine_env(root), **(extra_env or {})),
                                  stdin=subprocess.DEVNULL, stdout=output,
                                  stderr=subprocess.STDOUT, timeout=RUN_TIMEOUT)
        self.seconds = time.time() - started
        self.exit_code = proc.returncode
        with open(output_path, "rb") as output:
            self.output = output.read().decode(errors="replace")
        self.records = []
        path = os.path.join(self.dir, "results.jsonl")
        if os.path.exists(path):
            with open(path, "rb") as f:
                for raw in f.read().decode().splitlines():
                    self.records.append(json.loads(raw))
        self.log_path = os.path.join(self.dir, "Quorvel_Icons.log")
        self.log_bytes = b""
        if os.path.exists(self.log_path):
            with open(self.log_path, "rb") as f:
                self.log_bytes = f.read()
        self.lines = self.log_bytes.decode("latin-1").split("\r\n")
        if self.lines and self.lines[-1] == "":
            self.lines.pop()

    def events(self, name):
        return [r for r in self.records if r["event"] == name]

    def event(self, name):
        found = self.events(name)
        return found[0] if len(found) == 1 else None

    def dump(self):
        print("---- command: %s (cwd %s)" % (" ".join(self.command), self.dir))
        print("---- exit code %d after %.1f s; output:" % (self.exit_code, self.seconds))
        print(self.output.rstrip())
        print("---- results.jsonl:")
        for r in self.records:
            print(json.dumps(r)[:300])
        print("---- Quorvel_Icons.log:")
        print(self.log_bytes.decode("latin-1").rstrip())


class Checks:
    def __init__(self, run):
        self.run = run
        self.failures = []

    def expect(self, condition, what):
        if not condition:
            self.failures.append(what)
        return condition

    def equal(self, actual, expected, what):
        return self.expect(actual == expected, "%s: got %r, expected %r" % (what, actual, expected))

    def finish(self, name):
        if self.failures:
            self.run.dump()
            print("---- FAILED checks of %s:" % name)
            for f in self.failures:
                print("  - " + f)
            return 1
        print("scenario %s passed (%d log lines, %d records, %.1f s)" % (
            name, len(self.run.lines), len(self.run.records), self.run.seconds))
        return 0


def common_checks(c, with_vhud):
    """Exit code, CR LF line ends, the boot lines and the worker line first,
    the detach line last."""
    run = c.run
    c.equal(run.exit_code, 0, "exit code of standin_game.exe")
    c.expect(run.event("unload") is not None, "the run reached its unload step")
    c.expect(run.log_bytes.endswith(b"\r\n"), "the log ends with CR LF")
    c.expect(b"\n" not in run.log_bytes.replace(b"\r\n", b"") and
             b"\r" not in run.log_bytes.replace(b"\r\n", b""),
             "every line of the log ends in CR LF and holds no other CR or LF")
    c.equal(run.lines[:4], BOOT_LINES + [WORKER_LINE], "first four log lines")
    c.expect(run.lines[-1:] == [STOP_LINE], "last log line is %r" % STOP_LINE)
    game = run.event("game")
    if c.expect(game is not None, "game record"):
        c.equal(game["image_base"], hx(0x400000), "stand-in game image base")
    if with_vhud:
        vhud = run.event("vhud")
        if c.expect(vhud is not None, "one vhud record"):
            base, size = int(vhud["base"], 16), int(vhud["size"], 16)
            c.expect(size >= MIN_VHUD_SIZE, "VHud SizeOfImage 0x%X >= 0x%X" % (size, MIN_VHUD_SIZE))
            c.expect(base % 0x10000 == 0, "VHud base 0x%X is 64 KiB aligned" % base)
            c.equal(vhud["hooked_game"], 1, "VHud pointed the game's HUD jump at its routine")
            # With the plug-in loaded first, its worker may have hooked the
            # jump before VHud's load returned, however fast the machine.
            plugin_first = any(r["event"] == "plugin"
                               for r in run.records[:run.records.index(vhud)])
            hook = run.event("hook")
            allowed = [vhud["hud_routine"]]
            if plugin_first and hook is not None:
                allowed.append(hook["target"])
            c.expect(vhud["hud_jump_target"] in allowed,
                     "HUD jump target after VHud load: got %s, expected one of %s"
                     % (vhud["hud_jump_target"], allowed))
        return vhud
    return None


def scenario_worker_finds_vhud(c):
    run = c.run
    vhud = common_checks(c, True)
    if vhud is None:
        return
    ok_line = "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"])
    c.equal(run.lines[4:5], [ok_line], "fifth log line: VHud's real base and SizeOfImage")
    c.equal(sum(1 for l in run.lines if l.startswith("[OK] VHud.asi")), 1, "number of [OK] lines")
    c.expect(NOT_FOUND_LINE not in run.lines, "no not-found line")


def scenario_worker_without_vhud(c):
    run = c.run
    # Detach can meet the worker just as it wakes from a sleep: the worker then
    # writes its not-found text after the detach line, and its CR LF is dropped
    # when the log was closed in between (the seam between a text and its line
    # end). Such a tail is taken off before the usual checks.
    stop = STOP_LINE.encode() + b"\r\n"
    for tail in (NOT_FOUND_LINE.encode() + b"\r\n", NOT_FOUND_LINE.encode()):
        if run.log_bytes.endswith(stop + tail):
            run.log_bytes = run.log_bytes[:-len(tail)]
            run.lines = run.lines[:-1]
            break
    common_checks(c, False)
    c.expect(run.event("vhud") is None, "VHud was not loaded")
    plugin = run.event("plugin")
    c.expect(plugin is not None, "the plug-in was loaded")
    # After a second of searching nothing but the boot, worker and detach
    # lines. The worker may see the stop flag while detach runs and then
    # writes its not-found line right beside the detach line.
    lines = [l for l in run.lines if l != NOT_FOUND_LINE]
    c.equal(lines, BOOT_LINES + [WORKER_LINE, STOP_LINE], "whole log without VHud")
    extra = [i for i, l in enumerate(run.lines) if l == NOT_FOUND_LINE]
    c.expect(all(abs(i - run.lines.index(STOP_LINE)) == 1 for i in extra) and len(extra) <= 1,
             "a not-found line, if any, stands right beside the detach line")
    c.expect(not any(l.startswith("[OK]") or l.startswith("[HOOK]") for l in run.lines),
             "no [OK] and no [HOOK] line")


def hook_checks(c, vhud, plugin):
    """The hook record and the [HOOK] line; returns the index of that line."""
    run = c.run
    hook = run.event("hook")
    if not c.expect(hook is not None and hook["redirected"] == 1,
                    "the plug-in redirected the HUD jump within the wait"):
        return None
    target = int(hook["target"], 16)
    pbase, psize = int(plugin["base"], 16), int(plugin["size"], 16)
    c.expect(pbase <= target < pbase + psize,
             "HUD jump target 0x%X lies inside the plug-in 0x%X+0x%X" % (target, pbase, psize))
    line = "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"], hx(target))
    if not c.expect(run.lines.count(line) == 1, "exactly one %r" % line):
        return None
    return run.lines.index(line)


def scenario_icons_drawn(c):
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    icons = run.event("icons")
    player = run.event("player")
    if vhud is None or plugin is None or icons is None or player is None:
        c.expect(False, "vhud, plugin, icons and player records")
        return
    ok_line = "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"])
    c.equal(run.lines[4:5], [ok_line], "fifth log line")
    at = hook_checks(c, vhud, plugin)
    if at is None:
        return
    pointers = "health=%s armour=%s" % (icons["health"], icons["armour"])
    c.equal(run.lines[at + 1:], [
        "[INFO] player pointer changed -> %s" % player["record"],
        "[STATE] drawing allowed",
        "[LOAD] " + pointers,
        "[DRAW] first successful draw " + pointers,
        STOP_LINE,
    ], "log lines after the [HOOK] line")
    # Two frames, each drawing the health icon and then the armour icon at the
    # 1920 x 1080 places: x 14, y 188 and 213, size 24, opaque white.
    draws = run.events("draw")
    c.equal(len(draws), 4, "number of DrawSprite calls in two frames")
    pbase, psize = int(plugin["base"], 16), int(plugin["size"], 16)
    for i, d in enumerate(draws[:4]):
        health = i % 2 == 0
        what = "draw %d (%s)" % (i, "health" if health else "armour")
        c.equal(d["frame"], 1 + i // 2, what + " frame")
        c.equal(d["texture"], icons["health"] if health else icons["armour"], what + " texture")
        c.equal(d["x"], hx(0x41600000), what + " x bits (14.0)")
        c.equal(d["y"], hx(0x433C0000 if health else 0x43550000),
                what + " y bits (%s)" % ("188.0" if health else "213.0"))
        c.equal(d["width"], hx(0x41C00000), what + " width bits (24.0)")
        c.equal(d["height"], hx(0x41C00000), what + " height bits (24.0)")
        c.equal(d["colour"], hx(0xFFFFFFFF), what + " colour")
        sprite = int(d["sprite"], 16)
        c.expect(pbase <= sprite < pbase + psize,
                 what + " sprite record 0x%X lies in the plug-in's image" % sprite)
    if len(draws) >= 2:
        c.expect(draws[0]["sprite"] != draws[1]["sprite"], "two distinct sprite records")
    loads = run.events("load")
    c.equal([(l["frame"], l["folder"], l["name"], l["result"]) for l in loads],
            [(1, "VHud\\icons", "health_icon", icons["health"]),
             (1, "VHud\\icons", "armour_icon", icons["armour"])], "VHudLoadSprite calls")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["vhud_hud_runs"], f["own_hud_runs"]) for f in frames],
            [(1, 0, 1, 0), (2, 0, 2, 0)],
            "frames: balanced calls, VHud's routine run once per frame through the hook")


def scenario_wheel_layout(c):
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    if vhud is None or plugin is None:
        c.expect(False, "vhud and plugin records")
        return
    if not c.equal(vhud.get("wheel"), 1, "VHud.asi built with the wheel stand-in"):
        return
    base = int(vhud["base"], 16)
    at = hook_checks(c, vhud, plugin)
    expected = [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES),
    ] + WHEEL_LINES
    c.equal(run.lines[4:10], expected, "log lines 5 to 10: VHud found, the three wheel patches")
    c.equal(at, 10, "index of the [HOOK] line (right after the wheel lines)")
    if at is not None:
        c.equal(run.lines[at + 1:], [
            "[RADAR][OK] safe wrapper active: temporarily disabling radar while weapon wheel is open",
            "[INFO] player pointer changed -> %s" % run.event("player")["record"],
            "[STATE] drawing allowed",
            "[ICONS][OK] custom health/armour icons hidden while weapon wheel is open",
            STOP_LINE,
        ], "log lines after the [HOOK] line (one frame, wheel open)")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f.get("radar_seen"), f.get("wheel_seen"),
              f.get("radar_after"), f["draw_calls"]) for f in frames],
            [(1, 0, 0, 1, 1, 0)],
            "the frame: balanced, radar off while VHud drew, back on after, no icon drawn")
    wheels = run.events("wheel")
    if not c.equal(len(wheels), 1, "wheel records"):
        return
    w = wheels[0]
    c.equal((w["runs"], w["rotate_calls"], w["slot_faults"]), (1, 16, 0),
            "wheel drawn once, two RotateVertices calls per slot, calling contract kept")
    c.equal(w["spacing_faults"], [hx(0)] * 8, "slot layout state kept through the spacing cave")
    offsets = [0, -62, -48, -62, 0, 62, 48, 62]
    fine = [0, 8, 10, 8, 0, -8, -10, -8]
    for k in range(8):
        quad = [int(v, 16) for v in w["quad%d" % k]]
        c.equal(w["quad%d" % k], w["expected%d" % k],
                "slot %d quad bits: VHud's placement turned upright and shifted by %d" %
                (k, offsets[k]))
        # Geometry, independent of rounding: upright (edges along the axes),
        # 120 x 80, centred where VHud put the slot plus the slot's offset.
        x = [fbits(b) for b in quad[0::2]]
        y = [fbits(b) for b in quad[1::2]]
        c.expect(abs(x[0] - x[3]) < 1e-3 and abs(x[1] - x[2]) < 1e-3 and
                 abs(y[0] - y[1]) < 1e-3 and abs(y[2] - y[3]) < 1e-3,
                 "slot %d upright: %r %r" % (k, x, y))
        c.expect(abs((x[1] - x[0]) - 120) < 1e-3 and abs((y[3] - y[0]) - 80) < 1e-3,
                 "slot %d keeps its 120 x 80 size" % k)
        ref = [fbits(int(v, 16)) for v in w["unpatched%d" % k]]
        cx, rx = sum(x) / 4, sum(ref[0::2]) / 4
        cy, ry = sum(y) / 4, sum(ref[1::2]) / 4
        c.expect(abs((cx - rx) - offsets[k]) < 1e-3 and abs(cy - ry) < 1e-3,
                 "slot %d centre moved by (%g, %g), expected (%d, 0)" % (k, cx - rx, cy - ry,
                                                                      offsets[k]))
    content = [960.0, 830.0, 780.0, 830.0, 960.0, 1090.0, 1140.0, 1090.0]
    c.equal(w["content_x"], [hx(f32(content[k] + offsets[k])) for k in range(8)],
            "slot contents x: VHud's x plus the slot offset")
    ammo = [975.5, 845.5, 795.5, 845.5, 975.5, 1105.5, 1155.5, 1105.5]
    c.equal(w["ammo_x"], [hx(f32(ammo[k] + offsets[k] + fine[k])) for k in range(8)],
            "ammo text x: VHud's x plus the slot offset plus the fine-tune")
    c.equal(w["centre_text"], [hx(f32(v)) for v in (500 - 24, 960 + 0, 600 + 10, 960 + 0,
                                                     700 + 3, 960 + 0)],
            "centre texts placed with the plug-in's offsets")


def scenario_early_look(c):
    """The plug-in loaded first; VHud, once listed, takes half a second to set
    the game's HUD jump: the worker's attempts meanwhile find VHud and patch
    its wheel, the jump still leads to the game's own HUD routine, one warning
    names it, and a later attempt hooks the jump."""
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    game = run.event("game")
    if vhud is None or plugin is None or game is None:
        c.expect(False, "vhud, plugin and game records")
        return
    base = int(vhud["base"], 16)
    warning = "[WARN] HUD jump target is outside VHud: %s" % game["hud_jump_target"]
    c.equal(game["hud_jump_target"], game["own_hud_routine"], "the jump's target before VHud")
    at = hook_checks(c, vhud, plugin)
    c.equal(run.lines[4:], [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES)] + WHEEL_LINES + [
        warning,
        "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"],
                                                   run.event("hook")["target"]),
        STOP_LINE,
    ], "log lines after the worker's start")
    c.equal(at, 11, "index of the [HOOK] line (right after the warning)")
    rest, early = demo_rules.early_look(run.records, run.lines)
    c.equal((early, rest), (True, run.lines[:10] + run.lines[11:]),
            "the demo's rule takes the warning as an early look's")


def scenario_frame_rate(c):
    """Frames back to back, straight to VHud and then through the plug-in, in
    one process: the HUD path's frame rate with and without the plug-in."""
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    benches = run.events("bench")
    if not c.expect(len(benches) == 2 and vhud is not None and plugin is not None,
                    "two timed runs with VHud and the plug-in loaded"):
        return
    before, after = benches
    c.equal(before["hud_jump_target"], vhud["hud_routine"], "first run goes straight to VHud")
    target = int(after["hud_jump_target"], 16)
    pbase, psize = int(plugin["base"], 16), int(plugin["size"], 16)
    c.expect(pbase <= target < pbase + psize, "second run goes through the plug-in")
    c.equal(before["draws"], 0, "no icon drawn without the plug-in")
    c.equal(after["draws"], 2 * after["frames"], "both icons drawn on every frame with it")
    fps_without, fps_with = before["frames_per_second"], after["frames_per_second"]
    c.expect(fps_without > 0 and fps_with > 0, "both runs timed")
    if fps_without > 0 and fps_with > 0:
        print("frame rate under Wine: %d frames/s straight to VHud, %d frames/s through the "
              "plug-in (%.1f us and %.1f us a frame, ratio %.2f)" % (
                  fps_without, fps_with, 1e6 / fps_without, 1e6 / fps_with,
                  fps_without / fps_with))


SCENARIOS = {
    # name: (steps, check[, environment of the run])
    "worker_finds_vhud": (["vhud", "plugin", "wait-hook", "10000", "unload"],
                          scenario_worker_finds_vhud),
    "worker_without_vhud": (["plugin", "sleep", "1050", "unload"],
                            scenario_worker_without_vhud),
    "icons_drawn": (["vhud", "plugin", "wait-hook", "10000", "player", "100", "icons", "valid",
                     "frames", "2", "unload"], scenario_icons_drawn),
    "frame_rate": (["vhud", "player", "100", "icons", "valid", "bench", "20000", "plugin",
                    "wait-hook", "10000", "bench", "20000", "unload"], scenario_frame_rate),
    "wheel_layout": (["vhud", "plugin", "wait-hook", "10000", "player", "100", "icons", "valid",
                      "wheel", "1", "frames", "1", "unload"], scenario_wheel_layout),
    "early_look": (["plugin", "sleep", "150", "vhud", "wait-hook", "10000", "unload"],
                   scenario_early_look, {wine.VHUD_JUMP_DELAY: "500"}),
}


def scenario(root, win_dir, name):
    steps, check = SCENARIOS[name][:2]
    extra_env = SCENARIOS[name][2] if len(SCENARIOS[name]) > 2 else None
    run = Run(root, win_dir, name, steps, extra_env)
    c = Checks(run)
    check(c)
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
    parser.add_argument("command", choices=["boot", "scenario", "demo"])
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
