"""Scenarios of the worker's search and the HUD hook: VHud found or not, the
icons drawn, the frame rate, a VHud that sets the HUD jump late, and
another build of VHud."""
import os
import sys

from wine_checks import (NOT_FOUND_LINE, OTHER_BUILD_LINE, STOP_LINE, BOOT_LINES, WORKER_LINE,
                         WHEEL_LINES, VHUD_ROTATE_VERTICES, common_checks, hook_checks, hx, wine)

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "demo"))
import demo as demo_rules  # noqa: E402  (its rule for a plug-in that looks VHud up early)


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


def scenario_early_look(c):
    """The plug-in loaded first; VHud, once listed, takes half a second inside
    its entry point before it sets the game's HUD jump. The worker takes VHud
    only once the loader has called its entry point: its attempts meanwhile
    find nothing, and the first one after patches the wheel and hooks the
    jump that VHud set, with no warning."""
    run = c.run
    vhud = common_checks(c, True)
    plugin = run.event("plugin")
    game = run.event("game")
    if vhud is None or plugin is None or game is None:
        c.expect(False, "vhud, plugin and game records")
        return
    base = int(vhud["base"], 16)
    c.equal(game["hud_jump_target"], game["own_hud_routine"], "the jump's target before VHud")
    at = hook_checks(c, vhud, plugin)
    c.equal(run.lines[4:], [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        "[WHEEL][OK] static-slot patch installed; original RotateVertices=%s"
        % hx(base + VHUD_ROTATE_VERTICES)] + WHEEL_LINES + [
        "[HOOK] installed; original=%s hook=%s" % (vhud["hud_routine"],
                                                   run.event("hook")["target"]),
        STOP_LINE,
    ], "log lines after the worker's start")
    c.equal(at, 10, "index of the [HOOK] line (right after the wheel lines)")
    rest, early = demo_rules.early_look(run.records, run.lines)
    c.equal((early, rest), (False, run.lines), "no early look's warning for the demo's rule")


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
    c.equal([(b["frames"], b["faults"]) for b in benches], [(20000, 0), (20000, 0)],
            "every frame of both runs ran, and balanced")
    # The rates are figures for BENCHMARKS.md, not checks: they follow the
    # machine's speed.
    fps_without, fps_with = before["frames_per_second"], after["frames_per_second"]
    if fps_without > 0 and fps_with > 0:
        print("frame rate under Wine: %d frames/s straight to VHud, %d frames/s through the "
              "plug-in (%.1f us and %.1f us a frame, ratio %.2f)" % (
                  fps_without, fps_with, 1e6 / fps_without, 1e6 / fps_with,
                  fps_without / fps_with))


def scenario_vhud_other_build(c):
    """Another build of VHud: other code at the known sites, a trap at the
    sprite loader's offset, a canary at the radar byte. 60 frames with the
    wheel byte set, then two with it clear: the plug-in changes nothing."""
    run = c.run
    vhud = common_checks(c, True)
    if vhud is None:
        return
    c.equal(vhud["other_build"], 1, "VHud made itself another build")
    canary = vhud["radar"]
    c.expect(canary not in (0, 1), "a canary 0x%X at the radar byte" % canary)
    c.equal(run.lines[4:], [
        "[OK] VHud.asi base=%s size=%s" % (vhud["base"], vhud["size"]),
        OTHER_BUILD_LINE,
        STOP_LINE,
    ], "log lines after the worker's start")
    frames = run.events("frame")
    c.equal([(f["frame"], f["fault"], f["vhud_hud_runs"], f["own_hud_runs"]) for f in frames],
            [(n, 0, n, 0) for n in range(1, 63)],
            "62 balanced frames, each straight to VHud's routine")
    c.equal([(f["radar_seen"], f["radar_after"], f["hud_jump_target"]) for f in frames],
            [(canary, canary, vhud["hud_routine"])] * 62,
            "the radar byte's canary and the HUD jump untouched on every frame")
    c.equal([f["wheel"] for f in frames], [1] * 60 + [0] * 2, "the wheel byte of each frame")
    c.equal(frames[-1]["vhud_trap_calls"] if frames else None, 0,
            "calls of the trap at VHud+0x4F610")
    c.equal(len(run.events("load")) + len(run.events("draw")), 0, "no icon loaded or drawn")


SCENARIOS = {
    # name: (steps, check[, environment of the run])
    "worker_finds_vhud": (["vhud", "plugin", "wait-hook", "10000", "unload"],
                          scenario_worker_finds_vhud),
    "worker_without_vhud": (["plugin", "sleep", "1050", "unload"],
                            scenario_worker_without_vhud),
    # The one scenario with the plug-in at its ImageBase: the same first
    # steps as plugin_freed, which runs them relocated.
    "icons_drawn": (["vhud", "plugin-at-image-base", "wait-hook", "10000", "player", "100",
                     "icons", "valid", "frames", "2", "unload"], scenario_icons_drawn),
    "frame_rate": (["vhud", "player", "100", "icons", "valid", "bench", "20000", "plugin",
                    "wait-hook", "10000", "bench", "20000", "unload"], scenario_frame_rate),
    "early_look": (["plugin", "sleep", "150", "vhud", "wait-hook", "10000", "unload"],
                   scenario_early_look, {wine.VHUD_JUMP_DELAY: "500"}),
    "vhud_other_build": (["vhud", "plugin", "wait-passes", "2", "10000", "player", "100",
                          "icons", "valid", "wheel", "1", "frames", "60", "wheel", "0", "frames",
                          "2", "unload"],
                         scenario_vhud_other_build, {wine.VHUD_OTHER_BUILD: "1"}),
}
